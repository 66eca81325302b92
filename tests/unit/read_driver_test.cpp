// The installed driver's groups: group 6 (file name and the variant switch, version, file
// size, descriptions and tag) and group 16 (the version's parts and the language).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "state/service_state.h"
#include "support/private_root.h"
#include "support/read_fixture.h"

namespace {

using korvo::test::KeyList;
using korvo::test::ReadFixture;
using korvo::test::ScopedEnv;

// The driver's name in the reply's twenty data bytes, padded with NULs.
void PutText(korvo::test::FakeDevice::Record& record, const std::string& text) {
    for (size_t i = 0; i < 20; ++i) {
        record[4 + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
    }
}

class ReadDriver : public ReadFixture {
  protected:
    void DriverName(const std::string& name) {
        OnRequest(13, [name](Record& r) { PutText(r, name); });
    }
    uint32_t Variant() const { return static_cast<uint32_t>(serviceState.driverVariant); }
};

// Group 6 -----------------------------------------------------------------------------------

TEST_F(ReadDriver, Group6DriverNameAndTheVariantSwitch) {
    const std::string twentyBytes = "KORVOm5ABCDEFGHIJKLM";
    struct Case {
        std::string name;
        std::string expected;
        uint32_t variant;
    } cases[] = {
        {"KORVOm4", "KORVOm4.SYS", 0},
        {"korvom5", "korvom5.SYS", 1},
        {"KoRvOM5x", "KoRvOM5x.SYS", 1},
        {"KORVOm", "KORVOm.SYS", 0},
        {"", ".SYS", 0},
        {twentyBytes, twentyBytes + ".SYS", 1},  // no NUL in the record: the 20 bytes there
    };
    for (const Case& c : cases) {
        serviceState.driverVariant = 0;
        DriverName(c.name);
        const auto result = Read(6, 2);
        EXPECT_EQ(result.status, 0u);
        EXPECT_EQ(result.type(), 8u);
        EXPECT_EQ(result.text(), c.expected);
        EXPECT_EQ(Variant(), c.variant) << "name " << c.name;
    }

    // Once set, the variant stays whatever name the driver reports later.
    DriverName("KORVOm4");
    EXPECT_EQ(Read(6, 2).text(), "KORVOm4.SYS");
    EXPECT_EQ(Variant(), 1u);
}

TEST_F(ReadDriver, Group6DescriptionsFollowTheVariant) {
    for (DmiId attribute : {4u, 7u}) {
        const auto result = Read(6, attribute);
        EXPECT_EQ(result.type(), 8u);
        EXPECT_EQ(result.text(), "NDIS 4.0 Miniport");
    }
    DriverName("KORVOm5");
    Read(6, 2);
    for (DmiId attribute : {4u, 7u}) {
        EXPECT_EQ(Read(6, attribute).text(), "NDIS 5.0 Miniport");
    }
    EXPECT_EQ(SentCodes(), (std::vector<uint16_t>{13}));
}

TEST_F(ReadDriver, Group6VersionConstantsAndTag) {
    OnRequest(12, [](Record& r) { PutBytes(r, 4, {0x01, 0x2B, 0xC3}); });
    const auto version = Read(6, 3);
    EXPECT_EQ(version.status, 0u);
    EXPECT_EQ(version.type(), 8u);
    EXPECT_EQ(version.text(), "C3.2B.01");
    EXPECT_EQ(SentCodes(), (std::vector<uint16_t>{12}));

    const auto one = Read(6, 1);
    EXPECT_EQ(one.type(), 5u);
    EXPECT_EQ(one.u32(), 0u);
    const auto six = Read(6, 6);
    EXPECT_EQ(six.type(), 5u);
    EXPECT_EQ(six.u32(), 4u);
    const auto tag = Read(6, 8);
    EXPECT_EQ(tag.type(), 8u);
    EXPECT_EQ(tag.text(), std::string("NDIS") + std::string(23, '\0'));
    EXPECT_EQ(Read(6, 9).type(), 0u);
}

class DriverFileSize : public ReadFixture {
  protected:
    // A Windows directory of exactly `length` characters under the test's private root,
    // with its "system" subdirectory.
    std::string MakeWindowsDirectory(size_t length) {
        std::string path = device.root() + "/";
        path += std::string(length - path.size(), 'w');
        std::filesystem::create_directories(path + "/system");
        return path;
    }
    static void WriteFile(const std::string& path, size_t size) {
        std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    }
    // The size read, or nothing when the read answered "value unknown" without a value.
    std::optional<uint32_t> FileSize() {
        const auto result = Read(6, 5);
        if (result.status == DMIERR_VALUE_UNKNOWN) {
            EXPECT_EQ(result.record->id, 5u);
            EXPECT_EQ(result.type(), 0u);
            return std::nullopt;
        }
        EXPECT_EQ(result.status, 0u);
        EXPECT_EQ(result.type(), 5u);
        return result.u32();
    }
};

TEST_F(DriverFileSize, SizeOfTheVariantsFileWhateverTheCaseOnDisk) {
    const std::string windir = MakeWindowsDirectory(40);
    WriteFile(windir + "/system/korvom4.sys", 1234);
    ScopedEnv env("windir", windir.c_str());
    EXPECT_EQ(FileSize(), 1234u);

    WriteFile(windir + "/system/KORVOM5.sys", 56789);
    serviceState.driverVariant = 1;
    EXPECT_EQ(FileSize(), 56789u);
    EXPECT_TRUE(SentCodes().empty());
}

TEST_F(DriverFileSize, MissingOrUnopenableFileIsUnknown) {
    const std::string windir = MakeWindowsDirectory(40);
    ScopedEnv env("windir", windir.c_str());
    EXPECT_EQ(FileSize(), std::nullopt) << "missing";
    std::filesystem::create_directory(windir + "/system/KORVOm4.SYS");
    EXPECT_EQ(FileSize(), std::nullopt) << "a directory can't be opened as the file";

    ScopedEnv unset("windir", nullptr);
    EXPECT_EQ(FileSize(), std::nullopt) << "windir not set";
}

TEST_F(DriverFileSize, PathMustFitItsHundredBytes) {
    // windir + "\system\" + "KORVOm4.SYS" + NUL: 80 + 8 + 11 + 1 = 100 bytes just fit.
    for (size_t length : {80u, 81u}) {
        const std::string windir = MakeWindowsDirectory(length);
        WriteFile(windir + "/system/KORVOm4.SYS", 77);
        ScopedEnv env("windir", windir.c_str());
        EXPECT_EQ(FileSize(), length == 80 ? std::optional<uint32_t>(77) : std::nullopt)
            << "windir of " << length;
    }
    ScopedEnv huge("windir", std::string(10000, 'w').c_str());
    EXPECT_EQ(FileSize(), std::nullopt);
}

// A failed string, for group 6 and the adapter's address texts of group 4.
TEST_F(ReadDriver, FailedStringKeepsTheIdAndPassesTheStatusOn) {
    DriverName("KORVOm5");
    const std::pair<DmiId, DmiId> strings[] = {{4, 2}, {4, 3}, {6, 2}, {6, 3},
                                               {6, 4}, {6, 7}, {6, 8}};
    for (auto [group, attribute] : strings) {
        dmi.FailAllocation(2);  // the first allocation is the record itself
        const auto result = Read(group, attribute);
        EXPECT_EQ(result.status, unsigned(DMIERR_OUT_OF_MEMORY))
            << "group " << group << " attribute " << attribute;
        ASSERT_NE(result.record, nullptr);
        EXPECT_EQ(result.record->id, attribute);
        EXPECT_EQ(result.type(), 0u);
    }
    EXPECT_EQ(Variant(), 0u) << "a name whose value wasn't built doesn't switch the variant";
}

// Group 16 ----------------------------------------------------------------------------------

TEST_F(ReadDriver, Group16GivesVersionPairsAndConstants) {
    OnRequest(12, [](Record& r) {
        r[4] = 0x01;
        r[5] = 0xAB;
        r[6] = 0x0F;
    });
    struct Case {
        DmiId attribute;
        std::string text;
    };
    const Case pairs[] = {{1, "0F"}, {2, "AB"}, {3, "01"}, {4, "01"}};
    KeyList keys{77};
    for (uint32_t mode : {0u, 1u}) {
        for (const Case& c : pairs) {
            const auto result = Read(16, c.attribute, keys.get(), mode);
            EXPECT_EQ(result.status, 0u);
            EXPECT_EQ(result.type(), unsigned(MIF_DISPLAYSTRING));
            EXPECT_EQ(result.text(), c.text) << "attribute " << c.attribute;
            EXPECT_EQ(SentCodes(), std::vector<uint16_t>{12});
        }
        const auto five = Read(16, 5, keys.get(), mode);
        EXPECT_EQ(five.type(), unsigned(MIF_INTEGER));
        EXPECT_EQ(five.u32(), 6u);
        const auto seven = Read(16, 7, keys.get(), mode);
        EXPECT_EQ(seven.type(), unsigned(MIF_DISPLAYSTRING));
        EXPECT_EQ(seven.text(), std::string("000101234") + std::string(23, '\0'));
        EXPECT_TRUE(SentCodes().empty());
    }
}

TEST_F(ReadDriver, Group16LanguageDefaultsToEnglish) {
    const std::pair<uint32_t, const char*> cases[] = {{0, "en"}, {1, "en"},         {2, "ge"},
                                                      {3, "fr"}, {4, "it"},         {5, "sp"},
                                                      {6, "en"}, {0xFFFFFFFF, "en"}};
    for (auto [selector, code] : cases) {
        ReplyValue(54, selector);
        for (uint32_t mode : {0u, 1u}) {
            const auto result = Read(16, 6, nullptr, mode);
            EXPECT_EQ(result.status, 0u);
            EXPECT_EQ(result.type(), unsigned(MIF_DISPLAYSTRING));
            EXPECT_EQ(result.text(), std::string(code, 3)) << "reply value " << selector;
            EXPECT_EQ(SentCodes(), std::vector<uint16_t>{54});
        }
    }
}

}  // namespace
