// The adapter model's text: the names of outcomes and fault modes and the parsing of fault
// settings, a served request's line in the request log, MAC addresses as the commands take and
// show them, and the description of the whole state that `korvo-adapter status` prints.
#include "adapter_model.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "korvo/hex_digit.h"
#include "setting_text.h"

namespace korvo::adapter {
namespace {

constexpr std::array<const char*, 5> kLanguageNames = {"en", "ge", "fr", "it", "sp"};

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

}  // namespace

std::string_view OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Answered:
            return "ok";
        case Outcome::NoSuchRow:
            return "status 0xFFFF (no such row)";
        case Outcome::UnknownRequest:
            return "status 0xFFFF (unknown request)";
        case Outcome::BadLengths:
            return "refused (buffer lengths)";
        case Outcome::FaultStatus:
            return "fault: status 0xFFFF";
        case Outcome::FaultCall:
            return "fault: call failed";
        case Outcome::FaultEmpty:
            return "fault: 0 bytes returned";
        case Outcome::FaultSilent:
            return "fault: no answer";
        case Outcome::NotAnswering:
            return "closed (stopped)";
    }
    return "?";
}

std::string_view FaultModeName(FaultMode mode) {
    switch (mode) {
        case FaultMode::Healthy:
            return "healthy";
        case FaultMode::Status:
            return "status";
        case FaultMode::Call:
            return "call";
        case FaultMode::Empty:
            return "empty";
        case FaultMode::Silent:
            return "silent";
    }
    return "?";
}

std::optional<FaultMode> ParseFaultMode(std::string_view name) {
    for (FaultMode mode :
         {FaultMode::Status, FaultMode::Call, FaultMode::Empty, FaultMode::Silent}) {
        if (name == FaultModeName(mode)) {
            return mode;
        }
    }
    return std::nullopt;
}

std::optional<int> ParseFaultTarget(std::string_view text) {
    if (text == "all") {
        return kFaultAll;
    }
    if (text == "probe") {
        return kFaultProbe;
    }
    if (const auto code = ParseNumber<uint32_t>(text, 0xFFFF); code && IsCatalogueCode(*code)) {
        return static_cast<int>(*code);
    }
    return std::nullopt;
}

std::string FaultTargetName(int target) {
    if (target == kFaultAll) {
        return "all";
    }
    if (target == kFaultProbe) {
        return "probe";
    }
    return std::to_string(target);
}

std::string FormatServedRequest(const ServedRequest& request) {
    std::ostringstream line;
    line << "#" << request.sequence;
    if (request.controlCode != kQueryGlobalStatsCode) {
        line << " ioctl " << Hex(request.controlCode, 8);
    }
    if (request.inputLength != kControlWordSize || request.outputLength != kRecordSize) {
        line << " in " << request.inputLength << " out " << request.outputLength << " bytes";
    } else {
        line << " code " << request.requestCode << " word " << Hex(request.controlWord, 8)
             << " index " << Hex(request.indexByte, 2) << " value " << Hex(request.value, 8);
    }
    line << " -> " << OutcomeName(request.outcome);
    return line.str();
}

std::optional<MacAddress> ParseMacAddress(std::string_view text) {
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((c == ':' || c == '-') && i % 3 == 2) {
            continue;
        }
        digits += c;
    }
    if (digits.size() != 12) {
        return std::nullopt;
    }
    MacAddress address{};
    for (size_t i = 0; i < address.size(); ++i) {
        const int byte = HexByte(digits[2 * i], digits[2 * i + 1]);
        if (byte < 0) {
            return std::nullopt;
        }
        address[i] = static_cast<uint8_t>(byte);
    }
    return address;
}

std::string FormatMacAddress(const MacAddress& address) {
    std::string text;
    for (uint8_t byte : address) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", byte);
        text += pair;
    }
    return text;
}

std::string AdapterModel::DescribeStatus() const {
    std::lock_guard lock(mutex_);
    std::ostringstream out;
    char version[16];
    std::snprintf(version, sizeof version, "%02X.%02X.%02X", driverVersion_[2], driverVersion_[1],
                  driverVersion_[0]);
    out << "driver          " << driverName_ << ", version " << version << ", NDIS " << ndisMajor_
        << ".0 variant\n";
    out << "answering       " << (answering_ ? "yes" : "no (stopped)") << "\n";
    out << "active adapter  " << activeAdapter_ << " (failovers so far: " << failoverCount_
        << ")\n";
    for (size_t i = 0; i < adapters_.size(); ++i) {
        out << "adapter " << i + 1 << "       address " << FormatMacAddress(adapters_[i].address)
            << ", PCI bus " << int{adapters_[i].pci.bus} << " device " << adapters_[i].pci.device
            << "\n";
    }
    out << "state           " << state_ << "\n";
    out << "language        " << language_;
    if (language_ >= 1 && language_ <= kLanguageNames.size()) {
        out << " (" << kLanguageNames[language_ - 1] << ")";
    }
    out << "\nvalues         ";
    for (const auto& [requestCode, value] : plainValues_) {
        out << " " << requestCode << "=" << value;
    }
    out << "\n";
    // "counters 3-10", its codes as the catalogue has them, in the column of titles.
    auto counters = [&out](uint16_t firstCode, std::span<const uint64_t> values) {
        std::string title = "counters " + std::to_string(firstCode) + "-" +
                            std::to_string(firstCode + values.size() - 1);
        title.resize(std::max<size_t>(title.size(), 15), ' ');
        out << title;
        for (size_t i = 0; i < values.size(); ++i) {
            out << (i % 4 == 0 && i > 0 ? "\n                " : " ") << firstCode + i << "="
                << values[i];
        }
        out << "\n";
    };
    counters(code::kFirstPortCounter, portCounters_);
    counters(code::kFirstStatCounter, statCounters_);
    out << "multicast       " << multicast_.size() << " entries";
    for (const MacAddress& address : multicast_) {
        out << " " << FormatMacAddress(address);
    }
    out << "\n";
    // Rows that writes have changed, by the request code that writes them.
    std::string written;
    auto changedRows = [&written](uint16_t writeCode, std::span<const uint32_t> values,
                                  auto defaultFor) {
        for (uint32_t row = 0; row < values.size(); ++row) {
            if (values[row] != defaultFor(row)) {
                written += " " + std::to_string(writeCode) + "[" + std::to_string(row) +
                           "]=" + std::to_string(values[row]);
            }
        }
    };
    changedRows(code::kTable125Index, table125Indexes_, [](uint32_t row) { return row + 1; });
    changedRows(code::kTable35Index, table35Indexes_, [](uint32_t row) { return row + 1; });
    changedRows(code::kTable35ValueWrite, table35Values_, [](uint32_t) { return 0u; });
    out << "written rows   " << (written.empty() ? " none" : written) << "\n";
    out << "faults         ";
    if (!allFault_ && faults_.empty()) {
        out << " none";
    }
    if (allFault_) {
        out << " all=" << FaultModeName(*allFault_);
    }
    for (const auto& [target, mode] : faults_) {
        out << " " << FaultTargetName(target) << "=" << FaultModeName(mode);
    }
    out << "\nrequests        " << sequence_ << " served\n";
    return out.str();
}

}  // namespace korvo::adapter
