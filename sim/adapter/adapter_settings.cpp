// The simulator's settings: the start values an administrator sets by key, in a settings file
// (--config) or with `korvo-adapter set`, one row each with what its value must be, and their
// help. Which request codes a setting takes comes from the request catalogue.
#include <algorithm>
#include <array>
#include <iterator>
#include <span>

#include "adapter_model.h"
#include "setting_text.h"

namespace korvo::adapter {
namespace {

// "the request codes 14, 21, ...": the plain values, which value.N sets.
constexpr FixedText PlainValueCodes() {
    std::array<CodeRun, std::size(kPlainValueStarts)> runs{};
    for (size_t i = 0; i < runs.size(); ++i) {
        runs[i] = {kPlainValueStarts[i].first, kPlainValueStarts[i].first};
    }
    return RequestCodesText(runs);
}

// "the request codes 3 to 10 and 34 to 53": the catalogue's counters, which counter.N sets.
constexpr FixedText CounterCodes() {
    std::array<CodeRun, std::size(kRequestCatalogue)> runs{};
    size_t count = 0;
    for (const RequestCodes& row : kRequestCatalogue) {
        if (row.kind == RequestKind::Counter) {
            runs[count++] = {row.first, row.last};
        }
    }
    return RequestCodesText(std::span(runs).first(count));
}

constexpr FixedText kPlainValueCodes = PlainValueCodes();
constexpr FixedText kCounterCodes = CounterCodes();

}  // namespace

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
    {"value.N", "a 32-bit unsigned number", 0, kPlainValueCodes.View(),
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
    {"counter.N", "a 64-bit unsigned number", 0, kCounterCodes.View(),
     [](AdapterModel& model, std::string_view index, std::string_view value, std::string*) {
         const auto requestCode = ParseNumber<uint32_t>(index, 0xFFFF);
         uint64_t* counter = requestCode ? model.CounterFor(*requestCode) : nullptr;
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

}  // namespace korvo::adapter
