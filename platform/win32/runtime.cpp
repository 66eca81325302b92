// The C library functions the compiler and the agent call, for an executable that links no C
// runtime: memcpy and memset (the compiler's own copies and clears of records) and strlen.
// Built with -fno-builtin and without loop pattern recognition, so that these loops do not
// become calls of themselves.
#include <cstddef>

extern "C" {

void* memcpy(void* destination, const void* source, std::size_t size) {
    auto* to = static_cast<unsigned char*>(destination);
    const auto* from = static_cast<const unsigned char*>(source);
    for (std::size_t i = 0; i < size; ++i) {
        to[i] = from[i];
    }
    return destination;
}

void* memset(void* destination, int value, std::size_t size) {
    auto* to = static_cast<unsigned char*>(destination);
    for (std::size_t i = 0; i < size; ++i) {
        to[i] = static_cast<unsigned char>(value);
    }
    return destination;
}

std::size_t strlen(const char* text) {
    std::size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}
}
