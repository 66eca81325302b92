// The value of one hexadecimal digit in text, for the parsers that read hex bytes and numbers:
// the host registry file and the service provider's attribute values.
#pragma once

namespace korvo {

// '0'-'9', 'a'-'f' and 'A'-'F' as 0 to 15; -1 for any other character.
constexpr int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace korvo
