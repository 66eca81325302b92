// The ASCII case and hexadecimal digit helpers every parser shares: the characters at the edges
// of each range, where an off-by-one would let a neighbour in or keep a letter out.
#include <gtest/gtest.h>

#include "korvo/ascii.h"
#include "korvo/hex_digit.h"

namespace korvo {
namespace {

TEST(AsciiCase, FoldsOnlyTheLettersAndNoNeighbour) {
    const struct {
        char c;
        char lower;
        char upper;
    } cases[] = {
        {'A', 'a', 'A'}, {'Z', 'z', 'Z'}, {'a', 'a', 'A'},          {'z', 'z', 'Z'},
        {'@', '@', '@'}, {'[', '[', '['}, {'`', '`', '`'},          {'{', '{', '{'},
        {'0', '0', '0'}, {'_', '_', '_'}, {'\xC4', '\xC4', '\xC4'},  // no locale's letters
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AsciiLower(c.c), c.lower) << c.c;
        EXPECT_EQ(AsciiUpper(c.c), c.upper) << c.c;
    }
    EXPECT_TRUE(AsciiEqualFold("Korvo.DLL", "kORVO.dll"));
    EXPECT_FALSE(AsciiEqualFold("korvo", "korv"));
    EXPECT_FALSE(AsciiEqualFold("a@", "A`"))
        << "'@' and '`' differ by the case bit, not as letters";
    EXPECT_TRUE(AsciiStartsWithFold("WM_CLOSE", "wm_"));
    EXPECT_FALSE(AsciiStartsWithFold("WM", "wm_"));
}

TEST(HexDigits, ReadEveryDigitAndRefuseTheNeighbours) {
    for (int value = 0; value < 16; ++value) {
        EXPECT_EQ(HexDigit(UpperHexDigit(static_cast<unsigned>(value))), value);
        EXPECT_EQ(HexDigit(AsciiLower(UpperHexDigit(static_cast<unsigned>(value)))), value);
    }
    for (const char c : {'/', ':', '@', 'G', '`', 'g', ' ', '\0'}) {
        EXPECT_EQ(HexDigit(c), -1) << c;
    }
    EXPECT_EQ(UpperHexDigit(0x1F), 'F') << "only the low four bits";
    EXPECT_EQ(HexByte('f', 'F'), 0xFF);
    EXPECT_EQ(HexByte('0', '7'), 0x07);
    EXPECT_EQ(HexByte('7', 'g'), -1);
    EXPECT_EQ(HexByte(':', '0'), -1);
}

}  // namespace
}  // namespace korvo
