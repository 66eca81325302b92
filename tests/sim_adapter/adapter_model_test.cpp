// The simulated adapter's model answered directly: every request code's reply fields, writes
// followed by reads, the multicast table's end mark, failover, the fault modes, the log and the
// settings that seed the model.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "adapter_model.h"
#include "control_command.h"
#include "settings_file.h"

namespace korvo::adapter {
namespace {

Record MakeRecord(uint16_t requestCode, uint8_t index = 0, uint32_t value = 0) {
    Record record{};
    PutU16(&record[kCodeOffset], requestCode);
    // Something in every other byte, so that a reply that leaves them alone shows.
    for (size_t i = kCodeOffset + 2; i < record.size(); ++i) {
        record[i] = 0xA5;
    }
    record[kIndexOffset] = index;
    PutU32(&record[kValueOffset], value);
    return record;
}

std::array<uint8_t, 4> WordBytes(uint32_t word) {
    std::array<uint8_t, 4> bytes{};
    PutU32(bytes.data(), word);
    return bytes;
}

Answer Ask(AdapterModel& model, const Record& record, uint32_t controlWord = kRequestControlWord,
           uint32_t controlCode = kQueryGlobalStatsCode) {
    const auto word = WordBytes(controlWord);
    return model.Serve(controlCode, word, record);
}

Answer Ask(AdapterModel& model, uint16_t requestCode, uint8_t index = 0, uint32_t value = 0) {
    return Ask(model, MakeRecord(requestCode, index, value));
}

uint32_t U32(const Answer& answer, size_t offset) {
    if (offset + 4 > answer.output.size()) {
        ADD_FAILURE() << "no 32-bit word at " << offset << " of " << answer.output.size()
                      << " bytes";
        return 0;
    }
    return GetU32(answer.output.data() + offset);
}

uint16_t Status(const Answer& answer) {
    if (answer.output.size() < kStatusOffset + 2) {
        ADD_FAILURE() << "no status in " << answer.output.size() << " bytes";
        return 0;
    }
    return GetU16(answer.output.data() + kStatusOffset);
}

uint64_t Counter(AdapterModel& model, uint16_t requestCode) {
    const Answer answer = Ask(model, requestCode);
    return static_cast<uint64_t>(U32(answer, kHighOffset)) << 32 | U32(answer, kValueOffset);
}

void ExpectAnswered(const Answer& answer, uint16_t requestCode) {
    EXPECT_EQ(answer.action, Action::Reply);
    EXPECT_EQ(answer.success, 1u);
    EXPECT_EQ(answer.bytesReturned, kRecordSize);
    EXPECT_EQ(Status(answer), kStatusOk);
    EXPECT_EQ(GetU16(&answer.output[kCodeOffset]), requestCode);
    EXPECT_EQ(answer.served.outcome, Outcome::Answered);
}

// A failed request: status 0xFFFF and every other byte as it was sent.
void ExpectStatusFailure(const Answer& answer, const Record& sent) {
    EXPECT_EQ(answer.action, Action::Reply);
    EXPECT_EQ(answer.success, 1u);
    EXPECT_EQ(answer.bytesReturned, kRecordSize);
    Record expected = sent;
    expected[2] = expected[3] = 0xFF;
    EXPECT_EQ(std::vector<uint8_t>(expected.begin(), expected.end()), answer.output);
}

TEST(AdapterModel, ProbeAnswersWithTheDriverSignature) {
    AdapterModel model;
    const Answer answer = Ask(model, MakeRecord(0x1234), kProbeControlWord);
    EXPECT_EQ(answer.success, 1u);
    EXPECT_EQ(answer.bytesReturned, kRecordSize);
    EXPECT_EQ(Status(answer), kStatusOk);
    EXPECT_EQ(std::vector<uint8_t>(answer.output.begin() + 4, answer.output.begin() + 8),
              (std::vector<uint8_t>{0x44, 0x4D, 0x49, 0x10}));
}

struct Field {
    size_t offset;
    std::vector<uint8_t> bytes;
};

Field U32Field(size_t offset, uint32_t value) {
    const std::array<uint8_t, 4> bytes = WordBytes(value);
    return {offset, {bytes.begin(), bytes.end()}};
}

struct ReadCase {
    const char* what;
    uint16_t requestCode;
    uint8_t index;
    uint32_t value;
    std::vector<Field> fields;
};

TEST(AdapterModel, EveryReadAnswersFromTheModel) {
    const ReadCase cases[] = {
        {"address of adapter 1", 1, 0, 0, {{4, {0x02, 0x4B, 0x4F, 0x52, 0x56, 0x01}}}},
        {"address of adapter 2", 2, 0, 0, {{4, {0x02, 0x4B, 0x4F, 0x52, 0x56, 0x02}}}},
        {"port counter 3 just below 2^32", 3, 0, 0, {U32Field(16, 0xFFFF8000), U32Field(20, 0)}},
        {"port counter 8 above 2^32", 8, 0, 0, {U32Field(16, 0x23456789), U32Field(20, 1)}},
        {"port counter 10", 10, 0, 0, {U32Field(16, 0), U32Field(20, 0)}},
        {"first multicast entry", 11, 0, 0, {{4, {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}}, {11, {0}}}},
        {"third multicast entry", 11, 2, 2, {{4, {0x33, 0x33, 0x00, 0x00, 0x00, 0x01}}, {11, {2}}}},
        {"version: build, minor, major", 12, 0, 0, {{4, {0x15, 0x01, 0x03}}}},
        {"driver name and its NUL", 13, 0, 0, {{4, {'K', 'O', 'R', 'V', 'O', 'm', '5', 0}}}},
        {"value 14", 14, 0, 0, {U32Field(16, 100)}},
        {"value 21", 21, 0, 0, {U32Field(16, 0)}},
        {"state", 22, 0, 0, {U32Field(16, 2)}},
        {"value 23 with high bits set", 23, 0, 0, {U32Field(16, 0x000105DC)}},
        {"value 24", 24, 0, 0, {U32Field(16, 1)}},
        {"value 25", 25, 0, 0, {U32Field(16, 2)}},
        {"group 13 number, first row", 27, 0, 0, {U32Field(16, 1000), {11, {0}}}},
        {"group 13 number, last row", 27, 124, 124, {U32Field(16, 1124), {11, {124}}}},
        {"group 14 number, last row", 29, 34, 34, {U32Field(16, 0), {11, {34}}}},
        {"group 13 index read", 30, 6, 6, {U32Field(16, 7)}},
        {"group 14 index read", 32, 0, 0, {U32Field(16, 1)}},
        {"stat counter 34 just below 2^32", 34, 0, 0, {U32Field(16, 0xFFF00000), U32Field(20, 0)}},
        {"stat counter 38 above 2^32", 38, 0, 0, {U32Field(16, 0x1388), U32Field(20, 1)}},
        {"stat counter 53", 53, 0, 0, {U32Field(16, 0), U32Field(20, 0)}},
        {"language", 54, 0, 0, {U32Field(16, 1)}},
        {"failover status", 56, 0, 0, {{4, {1, 0}}, {7, {0}}, U32Field(16, 11)}},
        {"value 57", 57, 0, 0, {U32Field(16, 1)}},
        {"value 58", 58, 0, 0, {U32Field(16, 3)}},
        {"location of adapter 1", 60, 0, 0, {{4, {0}}, U32Field(16, 11)}},
        {"location of adapter 2", 60, 0, 1, {{4, {0}}, U32Field(16, 12)}},
        {"value 61", 61, 0, 0, {U32Field(16, 1)}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.what);
        AdapterModel model;
        const Answer answer = Ask(model, c.requestCode, c.index, c.value);
        ExpectAnswered(answer, c.requestCode);
        for (const Field& field : c.fields) {
            EXPECT_EQ(
                std::vector<uint8_t>(answer.output.begin() + field.offset,
                                     answer.output.begin() + field.offset + field.bytes.size()),
                field.bytes)
                << "at offset " << field.offset;
        }
    }
}

TEST(AdapterModel, VariantFourIsTheNdis4Driver) {
    AdapterModel model;
    ASSERT_EQ(model.ApplySetting("variant", "4"), "");
    const Answer name = Ask(model, code::kDriverName);
    EXPECT_STREQ(reinterpret_cast<const char*>(name.output.data() + 4), "KORVOm4");
    const Answer version = Ask(model, code::kDriverVersion);
    EXPECT_EQ(std::vector<uint8_t>(version.output.begin() + 4, version.output.begin() + 7),
              (std::vector<uint8_t>{0x07, 0x10, 0x02}));
}

TEST(AdapterModel, CountersGrowWithTrafficAndCross2To32) {
    AdapterModel model;
    std::vector<uint16_t> counters;
    for (uint16_t c = code::kFirstPortCounter; c <= code::kLastPortCounter; ++c) {
        counters.push_back(c);
    }
    for (uint16_t c = code::kFirstStatCounter; c <= code::kLastStatCounter; ++c) {
        counters.push_back(c);
    }
    std::vector<uint64_t> before;
    for (uint16_t c : counters) {
        before.push_back(Counter(model, c));
    }
    model.AdvanceTrafficTo(100);  // ten seconds of the server's clock
    size_t grown = 0;
    for (size_t i = 0; i < counters.size(); ++i) {
        const uint64_t after = Counter(model, counters[i]);
        EXPECT_GE(after, before[i]) << "counter " << counters[i];
        grown += after > before[i];
    }
    EXPECT_GE(grown, 10u);
    // Below 2^32 at start, above it after ten seconds: the high half carries.
    for (uint16_t c : {3, 4, 34, 35, 36, 37, 47}) {
        EXPECT_LT(before[c < 34 ? c - 3 : c - 34 + 8], 1ull << 32) << "counter " << c;
        EXPECT_GE(Counter(model, c), 1ull << 32) << "counter " << c;
    }
    // Time does not run backwards.
    const uint64_t now = Counter(model, 34);
    model.AdvanceTrafficTo(50);
    EXPECT_EQ(Counter(model, 34), now);
    model.AdvanceTrafficTo(101);
    EXPECT_EQ(Counter(model, 34), now + 150000);
}

TEST(AdapterModel, MulticastTableEndsAtAnEntryMarked0x55) {
    AdapterModel model;
    std::vector<std::string> walked;
    for (unsigned index = 0; index < 256; ++index) {
        const Answer answer = Ask(model, code::kMulticastEntry, static_cast<uint8_t>(index),
                                  static_cast<uint32_t>(static_cast<int8_t>(index)));
        ExpectAnswered(answer, code::kMulticastEntry);  // the end is a mark, not a failure
        if (answer.output[kIndexOffset] == kNoSuchEntry) {
            break;
        }
        MacAddress address;
        std::copy(answer.output.begin() + 4, answer.output.begin() + 10, address.begin());
        walked.push_back(FormatMacAddress(address));
    }
    EXPECT_EQ(walked, (std::vector<std::string>{"01005E000001", "01005E7FFFFA", "333300000001"}));
    EXPECT_EQ(Ask(model, code::kMulticastEntry, 0xFF, 0xFFFFFFFF).output[kIndexOffset],
              kNoSuchEntry);

    ASSERT_EQ(model.ApplySetting("multicast", ""), "");
    EXPECT_EQ(Ask(model, code::kMulticastEntry, 0).output[kIndexOffset], kNoSuchEntry);
}

TEST(AdapterModel, WritesChangeWhatLaterReadsReturn) {
    AdapterModel model;
    // 33 writes the group 14 number that 29 reads.
    ExpectAnswered(Ask(model, code::kTable35ValueWrite, 4, 77), code::kTable35ValueWrite);
    EXPECT_EQ(U32(Ask(model, code::kTable35Value, 4, 4), kValueOffset), 77u);
    EXPECT_EQ(U32(Ask(model, code::kTable35Value, 3, 3), kValueOffset), 0u);

    // 30 and 32 store the index attribute's value; their read form reports it unchanged.
    EXPECT_EQ(U32(Ask(model, code::kTable125Index, 5, 500), kValueOffset), 500u);
    EXPECT_EQ(U32(Ask(model, code::kTable125Index, 5, 5), kValueOffset), 500u);
    EXPECT_EQ(U32(Ask(model, code::kTable125Index, 4, 4), kValueOffset), 5u);
    EXPECT_EQ(U32(Ask(model, code::kTable35Index, 34, 9), kValueOffset), 9u);
    EXPECT_EQ(U32(Ask(model, code::kTable35Index, 34, 34), kValueOffset), 9u);
    // The write went to its own table and row only.
    EXPECT_EQ(U32(Ask(model, code::kTable125Value, 5, 5), kValueOffset), 1005u);
    EXPECT_EQ(U32(Ask(model, code::kTable35Value, 34, 34), kValueOffset), 0u);
}

TEST(AdapterModel, RowsOutsideATableFailAndChangeNothing) {
    const struct {
        uint16_t requestCode;
        uint8_t index;
        uint32_t value;
    } cases[] = {
        {code::kTable125Value, 125, 125},
        {code::kTable125Value, 255, 0xFFFFFFFF},
        {code::kTable125Index, 125, 7},
        {code::kTable35Value, 35, 35},
        {code::kTable35Index, 35, 7},
        {code::kTable35ValueWrite, 35, 7},
        {code::kTable35ValueWrite, 255, 7},
        {code::kAdapterLocation, 0, 2},
        {code::kAdapterLocation, 0xFF, 0xFFFFFFFF},
    };
    AdapterModel model;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.requestCode << " row " << int{c.index});
        const Record sent = MakeRecord(c.requestCode, c.index, c.value);
        const Answer answer = Ask(model, sent);
        ExpectStatusFailure(answer, sent);
        EXPECT_EQ(answer.served.outcome, Outcome::NoSuchRow);
    }
    for (uint8_t row = 0; row < kTable35Rows; ++row) {
        EXPECT_EQ(U32(Ask(model, code::kTable35Value, row, row), kValueOffset), 0u);
    }
}

TEST(AdapterModel, FailoverMovesTheActiveAdapterAndCountsChanges) {
    AdapterModel model;
    ASSERT_EQ(model.ApplySetting("adapter2.bus", "3"), "");
    ASSERT_EQ(model.ApplySetting("adapter2.device", "0x1F"), "");

    ASSERT_TRUE(model.FailOver(2));
    Answer status = Ask(model, code::kFailoverStatus);
    EXPECT_EQ(status.output[4], 2);
    EXPECT_EQ(status.output[5], 1);  // failovers so far
    EXPECT_EQ(status.output[7], 3);
    EXPECT_EQ(U32(status, kValueOffset), 0x1Fu);

    ASSERT_TRUE(model.FailOver(2));  // already active: no failover
    EXPECT_EQ(Ask(model, code::kFailoverStatus).output[5], 1);
    ASSERT_TRUE(model.FailOver(1));
    status = Ask(model, code::kFailoverStatus);
    EXPECT_EQ(status.output[4], 1);
    EXPECT_EQ(status.output[5], 2);
    EXPECT_EQ(U32(status, kValueOffset), 11u);

    EXPECT_FALSE(model.FailOver(0));
    EXPECT_FALSE(model.FailOver(3));
    EXPECT_EQ(model.ActiveAdapter(), 1);
}

TEST(AdapterModel, UnknownRequestsFailWithStatus0xFFFF) {
    const struct {
        const char* what;
        uint16_t requestCode;
        uint32_t controlWord;
        uint32_t controlCode;
    } cases[] = {
        {"code 0", 0, kRequestControlWord, kQueryGlobalStatsCode},
        {"code 15", 15, kRequestControlWord, kQueryGlobalStatsCode},
        {"code 26", 26, kRequestControlWord, kQueryGlobalStatsCode},
        {"code 31", 31, kRequestControlWord, kQueryGlobalStatsCode},
        {"code 55", 55, kRequestControlWord, kQueryGlobalStatsCode},
        {"code 59", 59, kRequestControlWord, kQueryGlobalStatsCode},
        {"code 62", 62, kRequestControlWord, kQueryGlobalStatsCode},
        {"code 65535", 65535, kRequestControlWord, kQueryGlobalStatsCode},
        {"unknown control word", 22, 0xFF010201, kQueryGlobalStatsCode},
        {"probe word, other control code", 22, kProbeControlWord, 0x00170006},
        {"request word, other control code", 22, kRequestControlWord, 0x00220000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        AdapterModel model;
        const Record sent = MakeRecord(c.requestCode, 3, 3);
        const Answer answer = Ask(model, sent, c.controlWord, c.controlCode);
        ExpectStatusFailure(answer, sent);
        EXPECT_EQ(answer.served.outcome, Outcome::UnknownRequest);
    }
}

// A request code added to the catalogue is one the simulator answers and the command line can
// make fail; a code outside it is neither.
TEST(AdapterModel, EveryCodeOfTheCatalogueIsAnsweredAndCanBeMadeToFail) {
    AdapterModel model;
    for (const RequestCodes& row : kRequestCatalogue) {
        for (uint32_t requestCode = row.first; requestCode <= row.last; ++requestCode) {
            SCOPED_TRACE(std::string(row.name) + ", code " + std::to_string(requestCode));
            EXPECT_EQ(Ask(model, static_cast<uint16_t>(requestCode)).served.outcome,
                      Outcome::Answered);
            EXPECT_EQ(ParseFaultTarget(std::to_string(requestCode)),
                      std::optional<int>(static_cast<int>(requestCode)));
        }
    }
    for (const char* outside : {"0", "15", "55", "62", "65535", "65536"}) {
        EXPECT_EQ(ParseFaultTarget(outside), std::nullopt) << outside;
    }
}

TEST(AdapterModel, BuffersOfTheWrongSizeFailTheCall) {
    const std::pair<size_t, size_t> lengths[] = {{0, 24}, {3, 24}, {5, 24},
                                                 {4, 0},  {4, 23}, {4, 25}};
    AdapterModel model;
    for (const auto& [inputLength, outputLength] : lengths) {
        SCOPED_TRACE(testing::Message() << inputLength << " in, " << outputLength << " out");
        const std::vector<uint8_t> input(inputLength, 0xFF);
        const std::vector<uint8_t> output(outputLength, 0x16);
        const Answer answer = model.Serve(kQueryGlobalStatsCode, input, output);
        EXPECT_EQ(answer.action, Action::Reply);
        EXPECT_EQ(answer.success, 0u);
        EXPECT_EQ(answer.bytesReturned, 0u);
        EXPECT_EQ(answer.output, output);
        EXPECT_EQ(answer.served.outcome, Outcome::BadLengths);
    }
}

TEST(AdapterModel, EachFaultModeFailsItsWay) {
    const struct {
        FaultMode mode;
        Action action;
        uint32_t success;
        uint32_t bytesReturned;
        bool statusFailed;  // else the buffer comes back as sent
        Outcome outcome;
    } cases[] = {
        {FaultMode::Status, Action::Reply, 1, 24, true, Outcome::FaultStatus},
        {FaultMode::Call, Action::Reply, 0, 0, false, Outcome::FaultCall},
        {FaultMode::Empty, Action::Reply, 1, 0, false, Outcome::FaultEmpty},
        {FaultMode::Silent, Action::NoReply, 1, 0, false, Outcome::FaultSilent},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(FaultModeName(c.mode));
        AdapterModel model;
        model.SetFault(code::kTable35ValueWrite, c.mode);
        const Record sent = MakeRecord(code::kTable35ValueWrite, 0, 5);
        const Answer answer = Ask(model, sent);
        EXPECT_EQ(answer.action, c.action);
        EXPECT_EQ(answer.served.outcome, c.outcome);
        if (c.action == Action::Reply) {
            EXPECT_EQ(answer.success, c.success);
            EXPECT_EQ(answer.bytesReturned, c.bytesReturned);
            if (c.statusFailed) {
                ExpectStatusFailure(answer, sent);
            } else {
                EXPECT_EQ(answer.output, std::vector<uint8_t>(sent.begin(), sent.end()));
            }
        }
        // A failed write changes nothing; other codes are not affected.
        ExpectAnswered(Ask(model, code::kTable35Value, 0, 0), code::kTable35Value);
        EXPECT_EQ(U32(Ask(model, code::kTable35Value, 0, 0), kValueOffset), 0u);
    }
}

TEST(AdapterModel, FaultsApplyToTheirTargetsAndHeal) {
    AdapterModel model;
    auto outcomeOf = [&model](uint16_t requestCode, uint32_t word = kRequestControlWord) {
        return Ask(model, MakeRecord(requestCode), word).served.outcome;
    };

    model.SetFault(kFaultProbe, FaultMode::Call);
    EXPECT_EQ(outcomeOf(0, kProbeControlWord), Outcome::FaultCall);
    EXPECT_EQ(outcomeOf(code::kState), Outcome::Answered);

    model.SetFault(kFaultAll, FaultMode::Status);  // replaces every fault set before
    EXPECT_EQ(outcomeOf(0, kProbeControlWord), Outcome::FaultStatus);
    EXPECT_EQ(outcomeOf(code::kState), Outcome::FaultStatus);
    EXPECT_EQ(outcomeOf(code::kState, 0x12345678), Outcome::FaultStatus);

    model.SetFault(code::kState, FaultMode::Healthy);  // exempt from `all`
    model.SetFault(code::kFailoverStatus, FaultMode::Silent);
    EXPECT_EQ(outcomeOf(code::kState), Outcome::Answered);
    EXPECT_EQ(outcomeOf(code::kFailoverStatus), Outcome::FaultSilent);
    EXPECT_EQ(outcomeOf(code::kLanguage), Outcome::FaultStatus);

    model.SetFault(kFaultAll, FaultMode::Healthy);
    for (uint16_t requestCode : {code::kState, code::kFailoverStatus, code::kLanguage}) {
        EXPECT_EQ(outcomeOf(requestCode), Outcome::Answered);
    }
    EXPECT_EQ(outcomeOf(0, kProbeControlWord), Outcome::Answered);
}

TEST(AdapterModel, WhileStoppedEveryRequestClosesItsConnection) {
    AdapterModel model;
    model.SetAnswering(false);
    EXPECT_EQ(Ask(model, MakeRecord(0), kProbeControlWord).action, Action::Close);
    const Answer answer = Ask(model, code::kState);
    EXPECT_EQ(answer.action, Action::Close);
    EXPECT_EQ(answer.served.outcome, Outcome::NotAnswering);
    model.SetAnswering(true);
    ExpectAnswered(Ask(model, code::kState), code::kState);
}

TEST(AdapterModel, LogKeepsTheLastRequestsServed) {
    AdapterModel model;
    Ask(model, code::kState);
    Ask(model, code::kTable125Index, 5, 500);
    Ask(model, 99);
    const auto recent = model.RecentRequests(2);
    ASSERT_EQ(recent.size(), 2u);
    EXPECT_EQ(recent[0].sequence, 2u);
    EXPECT_EQ(recent[0].requestCode, code::kTable125Index);
    EXPECT_EQ(recent[0].controlWord, kRequestControlWord);
    EXPECT_EQ(recent[0].indexByte, 5);
    EXPECT_EQ(recent[0].value, 500u);
    EXPECT_EQ(FormatServedRequest(recent[0]),
              "#2 code 30 word 0xFF010200 index 0x05 value 0x000001F4 -> ok");
    EXPECT_EQ(recent[1].outcome, Outcome::UnknownRequest);

    for (size_t i = 0; i < AdapterModel::kLogCapacity; ++i) {
        Ask(model, code::kState);
    }
    const auto all = model.RecentRequests(AdapterModel::kLogCapacity + 10);
    ASSERT_EQ(all.size(), AdapterModel::kLogCapacity);
    EXPECT_EQ(all.front().sequence, 4u);
    EXPECT_EQ(all.back().sequence, AdapterModel::kLogCapacity + 3);
}

TEST(AdapterSettings, GoodSettingsShowInTheReplies) {
    AdapterModel model;
    const std::pair<const char*, const char*> settings[] = {
        {"adapter1.address", "00-11-22-33-44-55"},
        {"state", "4"},
        {"language", "3"},
        {"driver.name", "KORVOx9"},
        {"driver.version", "0A.0b.FF"},
        {"value.61", "0x10"},
        {"counter.53", "4294967295"},
        {"multicast", " 010203040506 ,0A:0B:0C:0D:0E:0F"},
    };
    for (const auto& [key, value] : settings) {
        EXPECT_EQ(model.ApplySetting(key, value), "") << key;
    }
    EXPECT_EQ(Ask(model, 1).output[4], 0x00);
    EXPECT_EQ(Ask(model, 1).output[9], 0x55);
    EXPECT_EQ(U32(Ask(model, code::kState), kValueOffset), 4u);
    EXPECT_EQ(U32(Ask(model, code::kLanguage), kValueOffset), 3u);
    EXPECT_STREQ(reinterpret_cast<const char*>(Ask(model, 13).output.data() + 4), "KORVOx9");
    const Answer version = Ask(model, code::kDriverVersion);
    EXPECT_EQ(std::vector<uint8_t>(version.output.begin() + 4, version.output.begin() + 7),
              (std::vector<uint8_t>{0xFF, 0x0B, 0x0A}));
    EXPECT_EQ(U32(Ask(model, 61), kValueOffset), 16u);
    EXPECT_EQ(Counter(model, 53), 0xFFFFFFFFull);
    EXPECT_EQ(Ask(model, code::kMulticastEntry, 1).output[9], 0x0F);
    EXPECT_EQ(Ask(model, code::kMulticastEntry, 2).output[kIndexOffset], kNoSuchEntry);
}

// A refusal says what the value must be in the words --help uses for the key.
TEST(AdapterSettings, BadSettingsAreRefusedWithAReason) {
    const struct {
        const char* key;
        const char* value;
        const char* reason;
    } settings[] = {
        {"variant", "6", "variant must be 4 (NDIS 4.0 driver) or 5 (NDIS 5.0 driver), not '6'"},
        {"active", "0", "active must be 1 or 2"},
        {"state", "5", "state must be a number from 1 to 4"},
        {"language", "0", "language must be a number from 1 to 5"},
        {"language", "two", "language must be a number from 1 to 5"},
        {"driver.name", "", "driver.name must be 1 to 19 printable characters"},
        // 20 characters: no room for the NUL
        {"driver.name", "ABCDEFGHIJKLMNOPQRST", "driver.name must be 1 to 19 printable"},
        {"driver.version", "3.1.15", "driver.version must be major.minor.build"},
        {"driver.version", "03.01", "driver.version must be major.minor.build"},
        {"driver.version", "03.01.15.00", "driver.version must be major.minor.build"},
        {"adapter1.address", "02:4B:4F:52:56", "adapter1.address must be a 6-byte address"},
        {"adapter2.address", "02:4B:4F:52:56:GG", "adapter2.address must be a 6-byte address"},
        {"adapter1.bus", "256", "adapter1.bus must be a number from 0 to 255, not '256'"},
        {"adapter3.bus", "1", "adapterN.bus exists for adapters 1 and 2, not for 'adapter3.bus'"},
        {"multicast", "01:00:5E:00:00:01,nonsense", "multicast: 'nonsense' is not a 6-byte"},
        {"value.22", "1", "value.N exists for the request codes 14, 21, 23, 24, 25, 57, 58"},
        {"value.14", "-1", "value.14 must be a 32-bit unsigned number"},
        {"counter.11", "1", "counter.N exists for the request codes 3 to 10 and 34 to 53"},
        {"counter.3", "18446744073709551616", "counter.3 must be a 64-bit unsigned number"},
        {"colour", "blue", "unknown setting 'colour' (known: variant, active, state, language"},
    };
    const std::string help = AdapterModel::SettingsHelp("");
    for (const auto& [key, value, reason] : settings) {
        AdapterModel model;
        const std::string refusal = model.ApplySetting(key, value);
        EXPECT_EQ(refusal.rfind(reason, 0), 0u) << refusal;
        if (const size_t must = refusal.find(" must be "); must != std::string::npos) {
            const std::string described =
                refusal.substr(must + 9, refusal.rfind(", not '") - must - 9);
            EXPECT_NE(help.find(described), std::string::npos) << described;
        }
    }
    std::string many;
    for (size_t i = 0; i <= kMaxMulticastEntries; ++i) {
        many += "01:00:5E:00:00:01,";
    }
    AdapterModel model;
    EXPECT_EQ(model.ApplySetting("multicast", many),
              "multicast holds at most 32 addresses, not 33");
}

class SettingsFile : public testing::Test {
  protected:
    void TearDown() override { std::filesystem::remove(path_); }

    std::string Write(const std::string& text) {
        std::ofstream(path_) << text;
        return path_;
    }

    std::string path_ = testing::TempDir() + "korvo-adapter-settings.conf";
};

TEST_F(SettingsFile, VariantComesFirstAndFlagsComeLast) {
    std::vector<Setting> settings;
    ASSERT_EQ(ReadSettingsFile(Write("# start values\n"
                                     "driver.name = CUSTOM\n"
                                     "\n"
                                     "variant=4\n"
                                     "active = 2\n"),
                               settings),
              "");
    settings.push_back({"--active", "active", "1"});
    AdapterModel model;
    ASSERT_EQ(ApplySettings(model, settings), "");
    EXPECT_STREQ(reinterpret_cast<const char*>(Ask(model, 13).output.data() + 4), "CUSTOM");
    EXPECT_EQ(Ask(model, code::kDriverVersion).output[6], 0x02);  // the variant's version
    EXPECT_EQ(model.ActiveAdapter(), 1);
    EXPECT_EQ(Ask(model, code::kFailoverStatus).output[5], 0);  // a start value, no failover
}

TEST(SettingsFileExample, HoldsTheDefaultsAndLoads) {
    std::vector<Setting> settings;
    ASSERT_EQ(ReadSettingsFile(KORVO_ADAPTER_EXAMPLE_CONF, settings), "");
    AdapterModel fromFile;
    ASSERT_EQ(ApplySettings(fromFile, settings), "");
    EXPECT_EQ(fromFile.DescribeStatus(), AdapterModel().DescribeStatus());
}

TEST_F(SettingsFile, ErrorsNameTheFileAndLine) {
    std::vector<Setting> settings;
    EXPECT_EQ(ReadSettingsFile(Write("state=2\nlanguage\n"), settings),
              path_ + ":2: expected KEY=VALUE, found 'language'");

    settings.clear();
    ASSERT_EQ(ReadSettingsFile(Write("state=2\n\nstate=9\n"), settings), "");
    AdapterModel model;
    EXPECT_EQ(ApplySettings(model, settings).rfind(path_ + ":3: state must be", 0), 0u);

    EXPECT_NE(ReadSettingsFile(path_ + ".missing", settings), "");
}

TEST(ControlCommand, ParsesWhatTheCommandLineSends) {
    const std::pair<std::vector<std::string>, std::string> valid[] = {
        {{"failover", "2"}, "failover 2"},
        {{"fail", "56", "silent"}, "fail 56 silent"},
        {{"fail", "0x38", "status"}, "fail 56 status"},
        {{"fail", "probe", "call"}, "fail probe call"},
        {{"fail", "all", "empty"}, "fail all empty"},
        {{"heal", "all"}, "heal all"},
        {{"heal", "0x3C"}, "heal 60"},
        {{"stop"}, "stop"},
        {{"start"}, "start"},
        {{"log"}, "log 20"},
        {{"log", "5"}, "log 5"},
        {{"status"}, "status"},
        {{"set", "multicast=01:00:5E:00:00:01,", "01:00:5E:00:00:02"},
         "set multicast=01:00:5E:00:00:01, 01:00:5E:00:00:02"},
        {{"quit"}, "quit"},
    };
    for (const auto& [words, line] : valid) {
        std::string error;
        const auto command = ParseControlCommand(words, error);
        ASSERT_TRUE(command) << line << ": " << error;
        EXPECT_EQ(FormatControlCommand(*command), line);
    }
    const std::vector<std::string> invalid[] = {
        {},
        {"failover"},
        {"failover", "3"},
        {"failover", "1", "2"},
        {"fail", "56"},
        {"fail", "56", "sometimes"},
        {"fail", "65536", "status"},
        {"fail", "999", "status"},  // no request uses it
        {"fail", "everything", "status"},
        {"heal"},
        {"log", "0"},
        {"log", "many"},
        {"set", "state"},
        {"status", "now"},
        {"reboot"},
    };
    for (const auto& words : invalid) {
        std::string error;
        EXPECT_FALSE(ParseControlCommand(words, error));
        EXPECT_NE(error, "");
    }
}

}  // namespace
}  // namespace korvo::adapter
