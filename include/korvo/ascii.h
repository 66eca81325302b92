// ASCII letter case, for names compared or written without regard to it (Windows file, module
// and class names, registry keys, MIF keywords, message and type names, SNMP descriptors): only
// 'A'-'Z' and 'a'-'z' fold, the same in every locale. Plain loops without the C runtime, so that
// the agent can use it as well as the host's programs.
#pragma once

#include <string_view>

namespace korvo {

constexpr char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when `a` and `b` differ at most in the case of ASCII letters.
constexpr bool AsciiEqualFold(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

// True when `text` begins with `prefix`, ASCII case ignored.
constexpr bool AsciiStartsWithFold(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && AsciiEqualFold(text.substr(0, prefix.size()), prefix);
}

}  // namespace korvo
