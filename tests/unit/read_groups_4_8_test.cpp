// Groups 4 to 8: addresses and 64-bit counters, the driver's address table walked under
// get-next, the installed driver (file name, variant switch, version, file size), the state
// values of group 7 and the single row of group 8.
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

using korvo::test::FakeDevice;
using korvo::test::KeyList;
using korvo::test::ReadFixture;
using korvo::test::ScopedEnv;

constexpr uint32_t RowNotFound = 0x10A;
constexpr uint32_t AttributeNotFound = 0x100;
constexpr uint32_t ValueUnknown = 0x10F;

void PutBytes(FakeDevice::Record& record, size_t offset, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        record.at(offset + i) = bytes[i];
    }
}

void PutText(FakeDevice::Record& record, const std::string& text) {
    for (size_t i = 0; i < 20; ++i) {
        record[4 + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
    }
}

class ReadGroups4To8 : public ReadFixture {
  protected:
    void ReplyValue(uint16_t code, uint32_t value) {
        OnRequest(code, [value](Record& r) { FakeDevice::PutWord(r, 16, value); });
    }
    void DriverName(const std::string& name) {
        OnRequest(13, [name](Record& r) { PutText(r, name); });
    }
    uint32_t Variant() const { return static_cast<uint32_t>(serviceState.driverVariant); }
};

// Group 4 -----------------------------------------------------------------------------------

TEST_F(ReadGroups4To8, Group4ConstantsAndAddressTexts) {
    OnRequest(1, [](Record& r) { PutBytes(r, 4, {0x00, 0x1b, 0xaf, 0x09, 0xc0, 0xff}); });
    OnRequest(2, [](Record& r) { PutBytes(r, 4, {0xde, 0xad, 0x00, 0x00, 0x0a, 0x01}); });

    const auto first = Read(4, 2);
    EXPECT_EQ(first.status, 0u);
    EXPECT_EQ(first.type(), 8u);
    EXPECT_EQ(first.text(), std::string("001BAF09C0FF\0", 13));
    const auto second = Read(4, 3);
    EXPECT_EQ(second.text(), std::string("DEAD00000A01\0", 13));
    EXPECT_EQ(SentCodes(), (std::vector<uint16_t>{1, 2}));

    const std::pair<DmiId, uint32_t> constants[] = {{1, 0}, {4, 1}, {5, 10}};
    for (auto [attribute, expected] : constants) {
        const auto result = Read(4, attribute);
        EXPECT_EQ(result.status, 0u);
        EXPECT_EQ(result.type(), 5u);
        EXPECT_EQ(result.u32(), expected) << "attribute " << attribute;
    }
    EXPECT_EQ(Read(4, 14).type(), 0u) << "unlisted attribute";
    EXPECT_TRUE(SentCodes().empty());
}

TEST_F(ReadGroups4To8, Group4CountersCarryTheHighHalf) {
    for (uint16_t code = 3; code <= 10; ++code) {
        OnRequest(code, [code](Record& r) {
            FakeDevice::PutWord(r, 16, 0xF0000000u + code);
            FakeDevice::PutWord(r, 20, code);
        });
    }
    for (DmiId attribute = 6; attribute <= 13; ++attribute) {
        const uint64_t code = attribute - 3;
        const auto result = Read(4, attribute);
        EXPECT_EQ(result.status, 0u);
        EXPECT_EQ(result.type(), 2u);
        EXPECT_EQ(result.u64(), code << 32 | (0xF0000000u + code)) << "attribute " << attribute;
    }
    EXPECT_EQ(SentCodes(), (std::vector<uint16_t>{3, 4, 5, 6, 7, 8, 9, 10}));
}

// The single-row groups ---------------------------------------------------------------------

TEST_F(ReadGroups4To8, SingleRowGroupsRefuseOtherRowsBeforeAsking) {
    KeyList one{1}, two{2}, almostAll{0xFFFFFFFE};
    struct Case {
        DmiAttributeValues* keys;
        uint32_t mode;
        DmiId attribute;
    } cases[] = {
        {two.get(), 0, 2},       {nullptr, 1, 2},    {one.get(), 1, 2},
        {almostAll.get(), 1, 2}, {two.get(), 0, 99},  // the row is checked before the attribute
    };
    for (DmiId group : {4u, 6u, 8u}) {
        for (const Case& c : cases) {
            const auto result = Read(group, c.attribute, c.keys, c.mode);
            EXPECT_EQ(result.status, RowNotFound) << "group " << group;
            EXPECT_EQ(result.record->id, c.attribute);
            EXPECT_EQ(result.type(), 0u);
        }
    }
    EXPECT_TRUE(SentCodes().empty());
}

TEST_F(ReadGroups4To8, FirstAttributesUnderGetNextOfKeyZero) {
    KeyList zero{0};
    for (DmiId group : {4u, 6u, 8u}) {
        const auto next = ReadNext(group, 1, zero.get());
        EXPECT_EQ(next.status, RowNotFound) << "group " << group;
        EXPECT_EQ(next.type(), 0u);
        const auto get = Read(group, 1, zero.get());
        EXPECT_EQ(get.status, 0u);
        EXPECT_EQ(get.type(), 5u);
        EXPECT_EQ(get.u32(), 0u);
    }
    const auto group8Attribute2 = ReadNext(8, 2, zero.get());
    EXPECT_EQ(group8Attribute2.status, AttributeNotFound);
    EXPECT_EQ(group8Attribute2.type(), 0u);
    EXPECT_EQ(Read(8, 2, zero.get()).status, 0u);

    // Row 1 under get-next of key 0 answers the other attributes.
    EXPECT_EQ(ReadNext(4, 5, zero.get()).u32(), 10u);
    EXPECT_EQ(ReadNext(6, 6, zero.get()).u32(), 4u);
    EXPECT_EQ(ReadNext(8, 3, zero.get()).u32(), 3u);
}

// Group 5 -----------------------------------------------------------------------------------

class ReadGroup5 : public ReadFixture {
  protected:
    // A table of three entries at indexes 0 to 2, the address bytes derived from the index;
    // every other index is marked empty.
    void ThreeEntries() {
        OnRequest(11, [](Record& r) {
            const uint8_t index = r[11];
            if (index < 3) {
                PutBytes(r, 4, {0xA0, 0x00, 0x00, 0x00, 0x00, uint8_t(index + 1)});
            } else {
                r[11] = 0x55;
            }
        });
    }
};

TEST_F(ReadGroup5, GetNextWalksTheTableToTheEmptyEntry) {
    ThreeEntries();
    uint32_t key = 0;
    std::vector<uint32_t> rows;
    std::vector<std::string> addresses;
    for (;;) {
        KeyList keys{key};
        const auto row = ReadNext(5, 1, keys.get());
        const auto address = ReadNext(5, 4, keys.get());
        if (row.status != 0) {
            EXPECT_EQ(row.status, RowNotFound);
            EXPECT_EQ(row.type(), 0u);
            EXPECT_EQ(address.status, RowNotFound);
            EXPECT_EQ(address.type(), 0u);
            EXPECT_EQ(address.record->id, 4u);
            break;
        }
        EXPECT_EQ(row.type(), 5u);
        EXPECT_EQ(address.type(), 8u);
        rows.push_back(row.u32());
        addresses.push_back(address.text());
        key = row.u32();
        ASSERT_LT(key, 10u) << "the walk never ended";
    }
    EXPECT_EQ(rows, (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(addresses, (std::vector<std::string>{std::string("A00000000001\0", 13),
                                                   std::string("A00000000002\0", 13),
                                                   std::string("A00000000003\0", 13)}));

    // Key k under get-next asked for index byte k.
    const auto exchanges = device.exchanges();
    ASSERT_EQ(exchanges.size(), 8u);
    for (size_t i = 0; i < exchanges.size(); ++i) {
        EXPECT_EQ(exchanges[i].requestCode(), 11);
        EXPECT_EQ(exchanges[i].byte(11), i / 2);
        EXPECT_EQ(exchanges[i].word(16), i / 2);
    }
}

TEST_F(ReadGroup5, IndexWrapsAtByteSizeAndIsSignExtended) {
    OnRequest(11, [](Record&) {});  // every entry present; the reply is the request
    struct Case {
        uint32_t key;
        uint32_t mode;
        uint8_t indexByte;
        uint32_t indexWord;
        uint32_t row;
    } cases[] = {
        {1, 0, 0x00, 0x00000000, 1},     {128, 0, 0x7F, 0x0000007F, 128},
        {128, 1, 0x80, 0xFFFFFF80, 129}, {256, 0, 0xFF, 0xFFFFFFFF, 256},
        {255, 1, 0xFF, 0xFFFFFFFF, 256}, {0, 1, 0x00, 0x00000000, 1},
    };
    for (const Case& c : cases) {
        device.ClearExchanges();
        KeyList keys{c.key};
        const auto result = Read(5, 1, keys.get(), c.mode);
        EXPECT_EQ(result.status, 0u) << "row " << c.row;
        EXPECT_EQ(result.u32(), c.row) << "no last row of its own";
        const auto exchanges = device.exchanges();
        ASSERT_EQ(exchanges.size(), 1u);
        EXPECT_EQ(exchanges[0].byte(11), c.indexByte) << "row " << c.row;
        EXPECT_EQ(exchanges[0].word(16), c.indexWord) << "row " << c.row;
    }
}

// Row 0 and the rows past the 256th would alias other entries: they are not asked for.
TEST_F(ReadGroup5, RowsOutsideTheTableAreNotFoundWithoutAsking) {
    OnRequest(11, [](Record&) {});  // every entry present
    struct Case {
        uint32_t key;
        uint32_t mode;
    } cases[] = {{257, 0}, {256, 1}, {0, 0}, {1000, 0}, {0xFFFFFFFE, 0}, {0xFFFFFFFE, 1}};
    for (const Case& c : cases) {
        KeyList keys{c.key};
        for (DmiId attribute = 1; attribute <= 4; ++attribute) {
            const auto result = Read(5, attribute, keys.get(), c.mode);
            EXPECT_EQ(result.status, RowNotFound)
                << "key " << c.key << " mode " << c.mode << " attribute " << attribute;
            EXPECT_EQ(result.type(), 0u);
        }
    }
    EXPECT_TRUE(SentCodes().empty());
}

// Attributes 2 and 3 hold constants, but only for a row the driver has: they ask for the row's
// entry as attribute 1 does, and a failed exchange is a failure, not a constant.
TEST_F(ReadGroup5, ConstantAttributesAnswerOnlyForRowsThatExist) {
    ThreeEntries();
    for (uint32_t mode : {0u, 1u}) {
        for (uint32_t row = 1; row <= 4; ++row) {
            KeyList keys{row - mode};
            const auto two = Read(5, 2, keys.get(), mode);
            const auto three = Read(5, 3, keys.get(), mode);
            if (row == 4) {
                EXPECT_EQ(two.status, RowNotFound);
                EXPECT_EQ(three.status, RowNotFound);
                continue;
            }
            EXPECT_EQ(two.status, 0u);
            EXPECT_EQ(two.type(), 5u);
            EXPECT_EQ(two.u32(), 0u);
            EXPECT_EQ(three.status, 0u);
            EXPECT_EQ(three.type(), 5u);
            EXPECT_EQ(three.u32(), 1u);
        }
    }
    for (const auto& exchange : device.exchanges()) {
        EXPECT_EQ(exchange.requestCode(), 11);
    }
    EXPECT_EQ(device.exchanges().size(), 16u);

    FailRequest(11, {.success = 0});
    KeyList first{1};
    for (DmiId attribute = 1; attribute <= 4; ++attribute) {
        const auto failed = Read(5, attribute, first.get());
        EXPECT_EQ(failed.status, ValueUnknown) << "attribute " << attribute;
        EXPECT_EQ(failed.type(), 0u);
    }
    EXPECT_EQ(Read(5, 5, first.get()).type(), 0u) << "no such attribute";
}

// Group 6 -----------------------------------------------------------------------------------

TEST_F(ReadGroups4To8, Group6DriverNameAndTheVariantSwitch) {
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

TEST_F(ReadGroups4To8, Group6DescriptionsFollowTheVariant) {
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

TEST_F(ReadGroups4To8, Group6VersionConstantsAndTag) {
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

class ReadGroup6FileSize : public ReadFixture {
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
        if (result.status == ValueUnknown) {
            EXPECT_EQ(result.record->id, 5u);
            EXPECT_EQ(result.type(), 0u);
            return std::nullopt;
        }
        EXPECT_EQ(result.status, 0u);
        EXPECT_EQ(result.type(), 5u);
        return result.u32();
    }
};

TEST_F(ReadGroup6FileSize, SizeOfTheVariantsFileWhateverTheCaseOnDisk) {
    const std::string windir = MakeWindowsDirectory(40);
    WriteFile(windir + "/system/korvom4.sys", 1234);
    ScopedEnv env("windir", windir.c_str());
    EXPECT_EQ(FileSize(), 1234u);

    WriteFile(windir + "/system/KORVOM5.sys", 56789);
    serviceState.driverVariant = 1;
    EXPECT_EQ(FileSize(), 56789u);
    EXPECT_TRUE(SentCodes().empty());
}

TEST_F(ReadGroup6FileSize, MissingOrUnopenableFileIsUnknown) {
    const std::string windir = MakeWindowsDirectory(40);
    ScopedEnv env("windir", windir.c_str());
    EXPECT_EQ(FileSize(), std::nullopt) << "missing";
    std::filesystem::create_directory(windir + "/system/KORVOm4.SYS");
    EXPECT_EQ(FileSize(), std::nullopt) << "a directory can't be opened as the file";

    ScopedEnv unset("windir", nullptr);
    EXPECT_EQ(FileSize(), std::nullopt) << "windir not set";
}

TEST_F(ReadGroup6FileSize, PathMustFitItsHundredBytes) {
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

// Group 7 -----------------------------------------------------------------------------------

TEST_F(ReadGroups4To8, Group7ReadsTheDriverWhateverTheKeyAndMode) {
    ReplyValue(57, 0x11111111);
    ReplyValue(14, 0xFFFFFFFF);
    ReplyValue(58, 33);
    OnRequest(56, [](Record& r) {
        PutBytes(r, 4, {1, 0xFE, 2, 3});
        FakeDevice::PutWord(r, 16, 7);
    });
    const std::pair<DmiId, uint32_t> cases[] = {
        {1, 0x11111111}, {2, 0xFFFFFFFF}, {3, 33}, {6, 0xFE}};
    KeyList far{77};
    for (uint32_t mode : {0u, 1u}) {
        for (DmiAttributeValues* keys : {static_cast<DmiAttributeValues*>(nullptr), far.get()}) {
            for (auto [attribute, expected] : cases) {
                const auto result = Read(7, attribute, keys, mode);
                EXPECT_EQ(result.status, 0u);
                EXPECT_EQ(result.type(), 5u);
                EXPECT_EQ(result.u32(), expected) << "attribute " << attribute;
            }
        }
    }
    EXPECT_EQ(SentCodes().size(), 16u);
    EXPECT_EQ(Read(7, 7).type(), 0u);
}

TEST_F(ReadGroups4To8, Group7StateValues) {
    struct Case {
        uint32_t state;
        uint32_t attribute4;
        uint32_t attribute5;
    } cases[] = {{0, 1, 5}, {1, 5, 5}, {2, 2, 4},         {3, 6, 5},
                 {4, 2, 4}, {5, 1, 5}, {0xFFFFFFFF, 1, 5}};
    for (const Case& c : cases) {
        ReplyValue(22, c.state);
        EXPECT_EQ(Read(7, 4).u32(), c.attribute4) << "state " << c.state;
        EXPECT_EQ(Read(7, 5).u32(), c.attribute5) << "state " << c.state;
    }
    EXPECT_EQ(SentCodes(), std::vector<uint16_t>(14, 22));
}

// Group 8 -----------------------------------------------------------------------------------

TEST_F(ReadGroups4To8, Group8ValuesAndCounters) {
    ReplyValue(21, 0xCAFE);
    struct Case {
        DmiId attribute;
        uint32_t value;
        uint32_t type;
    } cases[] = {{1, 0, 5}, {2, 0, 5}, {3, 3, 5}, {4, 4, 5},     {5, 3, 5},
                 {6, 4, 5}, {7, 0, 1}, {8, 0, 1}, {9, 0xCAFE, 1}};
    for (const Case& c : cases) {
        const auto result = Read(8, c.attribute);
        EXPECT_EQ(result.status, 0u);
        EXPECT_EQ(result.type(), c.type) << "attribute " << c.attribute;
        EXPECT_EQ(result.u32(), c.value) << "attribute " << c.attribute;
    }
    EXPECT_EQ(SentCodes(), (std::vector<uint16_t>{21}));
    EXPECT_EQ(Read(8, 10).type(), 0u);
}

// Failed string allocation -------------------------------------------------------------------

TEST_F(ReadGroups4To8, FailedStringKeepsTheIdAndPassesTheStatusOn) {
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

TEST_F(ReadGroup5, FailedStringKeepsTheIdAndPassesTheStatusOn) {
    ThreeEntries();
    dmi.FailAllocation(2);
    const auto result = Read(5, 4);
    EXPECT_EQ(result.status, unsigned(DMIERR_OUT_OF_MEMORY));
    EXPECT_EQ(result.record->id, 4u);
    EXPECT_EQ(result.type(), 0u);
}

}  // namespace
