// Integers as the wire protocols carry them, least significant byte first: the driver's request
// record and its socket framing, and the window messages posted between processes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvo {

// Writes the low `size` bytes of `value` at `out`, least significant first.
constexpr void PutLittleEndian(uint8_t* out, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// Reads `size` bytes at `in`, least significant first.
constexpr uint64_t GetLittleEndian(const uint8_t* in, size_t size) {
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        value |= static_cast<uint64_t>(in[i]) << (8 * i);
    }
    return value;
}

constexpr void PutU16(uint8_t* out, uint16_t value) {
    PutLittleEndian(out, value, 2);
}

constexpr uint16_t GetU16(const uint8_t* in) {
    return static_cast<uint16_t>(GetLittleEndian(in, 2));
}

constexpr void PutU32(uint8_t* out, uint32_t value) {
    PutLittleEndian(out, value, 4);
}

constexpr uint32_t GetU32(const uint8_t* in) {
    return static_cast<uint32_t>(GetLittleEndian(in, 4));
}

}  // namespace korvo
