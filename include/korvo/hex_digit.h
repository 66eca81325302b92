// Hexadecimal digits in text, one at a time: their values for the parsers that read hex bytes
// and numbers (the host registry file, the MIF reader, attribute values on the management
// protocol and in SNMP indexes, MAC addresses of the simulated adapter), and the digit of a
// value for those that write them (the agent's driver texts among them). Plain code without the
// C runtime, so that the agent can use it as well as the host's programs.
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

// The byte written as the two digits `high` and `low` (either case), 0 to 255; -1 when either
// is no hexadecimal digit.
constexpr int HexByte(char high, char low) {
    const int h = HexDigit(high);
    const int l = HexDigit(low);
    return h < 0 || l < 0 ? -1 : h * 16 + l;
}

// The upper-case digit of the low four bits of `value`.
constexpr char UpperHexDigit(unsigned value) {
    return "0123456789ABCDEF"[value & 0x0F];
}

}  // namespace korvo
