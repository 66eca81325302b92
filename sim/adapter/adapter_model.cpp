// The adapter pair's state and the driver's answers to the request catalogue, the probe, the
// fault modes and the request log. Everything here runs under one mutex, because the server
// answers several connections at once.
#include "adapter_model.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <sstream>

namespace korvo::adapter {
namespace {

// Start value and growth per tick of each counter. Several start just below 2^32 and cross it
// within seconds, so a reader that drops the high half shows it; some are already above it.
struct CounterSeed {
    uint64_t start;
    uint64_t perTick;
};

constexpr std::array<CounterSeed, kPortCounterCount> kPortCounterSeeds = {{
    {0xFFFF8000u, 800},   // 3
    {0xFFFE0000u, 1500},  // 4
    {0, 0},               // 5
    {0, 0},               // 6
    {17, 0},              // 7
    {0x123456789ull, 2},  // 8
    {4, 0},               // 9
    {0, 1},               // 10
}};

constexpr std::array<CounterSeed, kStatCounterCount> kStatCounterSeeds = {{
    {0xFFF00000u, 150000},  // 34
    {0xFFE00000u, 180000},  // 35
    {0xFFFFC000u, 900},     // 36
    {0xFFFF0000u, 1100},    // 37
    {0x100001388ull, 300},  // 38
    {120000, 40},           // 39
    {3, 0},                 // 40
    {0, 0},                 // 41
    {58, 1},                // 42
    {0, 0},                 // 43
    {0, 0},                 // 44
    {2, 0},                 // 45
    {0, 0},                 // 46
    {0xFFFFFF00u, 25},      // 47
    {0, 0},                 // 48
    {9, 0},                 // 49
    {0, 0},                 // 50
    {1, 0},                 // 51
    {0, 0},                 // 52
    {0, 1},                 // 53
}};

// The plain 32-bit values and their start values, which the settings can change.
constexpr std::array<std::pair<uint16_t, uint32_t>, 8> kPlainValueSeeds = {{
    {code::kGroup7Attribute2, 100},
    {code::kGroup8Attribute9, 0},
    {code::kGroup10Value, 0x000105DC},  // the agent keeps the low 16 bits only: 1500
    {code::kGroup11Value, 1},
    {code::kGroup12Value, 2},
    {code::kGroup7Attribute1, 1},
    {code::kGroup7Attribute3, 3},
    {code::kGroup21Attribute8, 1},
}};

constexpr std::array<const char*, 5> kLanguageNames = {"en", "ge", "fr", "it", "sp"};

constexpr uint32_t kDefaultGroup13NumberBase = 1000;

uint16_t GetU16(std::span<const uint8_t> bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

uint32_t GetU32(std::span<const uint8_t> bytes, size_t offset) {
    return driver::GetU32(bytes.subspan(offset, 4).data());
}

void PutU16(Record& record, size_t offset, uint16_t value) {
    record[offset] = static_cast<uint8_t>(value);
    record[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(Record& record, size_t offset, uint32_t value) {
    driver::PutU32(std::span(record).subspan(offset, 4).data(), value);
}

void PutU64(Record& record, uint64_t value) {
    PutU32(record, kValueOffset, static_cast<uint32_t>(value));
    PutU32(record, kHighOffset, static_cast<uint32_t>(value >> 32));
}

template <typename Number>
std::optional<Number> ParseNumber(std::string_view text, Number maximum) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() ||
        value > maximum) {
        return std::nullopt;
    }
    return value;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// A settings value that is a whole number from `lowest` to `highest`, stored into `target`.
template <typename Target>
bool StoreNumber(std::string_view text, uint64_t lowest, uint64_t highest, Target* target) {
    const auto number = ParseNumber<uint64_t>(text, highest);
    if (!number || *number < lowest) {
        return false;
    }
    *target = static_cast<Target>(*number);
    return true;
}

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// A read of request 30 or 32 carries the row index in both byte 11 and the u32 at 16; a write
// carries the new value in the u32. The two forms look alike when a write's value equals its row
// index: such a write would store the value the read form already reports for an untouched row,
// and is taken as a read.
bool IsReadForm(uint8_t row, uint32_t value) {
    return value == row;
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
        const auto byte = ParseNumber<uint32_t>("0x" + digits.substr(2 * i, 2), 0xFF);
        if (!byte) {
            return std::nullopt;
        }
        address[i] = static_cast<uint8_t>(*byte);
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

AdapterModel::AdapterModel() {
    SetVariant(5);
    adapters_[0] = {{0x02, 0x4B, 0x4F, 0x52, 0x56, 0x01}, {0, 11}};
    adapters_[1] = {{0x02, 0x4B, 0x4F, 0x52, 0x56, 0x02}, {0, 12}};
    for (const auto& [requestCode, value] : kPlainValueSeeds) {
        plainValues_[requestCode] = value;
    }
    for (size_t i = 0; i < kPortCounterCount; ++i) {
        portCounters_[i] = kPortCounterSeeds[i].start;
    }
    for (size_t i = 0; i < kStatCounterCount; ++i) {
        statCounters_[i] = kStatCounterSeeds[i].start;
    }
    multicast_ = {{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01},
                  {0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFA},
                  {0x33, 0x33, 0x00, 0x00, 0x00, 0x01}};
    for (uint32_t row = 0; row < kGroup13Rows; ++row) {
        group13Numbers_[row] = kDefaultGroup13NumberBase + row;
        group13Indexes_[row] = row + 1;
    }
    for (uint32_t row = 0; row < kGroup14Rows; ++row) {
        group14Indexes_[row] = row + 1;
    }
}

void AdapterModel::SetVariant(int ndisMajor) {
    ndisMajor_ = ndisMajor;
    if (ndisMajor == 4) {
        driverName_ = "KORVOm4";
        driverVersion_ = {0x07, 0x10, 0x02};
    } else {
        driverName_ = "KORVOm5";
        driverVersion_ = {0x15, 0x01, 0x03};
    }
}

Answer AdapterModel::Serve(uint32_t controlCode, std::span<const uint8_t> input,
                           std::span<const uint8_t> output) {
    std::lock_guard lock(mutex_);
    Answer answer;
    answer.output.assign(output.begin(), output.end());
    ServedRequest& served = answer.served;
    served.sequence = ++sequence_;
    served.controlCode = controlCode;
    served.inputLength = static_cast<uint32_t>(input.size());
    served.outputLength = static_cast<uint32_t>(output.size());
    const bool wellFormed = input.size() == kControlWordSize && output.size() == kRecordSize;
    if (wellFormed) {
        served.controlWord = GetU32(input, 0);
        served.requestCode = GetU16(output, kCodeOffset);
        served.indexByte = output[kIndexOffset];
        served.value = GetU32(output, kValueOffset);
    }

    auto finish = [&](Outcome outcome) {
        served.outcome = outcome;
        Log(served);
        return answer;
    };

    if (!answering_) {
        answer.action = Action::Close;
        return finish(Outcome::NotAnswering);
    }
    if (!wellFormed) {
        // What a driver does with buffers of the wrong size: the call fails, nothing written.
        answer.success = 0;
        return finish(Outcome::BadLengths);
    }

    Record record;
    std::copy(output.begin(), output.end(), record.begin());
    const bool isQuery = controlCode == kQueryGlobalStatsCode;
    int target = kFaultAll;  // unknown control words and codes fail only under `all`
    if (isQuery && served.controlWord == kProbeControlWord) {
        target = kFaultProbe;
    } else if (isQuery && served.controlWord == kRequestControlWord) {
        target = served.requestCode;
    }

    auto failWithStatus = [&](Outcome outcome) {
        PutU16(record, kStatusOffset, kStatusFailed);
        answer.output.assign(record.begin(), record.end());
        answer.bytesReturned = kRecordSize;
        return finish(outcome);
    };

    switch (FaultFor(target)) {
        case FaultMode::Healthy:
            break;
        case FaultMode::Status:
            return failWithStatus(Outcome::FaultStatus);
        case FaultMode::Call:
            answer.success = 0;
            return finish(Outcome::FaultCall);
        case FaultMode::Empty:
            return finish(Outcome::FaultEmpty);
        case FaultMode::Silent:
            answer.action = Action::NoReply;
            return finish(Outcome::FaultSilent);
    }

    if (target == kFaultAll) {
        return failWithStatus(Outcome::UnknownRequest);
    }
    Outcome outcome = Outcome::Answered;
    if (target == kFaultProbe) {
        std::fill(record.begin() + kDataOffset, record.end(), 0);
        std::copy(kDriverSignature.begin(), kDriverSignature.end(), record.begin() + kDataOffset);
        PutU16(record, kStatusOffset, kStatusOk);
    } else {
        outcome = Dispatch(record);
        if (outcome != Outcome::Answered) {
            return failWithStatus(outcome);
        }
    }
    answer.output.assign(record.begin(), record.end());
    answer.bytesReturned = kRecordSize;
    return finish(outcome);
}

// Fills the reply of one catalogue request into `record`, or says why there is none.
Outcome AdapterModel::Dispatch(Record& record) {
    const uint16_t requestCode = GetU16(record, kCodeOffset);
    const uint8_t row = record[kIndexOffset];
    const uint32_t value = GetU32(record, kValueOffset);

    Record reply{};
    PutU16(reply, kCodeOffset, requestCode);
    PutU16(reply, kStatusOffset, kStatusOk);

    auto putAddress = [&reply](const MacAddress& address) {
        std::copy(address.begin(), address.end(), reply.begin() + kDataOffset);
    };
    // Per-row requests echo their row index in byte 11.
    auto putRowValue = [&reply, row](uint32_t rowValue) {
        reply[kIndexOffset] = row;
        PutU32(reply, kValueOffset, rowValue);
    };

    if (requestCode >= code::kFirstPortCounter && requestCode <= code::kLastPortCounter) {
        PutU64(reply, portCounters_[requestCode - code::kFirstPortCounter]);
    } else if (requestCode >= code::kFirstStatCounter && requestCode <= code::kLastStatCounter) {
        PutU64(reply, statCounters_[requestCode - code::kFirstStatCounter]);
    } else if (const auto plain = plainValues_.find(requestCode); plain != plainValues_.end()) {
        PutU32(reply, kValueOffset, plain->second);
    } else {
        switch (requestCode) {
            case code::kAddress1:
                putAddress(adapters_[0].address);
                break;
            case code::kAddress2:
                putAddress(adapters_[1].address);
                break;
            case code::kMulticastEntry:
                // The table ends in an entry marked 0x55, not in a failed request.
                if (row < multicast_.size()) {
                    putAddress(multicast_[row]);
                    reply[kIndexOffset] = row;
                } else {
                    reply[kIndexOffset] = kNoSuchEntry;
                }
                break;
            case code::kDriverVersion:
                std::copy(driverVersion_.begin(), driverVersion_.end(),
                          reply.begin() + kDataOffset);
                break;
            case code::kDriverName:
                std::copy(driverName_.begin(), driverName_.end(), reply.begin() + kDataOffset);
                break;
            case code::kState:
                PutU32(reply, kValueOffset, state_);
                break;
            case code::kLanguage:
                PutU32(reply, kValueOffset, language_);
                break;
            case code::kGroup13Number:
                if (row >= kGroup13Rows) {
                    return Outcome::NoSuchRow;
                }
                putRowValue(group13Numbers_[row]);
                break;
            case code::kGroup14Number:
                if (row >= kGroup14Rows) {
                    return Outcome::NoSuchRow;
                }
                putRowValue(group14Numbers_[row]);
                break;
            case code::kGroup13Index:
                if (row >= kGroup13Rows) {
                    return Outcome::NoSuchRow;
                }
                if (!IsReadForm(row, value)) {
                    group13Indexes_[row] = value;
                }
                putRowValue(group13Indexes_[row]);
                break;
            case code::kGroup14Index:
                if (row >= kGroup14Rows) {
                    return Outcome::NoSuchRow;
                }
                if (!IsReadForm(row, value)) {
                    group14Indexes_[row] = value;
                }
                putRowValue(group14Indexes_[row]);
                break;
            case code::kGroup14NumberWrite:
                if (row >= kGroup14Rows) {
                    return Outcome::NoSuchRow;
                }
                group14Numbers_[row] = value;
                putRowValue(value);
                break;
            case code::kFailoverStatus: {
                const AdapterPort& active = adapters_[activeAdapter_ - 1];
                reply[kDataOffset] = static_cast<uint8_t>(activeAdapter_);
                reply[kFailoverByteOffset] = static_cast<uint8_t>(failoverCount_);
                reply[kFailoverBusOffset] = active.pci.bus;
                PutU32(reply, kValueOffset, active.pci.device);
                break;
            }
            case code::kAdapterLocation:
                if (value >= adapters_.size()) {
                    return Outcome::NoSuchRow;
                }
                reply[kDataOffset] = adapters_[value].pci.bus;
                PutU32(reply, kValueOffset, adapters_[value].pci.device);
                break;
            default:
                return Outcome::UnknownRequest;
        }
    }
    record = reply;
    return Outcome::Answered;
}

FaultMode AdapterModel::FaultFor(int target) const {
    if (const auto fault = faults_.find(target); fault != faults_.end()) {
        return fault->second;
    }
    return allFault_.value_or(FaultMode::Healthy);
}

void AdapterModel::AdvanceTrafficTo(uint64_t tick) {
    std::lock_guard lock(mutex_);
    if (tick <= trafficTick_) {
        return;
    }
    const uint64_t ticks = tick - trafficTick_;
    trafficTick_ = tick;
    for (size_t i = 0; i < kPortCounterCount; ++i) {
        portCounters_[i] += kPortCounterSeeds[i].perTick * ticks;
    }
    for (size_t i = 0; i < kStatCounterCount; ++i) {
        statCounters_[i] += kStatCounterSeeds[i].perTick * ticks;
    }
}

bool AdapterModel::FailOver(int adapter) {
    if (adapter != 1 && adapter != 2) {
        return false;
    }
    std::lock_guard lock(mutex_);
    if (adapter != activeAdapter_) {
        activeAdapter_ = adapter;
        ++failoverCount_;
    }
    return true;
}

void AdapterModel::SetFault(int target, FaultMode mode) {
    std::lock_guard lock(mutex_);
    if (target == kFaultAll) {
        faults_.clear();
        allFault_.reset();
        if (mode != FaultMode::Healthy) {
            allFault_ = mode;
        }
        return;
    }
    if (mode == FaultMode::Healthy && !allFault_) {
        faults_.erase(target);
    } else {
        faults_[target] = mode;
    }
}

void AdapterModel::SetAnswering(bool answering) {
    std::lock_guard lock(mutex_);
    answering_ = answering;
}

bool AdapterModel::Answering() const {
    std::lock_guard lock(mutex_);
    return answering_;
}

int AdapterModel::ActiveAdapter() const {
    std::lock_guard lock(mutex_);
    return activeAdapter_;
}

// ---- Settings --------------------------------------------------------------------------------

// constinit: the kernel driver's build has no runtime to run initializers, so the table must be
// complete at compile time.
constinit const AdapterModel::SettingDefinition AdapterModel::kSettings[] = {
    {"variant", "4 (NDIS 4.0 driver) or 5 (NDIS 5.0 driver)", 0, "",
     [](AdapterModel& model, std::string_view, std::string_view value, std::string*) {
         const auto variant = ParseNumber<uint32_t>(value, 5);
         if (!variant || *variant < 4) {
             return SettingOutcome::BadValue;
         }
         model.SetVariant(static_cast<int>(*variant));
         return SettingOutcome::Applied;
     }},
    {"active", "1 or 2", 0, "",
     [](AdapterModel& model, std::string_view, std::string_view value, std::string*) {
         // A start value, not a failover.
         return StoreNumber(value, 1, 2, &model.activeAdapter_) ? SettingOutcome::Applied
                                                                : SettingOutcome::BadValue;
     }},
    {"state", "a number from 1 to 4", 0, "",
     [](AdapterModel& model, std::string_view, std::string_view value, std::string*) {
         return StoreNumber(value, 1, 4, &model.state_) ? SettingOutcome::Applied
                                                        : SettingOutcome::BadValue;
     }},
    {"language", "a number from 1 to 5 (en, ge, fr, it, sp)", 0, "",
     [](AdapterModel& model, std::string_view, std::string_view value, std::string*) {
         return StoreNumber(value, 1, 5, &model.language_) ? SettingOutcome::Applied
                                                           : SettingOutcome::BadValue;
     }},
    {"driver.name", "1 to # printable characters without spaces", kMaxDriverNameLength, "",
     [](AdapterModel& model, std::string_view, std::string_view value, std::string*) {
         if (value.empty() || value.size() > kMaxDriverNameLength ||
             !std::all_of(value.begin(), value.end(), [](char c) { return c > ' ' && c < 0x7F; })) {
             return SettingOutcome::BadValue;
         }
         model.driverName_ = value;
         return SettingOutcome::Applied;
     }},
    {"driver.version", "major.minor.build in two hexadecimal digits each (e.g. 03.01.15)", 0, "",
     [](AdapterModel& model, std::string_view, std::string_view value, std::string*) {
         std::array<uint8_t, 3> parts{};
         std::string_view rest = value;
         for (size_t i = 0; i < parts.size(); ++i) {
             const size_t dot = rest.find('.');
             const std::string_view part = rest.substr(0, dot);
             const auto number = part.size() == 2
                                     ? ParseNumber<uint32_t>("0x" + std::string(part), 0xFF)
                                     : std::nullopt;
             if (!number || (i == 2) != (dot == rest.npos)) {
                 return SettingOutcome::BadValue;
             }
             parts[2 - i] = static_cast<uint8_t>(*number);  // reply byte 6 is the major part
             rest = dot == rest.npos ? std::string_view{} : rest.substr(dot + 1);
         }
         model.driverVersion_ = parts;
         return SettingOutcome::Applied;
     }},
    {"multicast", "comma-separated 6-byte addresses such as 01:00:5E:00:00:01, at most #",
     kMaxMulticastEntries, "",
     [](AdapterModel& model, std::string_view, std::string_view value, std::string* why) {
         std::vector<MacAddress> table;
         std::string_view rest = value;
         while (!Trim(rest).empty()) {
             const size_t comma = rest.find(',');
             const std::string_view item = Trim(rest.substr(0, comma));
             const auto address = ParseMacAddress(item);
             if (!address) {
                 *why = "multicast: '" + std::string(item) +
                        "' is not a 6-byte address such as 01:00:5E:00:00:01";
                 return SettingOutcome::BadValue;
             }
             table.push_back(*address);
             rest = comma == rest.npos ? std::string_view{} : rest.substr(comma + 1);
         }
         if (table.size() > kMaxMulticastEntries) {
             *why = "multicast holds at most " + std::to_string(kMaxMulticastEntries) +
                    " addresses, not " + std::to_string(table.size());
             return SettingOutcome::BadValue;
         }
         model.multicast_ = std::move(table);
         return SettingOutcome::Applied;
     }},
    {"adapterN.address", "a 6-byte address such as 02:4B:4F:52:56:01", 0, "adapters 1 and 2",
     [](AdapterModel& model, std::string_view index, std::string_view value, std::string*) {
         AdapterPort* adapter = model.AdapterByIndex(index);
         if (adapter == nullptr) {
             return SettingOutcome::BadIndex;
         }
         const auto address = ParseMacAddress(value);
         if (!address) {
             return SettingOutcome::BadValue;
         }
         adapter->address = *address;
         return SettingOutcome::Applied;
     }},
    {"adapterN.bus", "a number from 0 to 255", 0, "adapters 1 and 2",
     [](AdapterModel& model, std::string_view index, std::string_view value, std::string*) {
         AdapterPort* adapter = model.AdapterByIndex(index);
         if (adapter == nullptr) {
             return SettingOutcome::BadIndex;
         }
         return StoreNumber(value, 0, 0xFF, &adapter->pci.bus) ? SettingOutcome::Applied
                                                               : SettingOutcome::BadValue;
     }},
    {"adapterN.device", "a 32-bit unsigned number", 0, "adapters 1 and 2",
     [](AdapterModel& model, std::string_view index, std::string_view value, std::string*) {
         AdapterPort* adapter = model.AdapterByIndex(index);
         if (adapter == nullptr) {
             return SettingOutcome::BadIndex;
         }
         return StoreNumber(value, 0, 0xFFFFFFFF, &adapter->pci.device) ? SettingOutcome::Applied
                                                                        : SettingOutcome::BadValue;
     }},
    {"value.N", "a 32-bit unsigned number", 0,
     "the request codes 14, 21, 23, 24, 25, 57, 58 and 61",
     [](AdapterModel& model, std::string_view index, std::string_view value, std::string*) {
         const auto requestCode = ParseNumber<uint32_t>(index, 0xFFFF);
         if (!requestCode || !model.plainValues_.contains(static_cast<uint16_t>(*requestCode))) {
             return SettingOutcome::BadIndex;
         }
         return StoreNumber(value, 0, 0xFFFFFFFF,
                            &model.plainValues_[static_cast<uint16_t>(*requestCode)])
                    ? SettingOutcome::Applied
                    : SettingOutcome::BadValue;
     }},
    {"counter.N", "a 64-bit unsigned number", 0, "the request codes 3 to 10 and 34 to 53",
     [](AdapterModel& model, std::string_view index, std::string_view value, std::string*) {
         const auto requestCode = ParseNumber<uint32_t>(index, 0xFFFF);
         uint64_t* counter = nullptr;
         if (requestCode && *requestCode >= code::kFirstPortCounter &&
             *requestCode <= code::kLastPortCounter) {
             counter = &model.portCounters_[*requestCode - code::kFirstPortCounter];
         } else if (requestCode && *requestCode >= code::kFirstStatCounter &&
                    *requestCode <= code::kLastStatCounter) {
             counter = &model.statCounters_[*requestCode - code::kFirstStatCounter];
         }
         if (counter == nullptr) {
             return SettingOutcome::BadIndex;
         }
         return StoreNumber(value, 0, UINT64_MAX, counter) ? SettingOutcome::Applied
                                                           : SettingOutcome::BadValue;
     }},
};

std::string AdapterModel::SettingDefinition::Describe() const {
    std::string text(value);
    if (const size_t mark = text.find('#'); mark != std::string::npos) {
        text.replace(mark, 1, std::to_string(bound));
    }
    return text;
}

AdapterPort* AdapterModel::AdapterByIndex(std::string_view index) {
    for (size_t i = 0; i < adapters_.size(); ++i) {
        if (index == std::to_string(i + 1)) {
            return &adapters_[i];
        }
    }
    return nullptr;
}

std::string AdapterModel::ApplySetting(std::string_view key, std::string_view value) {
    key = Trim(key);
    value = Trim(value);
    std::lock_guard lock(mutex_);
    std::string known;
    for (const SettingDefinition& setting : kSettings) {
        known += (known.empty() ? "" : ", ") + std::string(setting.key);
        // The text in place of N, when the key has the setting's shape.
        const size_t n = setting.index.empty() ? std::string_view::npos : setting.key.find('N');
        const std::string_view prefix = setting.key.substr(0, n);
        const std::string_view suffix =
            n == std::string_view::npos ? std::string_view{} : setting.key.substr(n + 1);
        const bool matches = n == std::string_view::npos
                                 ? key == setting.key
                                 : key.size() >= prefix.size() + suffix.size() &&
                                       key.starts_with(prefix) && key.ends_with(suffix);
        if (!matches) {
            continue;
        }
        const std::string_view index =
            n == std::string_view::npos
                ? std::string_view{}
                : key.substr(prefix.size(), key.size() - prefix.size() - suffix.size());
        std::string why;
        switch (setting.apply(*this, index, value, &why)) {
            case SettingOutcome::Applied:
                return {};
            case SettingOutcome::BadValue:
                return !why.empty() ? why
                                    : std::string(key) + " must be " + setting.Describe() +
                                          ", not '" + std::string(value) + "'";
            case SettingOutcome::BadIndex:
                return std::string(setting.key) + " exists for " + std::string(setting.index) +
                       ", not for '" + std::string(key) + "'";
        }
    }
    return "unknown setting '" + std::string(key) + "' (known: " + known + ")";
}

std::string AdapterModel::SettingsHelp(std::string_view indent) {
    size_t width = 0;
    for (const SettingDefinition& setting : kSettings) {
        width = std::max(width, setting.key.size());
    }
    std::string help;
    for (const SettingDefinition& setting : kSettings) {
        help += std::string(indent) + std::string(setting.key) +
                std::string(width - setting.key.size() + 2, ' ') + setting.Describe() +
                (setting.index.empty() ? "" : ", for " + std::string(setting.index)) + "\n";
    }
    return help;
}

std::vector<ServedRequest> AdapterModel::RecentRequests(size_t count) const {
    std::lock_guard lock(mutex_);
    const size_t first = log_.size() > count ? log_.size() - count : 0;
    return {log_.begin() + static_cast<std::ptrdiff_t>(first), log_.end()};
}

void AdapterModel::Log(const ServedRequest& request) {
    if (log_.size() == kLogCapacity) {
        log_.pop_front();
    }
    log_.push_back(request);
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
    auto counters = [&out](const char* title, uint16_t firstCode,
                           std::span<const uint64_t> values) {
        out << title;
        for (size_t i = 0; i < values.size(); ++i) {
            out << (i % 4 == 0 && i > 0 ? "\n                " : " ") << firstCode + i << "="
                << values[i];
        }
        out << "\n";
    };
    counters("counters 3-10  ", code::kFirstPortCounter, portCounters_);
    counters("counters 34-53 ", code::kFirstStatCounter, statCounters_);
    out << "multicast       " << multicast_.size() << " entries";
    for (const MacAddress& address : multicast_) {
        out << " " << FormatMacAddress(address);
    }
    out << "\n";
    // Rows that writes have changed.
    std::string written;
    auto changedRows = [&written](const char* title, std::span<const uint32_t> values,
                                  auto defaultFor) {
        for (uint32_t row = 0; row < values.size(); ++row) {
            if (values[row] != defaultFor(row)) {
                written += std::string(" ") + title + "[" + std::to_string(row) +
                           "]=" + std::to_string(values[row]);
            }
        }
    };
    changedRows("30", group13Indexes_, [](uint32_t row) { return row + 1; });
    changedRows("32", group14Indexes_, [](uint32_t row) { return row + 1; });
    changedRows("33", group14Numbers_, [](uint32_t) { return 0u; });
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
