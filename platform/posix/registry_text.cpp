// The registry file's text as a tree of keys and values: the REGEDIT4 parser and the key
// tree's lookups (names compared without regard to ASCII case). A pure function of the text, with
// no files and no global state, so that it can be tested and fuzzed on its own; the registry
// calls in registry.cpp wrap it.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host_registry.h"
#include "korvo/ascii.h"
#include "korvo/hex_digit.h"
#include "platform.h"

namespace korvo::host {
namespace {

constexpr std::string_view RegistryHeader = "REGEDIT4";
constexpr std::string_view LocalMachineHive = "hkey_local_machine";
constexpr std::string_view OtherHivePrefix = "hkey_";
// The registry's own limits on key names and nesting; they also bound the parser's work.
constexpr size_t MaxKeyNameLength = 255;
constexpr size_t MaxKeyDepth = 512;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool StartsWithFolded(std::string_view text, std::string_view foldedPrefix) {
    return text.size() >= foldedPrefix.size() &&
           FoldRegistryName(text.substr(0, foldedPrefix.size())) == foldedPrefix;
}

// 1 to `maxDigits` hexadecimal digits and nothing else.
std::optional<uint32_t> ParseHexNumber(std::string_view text, size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return value;
}

// "01,02,ff": bytes of one or two digits separated by commas; empty is no bytes.
std::optional<std::string> ParseByteList(std::string_view text) {
    std::string bytes;
    text = TrimBlanks(text);
    if (text.empty()) {
        return bytes;
    }
    while (true) {
        const size_t comma = text.find(',');
        const auto byte = ParseHexNumber(TrimBlanks(text.substr(0, comma)), 2);
        if (!byte) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<char>(*byte));
        if (comma == std::string_view::npos) {
            return bytes;
        }
        text.remove_prefix(comma + 1);
    }
}

// A quoted text at the start of `text` with the escapes \\ and \"; `text` is left after the
// closing quote.
std::optional<std::string> TakeQuoted(std::string_view& text) {
    if (text.empty() || text.front() != '"') {
        return std::nullopt;
    }
    std::string out;
    for (size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            text.remove_prefix(i + 1);
            return out;
        }
        if (c == '\\') {
            if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
                return std::nullopt;
            }
            ++i;
        }
        out.push_back(text[i]);
    }
    return std::nullopt;  // no closing quote
}

// The data after '=': a string, dword:, hex: or hex(N):.
std::optional<RegistryValue> ParseValueData(std::string_view data) {
    constexpr std::string_view DwordPrefix = "dword:";
    constexpr std::string_view HexPrefix = "hex:";
    constexpr std::string_view TypedHexPrefix = "hex(";
    constexpr size_t DwordDigits = 8;
    RegistryValue value;
    if (!data.empty() && data.front() == '"') {
        auto text = TakeQuoted(data);
        if (!text || !TrimBlanks(data).empty()) {
            return std::nullopt;
        }
        value.type = REG_SZ;
        value.data = std::move(*text);
        value.data.push_back('\0');
        return value;
    }
    if (StartsWithFolded(data, DwordPrefix)) {
        const auto number =
            ParseHexNumber(TrimBlanks(data.substr(DwordPrefix.size())), DwordDigits);
        if (!number) {
            return std::nullopt;
        }
        value.type = REG_DWORD;
        for (int shift = 0; shift < 32; shift += 8) {
            value.data.push_back(static_cast<char>(*number >> shift));
        }
        return value;
    }
    std::string_view bytes;
    if (StartsWithFolded(data, HexPrefix)) {
        value.type = REG_BINARY;
        bytes = data.substr(HexPrefix.size());
    } else if (StartsWithFolded(data, TypedHexPrefix)) {
        data.remove_prefix(TypedHexPrefix.size());
        const size_t close = data.find("):");
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        const auto type = ParseHexNumber(data.substr(0, close), DwordDigits);
        if (!type) {
            return std::nullopt;
        }
        value.type = *type;
        bytes = data.substr(close + 2);
    } else {
        return std::nullopt;
    }
    auto list = ParseByteList(bytes);
    if (!list) {
        return std::nullopt;
    }
    value.data = std::move(*list);
    return value;
}

class RegistryParser {
  public:
    explicit RegistryParser(std::string_view text) : text_(text) {}

    RegistryParse Run() {
        RegistryParse result;
        root_ = std::make_unique<RegistryKey>();
        std::string line;
        if (!NextLogicalLine(line) || TrimBlanks(line) != RegistryHeader) {
            result.error = "line 1: the file does not start with the line REGEDIT4";
            return result;
        }
        while (NextLogicalLine(line)) {
            if (!ParseLine(TrimBlanks(line))) {
                result.error = "line " + std::to_string(lineNumber_) + ": " + error_;
                return result;
            }
        }
        root_->Finish();
        result.root = std::move(root_);
        return result;
    }

  private:
    // One line with its continuations joined: a trailing backslash is dropped and the next
    // line follows without its leading blanks. Comment lines never continue.
    bool NextLogicalLine(std::string& line) {
        line.clear();
        if (position_ >= text_.size()) {
            return false;
        }
        lineNumber_ = nextLineNumber_;
        bool continuing = false;
        while (position_ < text_.size()) {
            const size_t end = std::min(text_.find('\n', position_), text_.size());
            std::string_view physical = text_.substr(position_, end - position_);
            position_ = end + 1;
            ++nextLineNumber_;
            if (continuing) {
                physical = TrimBlanks(physical);
            } else {
                while (!physical.empty() && IsBlank(physical.back())) {
                    physical.remove_suffix(1);
                }
            }
            const bool comment =
                !continuing && !TrimBlanks(physical).empty() && TrimBlanks(physical).front() == ';';
            if (!comment && !physical.empty() && physical.back() == '\\') {
                physical.remove_suffix(1);
                line.append(physical);
                continuing = true;
                continue;
            }
            line.append(physical);
            break;
        }
        return true;
    }

    bool Fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    bool ParseLine(std::string_view line) {
        if (line.empty() || line.front() == ';') {
            return true;
        }
        if (line.front() == '[') {
            return ParseSection(line);
        }
        if (line.front() == '"' || line.front() == '@') {
            return ParseValue(line);
        }
        return Fail("expected a [key] section, a value or a ; comment");
    }

    bool ParseSection(std::string_view line) {
        if (line.back() != ']') {
            return Fail("a section name must end with ]");
        }
        std::string_view path = line.substr(1, line.size() - 2);
        if (!path.empty() && path.front() == '-') {
            return Fail("key deletions have no place in a registry file");
        }
        const size_t firstSeparator = path.find('\\');
        const std::string hive = FoldRegistryName(path.substr(0, firstSeparator));
        if (hive != LocalMachineHive) {
            if (!StartsWithFolded(hive, OtherHivePrefix)) {
                return Fail("a section must name a key under HKEY_LOCAL_MACHINE");
            }
            current_ = nullptr;  // another hive's section: skipped with its values
            sawSection_ = true;
            return true;
        }
        RegistryKey* key = root_.get();
        if (firstSeparator != std::string_view::npos) {
            std::string_view rest = path.substr(firstSeparator + 1);
            for (size_t depth = 1;; ++depth) {
                const size_t separator = rest.find('\\');
                const std::string_view name = rest.substr(0, separator);
                if (name.empty() || name.size() > MaxKeyNameLength) {
                    return Fail("a key name must have 1 to 255 characters");
                }
                // The registry calls take names as C strings: a key so named could be listed
                // but never opened.
                if (name.find('\0') != std::string_view::npos) {
                    return Fail("a key name cannot hold a NUL byte");
                }
                if (depth > MaxKeyDepth) {
                    return Fail("keys nest deeper than 512 levels");
                }
                key = &key->AddSubkey(name);
                if (separator == std::string_view::npos) {
                    break;
                }
                rest.remove_prefix(separator + 1);
            }
        }
        current_ = key;
        sawSection_ = true;
        return true;
    }

    bool ParseValue(std::string_view line) {
        if (!sawSection_) {
            return Fail("a value before the first [key] section");
        }
        std::string name;
        if (line.front() == '@') {
            line.remove_prefix(1);
        } else {
            auto quoted = TakeQuoted(line);
            if (!quoted) {
                return Fail("a value name must be quoted, with \\\\ and \\\" as its only escapes");
            }
            name = std::move(*quoted);
        }
        line = TrimBlanks(line);
        if (line.empty() || line.front() != '=') {
            return Fail("expected = after the value name");
        }
        line = TrimBlanks(line.substr(1));
        if (!line.empty() && line.front() == '-') {
            return Fail("value deletions have no place in a registry file");
        }
        auto value = ParseValueData(line);
        if (!value) {
            return Fail("a value must be \"text\", dword:XXXXXXXX, hex:XX,... or hex(N):XX,...");
        }
        if (current_ != nullptr) {
            current_->SetValue(name, std::move(*value));
        }
        return true;
    }

    std::string_view text_;
    size_t position_ = 0;
    int lineNumber_ = 0;
    int nextLineNumber_ = 1;
    std::unique_ptr<RegistryKey> root_;
    RegistryKey* current_ = nullptr;
    bool sawSection_ = false;
    std::string error_;
};

}  // namespace

std::string FoldRegistryName(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        c = AsciiLower(c);
    }
    return folded;
}

namespace {

// <0, 0 or >0 as `a` sorts before, with or after `b`, ASCII letters folded.
int CompareFolded(std::string_view a, std::string_view b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const auto x = static_cast<unsigned char>(AsciiLower(a[i]));
        const auto y = static_cast<unsigned char>(AsciiLower(b[i]));
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

const RegistryKey* RegistryKey::FindSubkey(std::string_view subkeyName) const {
    const auto found = std::lower_bound(
        subkeyOrder_.begin(), subkeyOrder_.end(), subkeyName,
        [this](uint32_t at, auto name) { return CompareFolded(subkeys[at]->name, name) < 0; });
    return found != subkeyOrder_.end() && CompareFolded(subkeys[*found]->name, subkeyName) == 0
               ? subkeys[*found].get()
               : nullptr;
}

const RegistryValue* RegistryKey::FindValue(std::string_view valueName) const {
    const auto found = std::lower_bound(
        values_.begin(), values_.end(), valueName,
        [](const auto& entry, auto name) { return CompareFolded(entry.first, name) < 0; });
    return found != values_.end() && CompareFolded(found->first, valueName) == 0 ? &found->second
                                                                                 : nullptr;
}

RegistryKey& RegistryKey::AddSubkey(std::string_view subkeyName) {
    // Sections usually come grouped by key: the one added last is nearly always the one named
    // again. Any other repeat is merged by Finish().
    if (subkeys.empty() || CompareFolded(subkeys.back()->name, subkeyName) != 0) {
        auto key = std::make_unique<RegistryKey>();
        key->name = std::string(subkeyName);
        subkeys.push_back(std::move(key));
    }
    return *subkeys.back();
}

void RegistryKey::SetValue(std::string_view valueName, RegistryValue value) {
    values_.emplace_back(FoldRegistryName(valueName), std::move(value));
}

void RegistryKey::Finish() {
    // Subkeys named alike become the first of them, which takes the later ones' subkeys and
    // values after its own: the order of first appearance, and the last value set wins.
    std::vector<uint32_t> order(subkeys.size());
    for (uint32_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    auto byName = [this](uint32_t a, uint32_t b) {
        return CompareFolded(subkeys[a]->name, subkeys[b]->name) < 0;
    };
    std::stable_sort(order.begin(), order.end(), byName);
    bool merged = false;
    for (size_t first = 0; first < order.size();) {
        size_t next = first + 1;
        RegistryKey& kept = *subkeys[order[first]];
        for (; next < order.size() && !byName(order[first], order[next]); ++next) {
            std::unique_ptr<RegistryKey> later = std::move(subkeys[order[next]]);
            for (auto& child : later->subkeys) {
                kept.subkeys.push_back(std::move(child));
            }
            for (auto& value : later->values_) {
                kept.values_.push_back(std::move(value));
            }
            merged = true;
        }
        first = next;
    }
    if (merged) {
        std::erase(subkeys, nullptr);
        order.resize(subkeys.size());
        for (uint32_t i = 0; i < order.size(); ++i) {
            order[i] = i;
        }
        std::sort(order.begin(), order.end(), byName);
    }
    subkeys.shrink_to_fit();
    subkeyOrder_ = std::move(order);

    // Values by name, the last one set of each name kept.
    std::stable_sort(values_.begin(), values_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::pair<std::string, RegistryValue>> kept;
    kept.reserve(values_.size());
    for (size_t i = 0; i < values_.size(); ++i) {
        if (i + 1 < values_.size() && values_[i + 1].first == values_[i].first) {
            continue;
        }
        kept.push_back(std::move(values_[i]));
    }
    values_ = std::move(kept);

    for (const auto& subkey : subkeys) {
        subkey->Finish();
    }
}

RegistryParse ParseRegistryText(std::string_view text) {
    return RegistryParser(text).Run();
}

}  // namespace korvo::host
