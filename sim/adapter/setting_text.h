// Reading the text of the model's settings and commands (numbers in decimal or 0x hexadecimal,
// words without their blanks), and the texts that the settings table, which must be complete
// before anything runs, builds at compile time from the request catalogue.
#pragma once

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace korvo::adapter {

// A whole number of at most `maximum`, in decimal or with 0x in hexadecimal, and nothing else.
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

// `text` without its leading and trailing blanks and tabs.
constexpr std::string_view Trim(std::string_view text) {
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

// A text made at compile time; a text longer than its room does not compile.
struct FixedText {
    std::array<char, 120> chars{};
    size_t size = 0;

    constexpr void Append(std::string_view text) {
        for (const char c : text) {
            chars[size++] = c;
        }
    }
    constexpr void AppendNumber(uint32_t number) {
        char digits[10] = {};
        size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + number % 10);
            number /= 10;
        } while (number != 0);
        while (count > 0) {
            chars[size++] = digits[--count];
        }
    }
    constexpr std::string_view View() const { return {chars.data(), size}; }
};

// A run of request codes, `first` to `last`.
struct CodeRun {
    uint32_t first;
    uint32_t last;
};

// "the request codes 3 to 10 and 34 to 53", "the request codes 14, 21 and 23".
constexpr FixedText RequestCodesText(std::span<const CodeRun> runs) {
    FixedText text;
    text.Append("the request codes ");
    for (size_t i = 0; i < runs.size(); ++i) {
        if (i > 0) {
            text.Append(i + 1 == runs.size() ? " and " : ", ");
        }
        text.AppendNumber(runs[i].first);
        if (runs[i].last != runs[i].first) {
            text.Append(" to ");
            text.AppendNumber(runs[i].last);
        }
    }
    return text;
}

}  // namespace korvo::adapter
