// What a user meets when the adapter fails: reads whose driver does not answer say "value
// unknown" through the console (exit 1, the status by name, per value in a walk) while values
// that need no driver still answer; writes to rows the tables do not have, of values of the
// wrong type, or that the driver refuses, say why and send nothing the driver would misread;
// Verify says whether the driver answers.
#include <string>
#include <vector>

#include "dmi/dmi.h"
#include "machine.h"

namespace korvo::e2e {
namespace {

using EndToEndFailures = MachineTest;

constexpr int kValueUnknown = DMIERR_VALUE_UNKNOWN;
constexpr int kRowNotFound = DMIERR_ROW_NOT_FOUND;
constexpr int kValueExceedsMaxSize = DMIERR_VALUE_EXCEEDS_MAXSIZE;

// The adapter's request log lines that are writes (codes 30, 32, 33).
std::vector<std::string> WriteLines(Machine& machine) {
    const RunResult log = machine.AdapterCommand({"log", "-n", "1000"});
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < log.out.size()) {
        size_t end = log.out.find('\n', start);
        end = end == std::string::npos ? log.out.size() : end;
        const std::string line = log.out.substr(start, end - start);
        for (const char* code : {"code 30 ", "code 32 ", "code 33 "}) {
            if (line.find(code) != std::string::npos) {
                lines.push_back(line);
            }
        }
        start = end + 1;
    }
    return lines;
}

TEST_F(EndToEndFailures, ReadsOfAnAdapterThatDoesNotAnswerAreUnknown) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    struct Fault {
        const char* name;
        std::vector<std::string> fail, heal;
    } faults[] = {
        {"stopped", {"stop"}, {"start"}},
        {"status 0xFFFF", {"fail", "all", "status"}, {"heal", "all"}},
        {"device call fails", {"fail", "all", "call"}, {"heal", "all"}},
        {"no bytes returned", {"fail", "all", "empty"}, {"heal", "all"}},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        ASSERT_EQ(machine_.AdapterCommand(fault.fail).exitCode, 0);

        const RunResult address = machine_.Console({"get", "1", "4", "2"});
        EXPECT_EQ(address.exitCode, 1) << address.out;
        EXPECT_NE(address.out.find("value unknown"), std::string::npos) << address.out;

        RunResult run;
        const Json counter = machine_.ConsoleReading({"get", "1", "4", "6"}, &run);
        EXPECT_EQ(run.exitCode, 1) << run.out;
        EXPECT_EQ(counter["status"], kValueUnknown) << counter.dump(2);
        EXPECT_EQ(counter["statusName"], "value unknown");
        EXPECT_FALSE(counter.contains("value")) << counter.dump(2);

        // A walk shows the status per value, beside the values that need no driver.
        const Json walk = machine_.ConsoleJson({"walk", "1", "7"}, &run);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        ASSERT_EQ(walk["groups"].size(), 1u) << walk.dump(2);
        for (const Json& attribute : walk["groups"][0]["attributes"]) {
            EXPECT_EQ(attribute["status"], kValueUnknown) << attribute.dump();
        }
        const RunResult walkText = machine_.Console({"walk", "1", "7"});
        EXPECT_NE(walkText.out.find("every attribute answers value unknown (0x10F)"),
                  std::string::npos)
            << walkText.out;
        const Json constant = machine_.ConsoleReading({"get", "1", "8", "3"});
        EXPECT_EQ(constant["status"], 0) << constant.dump(2);
        EXPECT_EQ(constant["value"]["integer"], 3);

        ASSERT_EQ(machine_.AdapterCommand(fault.heal).exitCode, 0);
        const Json healed = machine_.ConsoleReading({"get", "1", "4", "2"}, &run);
        EXPECT_EQ(run.exitCode, 0) << run.out;
        EXPECT_EQ(healed["value"]["text"], "024B4F525601") << healed.dump(2);
    }
}

// Verify (group 1 attribute 6) asks the driver probe on every read: 7 "functioning correctly"
// while the adapter answers it, 6 "not functioning correctly" while it does not.
TEST_F(EndToEndFailures, VerifySaysWhetherTheDriverAnswersTheProbe) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    const auto verify = [&] {
        RunResult run;
        const Json answer = machine_.ConsoleReading({"get", "1", "1", "6"}, &run);
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        return answer.value("value", Json::object()).value("integer", -1);
    };
    EXPECT_EQ(verify(), 7);
    struct Fault {
        const char* name;
        std::vector<std::string> fail, heal;
    } faults[] = {
        {"stopped", {"stop"}, {"start"}},
        {"probe fails", {"fail", "probe", "status"}, {"heal", "all"}},
        {"every call fails", {"fail", "all", "call"}, {"heal", "all"}},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        ASSERT_EQ(machine_.AdapterCommand(fault.fail).exitCode, 0);
        EXPECT_EQ(verify(), 6);
        ASSERT_EQ(machine_.AdapterCommand(fault.heal).exitCode, 0);
        EXPECT_EQ(verify(), 7);
    }
}

// A driver that never answers is given up on after the exchange's deadline: the read is
// unknown, not a counter of 0.
TEST_F(EndToEndFailures, ADriverThatNeverAnswersIsUnknownNotZero) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    ASSERT_EQ(machine_.AdapterCommand({"fail", "all", "silent"}).exitCode, 0);
    const RunResult counter = machine_.Console({"get", "1", "4", "6"});
    EXPECT_EQ(counter.exitCode, 1) << counter.out;
    EXPECT_NE(counter.out.find("status: value unknown"), std::string::npos) << counter.out;
}

// A row whose key cannot be read is not the end of the table: get-next says the read
// failed, with the key's status, and exits 1; the real end still reads as the end.
TEST_F(EndToEndFailures, AGetNextWhoseKeyCannotBeReadIsAFailureNotTheEnd) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    const std::vector<std::string> next = {"get-next", "1", "13", "2", "5"};
    for (const char* mode : {"status", "silent"}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(machine_.AdapterCommand({"fail", "30", mode}).exitCode, 0);
        RunResult run;
        const Json failed = machine_.ConsoleReading(next, &run);
        EXPECT_EQ(run.exitCode, 1) << run.out;
        EXPECT_EQ(failed["end"]["reason"], "read failed") << failed.dump(2);
        EXPECT_EQ(failed["end"]["status"], kValueUnknown) << failed.dump(2);
        EXPECT_FALSE(failed.contains("instance")) << failed.dump(2);
        const RunResult text = machine_.Console(next);
        EXPECT_EQ(text.exitCode, 1);
        EXPECT_NE(text.out.find("could not be read: value unknown"), std::string::npos) << text.out;
        EXPECT_EQ(text.out.find("end of the table"), std::string::npos) << text.out;
        ASSERT_EQ(machine_.AdapterCommand({"heal", "30"}).exitCode, 0);
    }
    RunResult run;
    const Json healed = machine_.ConsoleReading(next, &run);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(healed["instance"]["keys"][0]["integer"], 6) << healed.dump(2);
    const Json end = machine_.ConsoleReading({"get-next", "1", "13", "2", "125"}, &run);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(end["end"]["reason"], "end of table") << end.dump(2);
}

TEST_F(EndToEndFailures, RefusedWritesSayWhyAndSendNothing) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    struct Refused {
        std::vector<std::string> args;
        int status;
        const char* statusName;
    } refused[] = {
        {{"set", "1", "14", "2", "--key", "99", "--type", "integer", "5"},
         kRowNotFound,
         "row not found"},
        {{"set", "1", "13", "1", "--key", "257", "5"}, kRowNotFound, "row not found"},
        {{"set", "1", "13", "1", "--key", "0", "5"}, kRowNotFound, "row not found"},
        {{"set", "1", "13", "1", "--key", "3", "--type", "displaystring", "hello"},
         kValueExceedsMaxSize,
         "value exceeds maximum size"},
    };
    for (const Refused& write : refused) {
        SCOPED_TRACE(write.args[2] + "." + write.args[3] + " " + write.args.back());
        const RunResult text = machine_.Console(write.args);
        EXPECT_EQ(text.exitCode, 1) << text.out << text.err;
        EXPECT_NE((text.out + text.err).find(write.statusName), std::string::npos)
            << text.out << text.err;
        RunResult run;
        const Json set = machine_.ConsoleJson(write.args, &run);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(set["status"], write.status) << set.dump(2);
        EXPECT_EQ(set["statusName"], write.statusName) << set.dump(2);
    }
    EXPECT_EQ(WriteLines(machine_), std::vector<std::string>{}) << "a refused write was sent";

    // A write the driver refuses is not reported as done.
    const std::vector<std::string> rowValue = {"set", "1",      "14",      "2", "--key",
                                               "3",   "--type", "integer", "5"};
    ASSERT_EQ(machine_.AdapterCommand({"fail", "33", "status"}).exitCode, 0);
    RunResult run;
    const Json failed = machine_.ConsoleJson(rowValue, &run);
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_EQ(failed["status"], kValueUnknown) << failed.dump(2);
    ASSERT_EQ(machine_.AdapterCommand({"heal", "33"}).exitCode, 0);
    const Json done = machine_.ConsoleJson(rowValue, &run);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(done["status"], 0) << done.dump(2);
    EXPECT_EQ(WriteLines(machine_).size(), 2u);
}

}  // namespace
}  // namespace korvo::e2e
