// The component over SNMP on a whole machine: a private snmpd as the AgentX master on a
// loopback port, snmptrapd as the notification receiver, dmi-snmp between snmpd and the
// service provider, the agent and the simulated adapter; driven by Net-SNMP's own tools.
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "machine.h"

namespace korvo::e2e {
namespace {

constexpr const char* kSnmpd = "/usr/sbin/snmpd";
constexpr const char* kSnmptrapd = "/usr/sbin/snmptrapd";
constexpr const char* kTools = "/usr/bin/";
constexpr const char* kSubtree = "1.3.6.1.4.1.32473.1.1";
constexpr const char* kModule = "KORVO-ETHERNET-ADAPTER-MIB";
// How long snmpd waits for dmi-snmp, and dmi-snmp's budget for an answer: three times the
// default, so that a walk under a sanitizer on a loaded machine answers in time, and still
// within the 5 s the tools wait.
constexpr int kAgentxTimeoutSeconds = 3;

std::string Oid(const std::string& tail) {
    return std::string(kSubtree) + "." + tail;
}

// A loopback UDP port nothing uses now.
int FreeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

class EndToEndSnmp : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        for (const char* program : {kSnmpd, kSnmptrapd, "/usr/bin/snmpget"}) {
            if (access(program, X_OK) != 0) {
                GTEST_SKIP() << program << " is not installed (scripts/install-deps installs it)";
            }
        }
        snmp_ = machine_.root() + "/snmp";
        std::filesystem::create_directories(snmp_ + "/conf");
        std::filesystem::create_directories(snmp_ + "/persist");
        agentx_ = snmp_ + "/agentx.sock";
        port_ = FreeUdpPort();
        trapPort_ = FreeUdpPort();
        ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
        ASSERT_NO_FATAL_FAILURE(StartTrapReceiver());
        ASSERT_NO_FATAL_FAILURE(StartMaster());
        subagent_ = machine_.Start(KORVO_SNMP_BINARY,
                                   {"--agentx", agentx_, "--ping", "1", "--refresh", "1",
                                    "--agentx-timeout", std::to_string(kAgentxTimeoutSeconds)});
        ASSERT_GT(subagent_, 0) << machine_.error();
        ASSERT_TRUE(WaitForSubtree()) << machine_.ErrorOutput(subagent_);
    }

    void TearDown() override {
        MachineTest::TearDown();
        if (HasFailure() && subagent_ > 0) {
            std::cerr << "--- dmi-snmp's standard error:\n" << machine_.ErrorOutput(subagent_);
        }
    }

    // Nothing from /etc/snmp or /var/lib/snmp: a private configuration path, persistent
    // directory and MIB list for every Net-SNMP program the test runs.
    Environment SnmpEnvironment() const {
        return {{"SNMPCONFPATH", snmp_ + "/conf"},
                {"SNMP_PERSISTENT_DIR", snmp_ + "/persist"},
                {"MIBS", ""},
                {"MIBDIRS", snmp_ + "/conf"}};
    }

    void StartMaster() {
        WriteText(snmp_ + "/snmpd.conf",
                  "agentAddress udp:127.0.0.1:" + std::to_string(port_) +
                      "\nrocommunity public 127.0.0.1\n"
                      "rwcommunity private 127.0.0.1\n"
                      "master agentx\nagentXTimeout " +
                      std::to_string(kAgentxTimeoutSeconds) + "\nagentXSocket " + agentx_ +
                      "\ntrap2sink 127.0.0.1:" + std::to_string(trapPort_) + " public\n");
        master_ = machine_.Start(kSnmpd,
                                 {"-f", "-Lo", "-C", "-c", snmp_ + "/snmpd.conf", "-I", "-smux",
                                  "-p", snmp_ + "/snmpd.pid"},
                                 SnmpEnvironment());
        ASSERT_GT(master_, 0) << machine_.error();
        ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(agentx_); }, 10s))
            << machine_.ErrorOutput(master_);
    }

    void StartTrapReceiver() {
        traps_ = snmp_ + "/traps.log";
        WriteText(snmp_ + "/snmptrapd.conf", "disableAuthorization yes\n");
        receiver_ =
            machine_.Start(kSnmptrapd,
                           {"-f", "-Lf", traps_, "-C", "-c", snmp_ + "/snmptrapd.conf", "-On", "-p",
                            snmp_ + "/snmptrapd.pid", "udp:127.0.0.1:" + std::to_string(trapPort_)},
                           SnmpEnvironment());
        ASSERT_GT(receiver_, 0) << machine_.error();
        ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(traps_); }, 10s))
            << machine_.ErrorOutput(receiver_);
    }

    // `TOOL -v2c -c COMMUNITY OPTIONS 127.0.0.1:PORT ARGS`.
    RunResult Snmp(const std::string& tool, const std::vector<std::string>& args,
                   const std::vector<std::string>& options = {"-On"},
                   const std::string& community = "public") {
        std::vector<std::string> line = {"-v2c", "-c", community, "-t", "5", "-r", "0"};
        line.insert(line.end(), options.begin(), options.end());
        line.push_back("127.0.0.1:" + std::to_string(port_));
        line.insert(line.end(), args.begin(), args.end());
        return machine_.Run(kTools + tool, line, SnmpEnvironment(), 60s);
    }

    std::string Get(const std::string& oid) { return Snmp("snmpget", {Oid(oid)}).out; }

    bool WaitForSubtree() {
        return WaitFor([&] { return Get("1.1.0").find("STRING") != std::string::npos; }, 15s,
                       100ms);
    }

    std::string snmp_;
    std::string agentx_;
    std::string traps_;
    int port_ = 0;
    int trapPort_ = 0;
    pid_t master_ = -1;
    pid_t receiver_ = -1;
    pid_t subagent_ = -1;
};

TEST_F(EndToEndSnmp, GetAnswersEachTypeAndMissingInstances) {
    const struct {
        const char* oid;
        const char* answer;  // a regular expression for the value after " = "
    } cases[] = {
        {"1.1.0", "STRING: \"ZUL\""},                            // display string
        {"1.5.0", "STRING: \"00000000000000\\.000000\\+000\""},  // date
        {"1.6.0", "INTEGER: 7"},                                 // enumeration
        {"4.2.0", "STRING: \"[0-9A-F]{12}\""},                   // adapter address
        {"4.6.0", "Counter64: [0-9]+"},                          // counter64
        {"8.9.0", "Counter32: [0-9]+"},                          // counter
        {"10.1.0", "STRING: \"1500\""},                          // integer64 as decimal text
        {"13.1.2.5", "STRING: \"-?[0-9]+\""},                    // a table row by its key
        {"3.1.3.2.1", "INTEGER: 5"},                             // two keys
        {"13.1.2.126", "No Such Instance"},                      // row not found
        {"4.2.1", "No Such Instance"},                           // a scalar's instance is 0
        {"4.99.0", "No Such Object"},                            // no such attribute
        {"99.1.0", "No Such Object"},                            // no such group
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.oid);
        const RunResult run = Snmp("snmpget", {Oid(c.oid)});
        EXPECT_TRUE(std::regex_search(run.out, std::regex(" = " + std::string(c.answer))))
            << run.out << run.err;
    }
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Started before snmpd (or at the wrong socket), the subagent says it waits for it rather
// than that it serves.
TEST_F(EndToEndSnmp, SaysItWaitsForAMasterThatDoesNotAnswer) {
    EXPECT_TRUE(Contains(machine_.ErrorOutput(subagent_), "dmi-snmp: serving under "))
        << machine_.ErrorOutput(subagent_);
    const std::string nowhere = snmp_ + "/nowhere.sock";
    const pid_t early = machine_.Start(KORVO_SNMP_BINARY, {"--agentx", nowhere, "--ping", "1"});
    ASSERT_GT(early, 0) << machine_.error();
    const std::string expected =
        "dmi-snmp: waiting for snmpd: no AgentX master answers on " + nowhere;
    EXPECT_TRUE(WaitFor([&] { return Contains(machine_.ErrorOutput(early), expected); }, 10s))
        << machine_.ErrorOutput(early);
    EXPECT_FALSE(Contains(machine_.ErrorOutput(early), "dmi-snmp: serving under "))
        << machine_.ErrorOutput(early);
    EXPECT_EQ(machine_.Stop(early, SIGTERM), std::optional<int>(0));
}

// A monitoring check of Verify (`check_snmp -o ...1.6.0 -c 7:7`) sees the driver stop.
TEST_F(EndToEndSnmp, VerifyFollowsTheDriver) {
    const auto verifyIs = [&](const char* value) {
        return WaitFor(
            [&] {
                return Get("1.6.0").find(std::string("INTEGER: ") + value) != std::string::npos;
            },
            10s, 100ms);
    };
    EXPECT_TRUE(verifyIs("7")) << Get("1.6.0");
    ASSERT_EQ(machine_.AdapterCommand({"stop"}).exitCode, 0);
    EXPECT_TRUE(verifyIs("6")) << Get("1.6.0");
    ASSERT_EQ(machine_.AdapterCommand({"start"}).exitCode, 0);
    EXPECT_TRUE(verifyIs("7")) << Get("1.6.0");
}

TEST_F(EndToEndSnmp, AnIndexPastEveryRowFailsItsOwnVarbindAlone) {
    for (const char* oid : {"14.1.2.2147483648", "14.1.2.4294967295", "13.1.2.2147483648",
                            "13.1.2.4294967295", "5.1.1.4294967295", "5.1.2.2147483648"}) {
        SCOPED_TRACE(oid);
        const RunResult run = Snmp("snmpget", {Oid(oid), Oid("1.1.0")});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.out.find("." + Oid(oid) + " = No Such Instance"), std::string::npos)
            << run.out << run.err;
        EXPECT_NE(run.out.find("STRING: \"ZUL\""), std::string::npos) << run.out;
        // A walk from there goes on past it.
        const RunResult next = Snmp("snmpgetnext", {Oid(oid)});
        EXPECT_EQ(next.exitCode, 0) << next.err;
    }
}

TEST_F(EndToEndSnmp, WalksShowTheConsolesValuesByNameFromTheGeneratedMib) {
    const std::string mibs = snmp_ + "/mibs";
    std::filesystem::create_directories(mibs);
    const RunResult mib = machine_.Run(KORVO_SNMP_BINARY,
                                       {"mib", "korvo", "--output", mibs + "/" + kModule + ".txt"});
    ASSERT_EQ(mib.exitCode, 0) << mib.err;
    // What the build writes from the MIF file alone is the module the running component gives.
    const RunResult fromMif =
        machine_.Run(KORVO_SNMP_BINARY, {"mib", "--mif", KORVO_SOURCE_DIR "/mif/korvo.mif"});
    ASSERT_EQ(fromMif.exitCode, 0) << fromMif.err;
    std::ifstream written(mibs + "/" + kModule + ".txt");
    EXPECT_EQ(fromMif.out, std::string(std::istreambuf_iterator<char>(written), {}));

    if (access("/usr/bin/smilint", X_OK) == 0) {
        // Severity 3 and below are errors; warnings (an index that is also a readable or
        // writable attribute, long names) are not.
        const RunResult lint =
            machine_.Run("/usr/bin/smilint", {"-s", "-l", "3", mibs + "/" + kModule + ".txt"},
                         {{"SMIPATH", std::string(KORVO_SOURCE_DIR) + "/tools/snmp/mibs"}});
        EXPECT_EQ(lint.out + lint.err, "");
    }

    const std::string path = std::string(KORVO_SOURCE_DIR) + "/tools/snmp/mibs:" + mibs;
    const RunResult named = Snmp("snmpwalk", {kSubtree}, {"-M", path, "-m", kModule});
    ASSERT_EQ(named.exitCode, 0) << named.err;
    const auto lines = Lines(named.out);
    for (const char* expected :
         {"KORVO-ETHERNET-ADAPTER-MIB::korvoComponentIDManufacturer.0 = STRING: ZUL",
          "KORVO-ETHERNET-ADAPTER-MIB::korvoComponentIDVerify.0 = INTEGER: "
          "thisComponentExistsAndIsFunctioningCorrectly(7)",
          "KORVO-ETHERNET-ADAPTER-MIB::korvoAddressAddress.3 = STRING: ",
          "KORVO-ETHERNET-ADAPTER-MIB::korvoDriverTable35RowsRowValue.35 = STRING: "}) {
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                                [&](const std::string& l) { return l.starts_with(expected); }))
            << expected << "\n"
            << named.out;
    }

    // As many values as the console's walk reads, in both SNMP walks.
    RunResult console;
    const Json walk = machine_.ConsoleJson({"walk", "korvo"}, &console);
    ASSERT_TRUE(walk.is_object()) << console.err;
    size_t values = 0;
    for (const Json& group : walk["groups"]) {
        for (const Json& attribute : group.value("attributes", Json::array())) {
            values += attribute.contains("value");
        }
        for (const Json& row : group.value("rows", Json::array())) {
            for (const Json& attribute : row["attributes"]) {
                values += attribute.contains("value");
            }
        }
    }
    // And dmi-snmp's own health objects, first in the subtree, none failing.
    const std::vector<std::string> health = {
        "korvoHealthInstrumentation.0 = INTEGER: answering(1)",
        "korvoHealthReadFailures.0 = ", "korvoHealthLastFailureTime.0 = ",
        "korvoHealthLastFailureStatus.0 = ", "korvoHealthLastFailure.0 = "};
    ASSERT_GT(lines.size(), health.size());
    for (size_t h = 0; h < health.size(); ++h) {
        EXPECT_TRUE(lines[h].starts_with(std::string(kModule) + "::" + health[h])) << lines[h];
    }
    EXPECT_EQ(lines.size(), values + health.size());
    const RunResult bulk = Snmp("snmpbulkwalk", {kSubtree});
    const RunResult plain = Snmp("snmpwalk", {kSubtree});
    EXPECT_EQ(Lines(bulk.out).size(), values + health.size()) << bulk.err;
    // Counters move between the walks; the names and their order do not.
    const auto names = [](const std::string& text) {
        std::vector<std::string> result;
        for (const std::string& line : Lines(text)) {
            result.push_back(line.substr(0, line.find(" = ")));
        }
        return result;
    };
    EXPECT_EQ(names(bulk.out), names(plain.out));
}

TEST_F(EndToEndSnmp, WritesReachTheDriverAndRefusalsComeBackAsTheirErrors) {
    const struct {
        const char* oid;
        const char* type;
        const char* value;
        const char* request;  // the line of the adapter's request log that the write causes
    } writes[] = {
        {"13.1.1.7", "i", "99", "code 30 word 0xFF010200 index 0x06 value 0x00000063 -> ok"},
        {"14.1.1.2", "i", "42", "code 32 word 0xFF010200 index 0x01 value 0x0000002A -> ok"},
        {"14.1.2.5", "s", "1234", "code 33 word 0xFF010200 index 0x04 value 0x000004D2 -> ok"},
    };
    for (const auto& write : writes) {
        SCOPED_TRACE(write.oid);
        const RunResult set =
            Snmp("snmpset", {Oid(write.oid), write.type, write.value}, {"-On"}, "private");
        EXPECT_EQ(set.exitCode, 0) << set.out << set.err;
        const RunResult log = machine_.AdapterCommand({"log", "-n", "8"});
        EXPECT_NE(log.out.find(write.request), std::string::npos) << log.out;
    }
    EXPECT_NE(Get("14.1.2.5").find("STRING: \"1234\""), std::string::npos);

    const struct {
        const char* oid;
        const char* type;
        const char* value;
        const char* error;
    } refusals[] = {
        {"4.2.0", "s", "024B4F525601", "notWritable"},   // read-only
        {"99.1.0", "i", "1", "notWritable"},             // no such object
        {"14.1.2.5", "u", "5", "wrongType"},             // integer64: text or an INTEGER
        {"14.1.2.5", "s", "12x", "wrongValue"},          // not a number
        {"14.1.2.5", "s", "99999999999", "wrongValue"},  // wider than the driver takes
        {"14.1.1.2", "s", "7", "wrongType"},             // an integer attribute
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(std::string(refusal.oid) + " " + refusal.value);
        const RunResult set =
            Snmp("snmpset", {Oid(refusal.oid), refusal.type, refusal.value}, {"-On"}, "private");
        EXPECT_NE(set.exitCode, 0);
        EXPECT_NE(set.err.find(std::string("Reason: ") + refusal.error), std::string::npos)
            << set.out << set.err;
    }
    EXPECT_NE(Get("14.1.2.5").find("STRING: \"1234\""), std::string::npos);

    // A walk's values read ahead never outlive a write: the walk right after it sees it.
    EXPECT_NE(Snmp("snmpwalk", {Oid("14.1.2")}).out.find("STRING: \"1234\""), std::string::npos);
    ASSERT_EQ(Snmp("snmpset", {Oid("14.1.2.5"), "s", "4321"}, {"-On"}, "private").exitCode, 0);
    EXPECT_NE(Snmp("snmpwalk", {Oid("14.1.2")}).out.find("STRING: \"4321\""), std::string::npos);
}

TEST_F(EndToEndSnmp, ASetIsCheckedWholeAndItsWritesStopAtTheFirstFailure) {
    // Row 36 of the 35 does not exist: nothing is written, neither row 20 before it nor 21.
    const RunResult missing = Snmp(
        "snmpset",
        {Oid("14.1.2.20"), "s", "77", Oid("14.1.2.36"), "s", "78", Oid("14.1.2.21"), "s", "79"},
        {"-On"}, "private");
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_NE(missing.err.find("Reason: noCreation"), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find("Failed object: ." + Oid("14.1.2.36")), std::string::npos)
        << missing.err;
    std::string log = machine_.AdapterCommand({"log", "-n", "40"}).out;
    EXPECT_EQ(log.find("code 33"), std::string::npos) << log;

    // The driver refuses the second write: the first stays written, the third is not tried.
    ASSERT_EQ(machine_.AdapterCommand({"fail", "33", "status"}).exitCode, 0);
    const RunResult refused =
        Snmp("snmpset",
             {Oid("13.1.1.20"), "i", "99", Oid("14.1.2.5"), "s", "77", Oid("13.1.1.21"), "i", "98"},
             {"-On"}, "private");
    ASSERT_EQ(machine_.AdapterCommand({"heal", "33"}).exitCode, 0);
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("Failed object: ." + Oid("14.1.2.5")), std::string::npos)
        << refused.err;
    log = machine_.AdapterCommand({"log", "-n", "40"}).out;
    EXPECT_NE(log.find("code 30 word 0xFF010200 index 0x13 value 0x00000063 -> ok"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("code 33 word 0xFF010200 index 0x04 value 0x0000004D -> fault"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("index 0x14 value 0x00000062"), std::string::npos) << log;
}

TEST_F(EndToEndSnmp, AWalkRightAfterAnotherClientsSetShowsTheNewValue) {
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        const std::string value = std::to_string(700 + round);
        ASSERT_EQ(Snmp("snmpwalk", {Oid("14.1.2")}).exitCode, 0);  // the values read ahead
        const RunResult set =
            machine_.Console({"set", "1", "14", "2", "--key", "5", "--type", "integer", value});
        ASSERT_EQ(set.exitCode, 0) << set.err;
        const RunResult walk = Snmp("snmpwalk", {Oid("14.1.2")});
        EXPECT_NE(walk.out.find("." + Oid("14.1.2.5") + " = STRING: \"" + value + "\""),
                  std::string::npos)
            << walk.out;
    }
}

TEST_F(EndToEndSnmp, AStalledDeviceKeepsTheSubtreeRegistered) {
    // The device silent for longer than the master agent waits: each answer comes within
    // the master's timeout, with an error for what the device did not give in time.
    ASSERT_EQ(machine_.AdapterCommand({"fail", "all", "silent"}).exitCode, 0);
    for (int get = 0; get < 2; ++get) {
        const RunResult stalled = Snmp("snmpget", {Oid("4.6.0"), Oid("1.1.0")});
        EXPECT_FALSE(stalled.timedOut);
        EXPECT_EQ(stalled.err.find("Timeout"), std::string::npos) << stalled.err;
        EXPECT_NE(stalled.err.find("genError"), std::string::npos) << stalled.err;
    }
    ASSERT_EQ(machine_.AdapterCommand({"heal", "all"}).exitCode, 0);
    // The registration held: the first get after the device healed has its value.
    EXPECT_NE(Get("4.6.0").find("Counter64"), std::string::npos)
        << machine_.ErrorOutput(subagent_) << ReadFile(snmp_ + "/snmpd.log");
    EXPECT_EQ(machine_.ErrorOutput(subagent_).find("dropped"), std::string::npos);
}

// A read that failed is never absence: a get of it, and a walk that reaches it, answer
// genErr (the tools exit non-zero); a table whose key cannot be read is an error, not a
// shorter table, and a walk never goes on to the next group past it.
TEST_F(EndToEndSnmp, AFailedReadIsAnErrorNeverAbsence) {
    const RunResult quiet = Snmp("snmpwalk", {Oid("13")});
    ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
    ASSERT_EQ(Lines(quiet.out).size(), 2 * 125u) << quiet.out;
    // Values read ahead for a walk may serve it for a quarter of a second after a fault
    // begins: until then an answer is the whole table or a value of it, never less, and
    // then genErr.
    const auto failsWithGenErr = [&](const std::string& tool, const std::string& oid) {
        RunResult run;
        const bool failed = WaitFor(
            [&] {
                run = Snmp(tool, {Oid(oid)});
                if (run.exitCode == 0) {
                    const bool walk = tool.find("walk") != std::string::npos;
                    EXPECT_TRUE(walk ? Lines(run.out).size() == Lines(quiet.out).size() ||
                                           !oid.starts_with("13")
                                     : run.out.find("." + Oid("13.")) != std::string::npos)
                        << tool << " " << oid << " exited 0 with:\n"
                        << run.out;
                    return false;
                }
                return true;
            },
            10s);
        EXPECT_TRUE(failed) << tool << " " << oid << ":\n" << run.out << run.err;
        EXPECT_NE(run.err.find("genErr"), std::string::npos) << tool << " " << oid << ":\n"
                                                             << run.out << run.err;
        return run;
    };

    ASSERT_EQ(machine_.AdapterCommand({"stop"}).exitCode, 0);
    failsWithGenErr("snmpget", "4.6.0");
    const RunResult stopped = failsWithGenErr("snmpwalk", "4");
    EXPECT_EQ(stopped.out.find("Counter64"), std::string::npos) << stopped.out;
    ASSERT_EQ(machine_.AdapterCommand({"start"}).exitCode, 0);

    // The table's key (request 30) and its other column (request 27), failing at once or
    // silent past the device deadline.
    for (const char* mode : {"status", "silent"}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(machine_.AdapterCommand({"fail", "30", mode}).exitCode, 0);
        const RunResult next = failsWithGenErr("snmpgetnext", "13.1.1.5");
        EXPECT_EQ(next.out.find("." + Oid("14.")), std::string::npos) << next.out;
        failsWithGenErr("snmpgetnext", "13");
        failsWithGenErr("snmpwalk", "13");
        failsWithGenErr("snmpbulkwalk", "13");
        ASSERT_EQ(machine_.AdapterCommand({"heal", "30"}).exitCode, 0);
        ASSERT_EQ(machine_.AdapterCommand({"fail", "27", mode}).exitCode, 0);
        failsWithGenErr("snmpget", "13.1.2.5");
        failsWithGenErr("snmpgetnext", "13.1.2.5");
        failsWithGenErr("snmpwalk", "13");
        ASSERT_EQ(machine_.AdapterCommand({"heal", "27"}).exitCode, 0);
    }
    // Healed, the walk is whole again.
    const RunResult healed = Snmp("snmpwalk", {Oid("13")});
    EXPECT_EQ(healed.exitCode, 0) << healed.err;
    EXPECT_EQ(Lines(healed.out).size(), Lines(quiet.out).size()) << healed.out;
}

TEST_F(EndToEndSnmp, NotificationsRaisedWhileTheMasterIsAwayAreSentWhenItReturns) {
    ASSERT_TRUE(machine_.Stop(master_, SIGTERM).has_value());
    ASSERT_TRUE(WaitFor(
        [&] { return machine_.ErrorOutput(subagent_).find("dropped") != std::string::npos; }, 5s))
        << machine_.ErrorOutput(subagent_);
    for (const char* adapter : {"2", "1"}) {
        ASSERT_EQ(machine_.AdapterCommand({"failover", adapter, "--notify"}).exitCode, 0);
    }
    std::this_thread::sleep_for(1s);  // the events reach the subagent, which has no master
    ASSERT_NO_FATAL_FAILURE(StartMaster());
    const std::string notification = "OID: ." + Oid("0.22");
    const auto count = [&] {
        const std::string received = ReadFile(traps_);
        size_t found = 0;
        for (auto at = received.find(notification); at != std::string::npos;
             at = received.find(notification, at + 1)) {
            ++found;
        }
        return found;
    };
    EXPECT_TRUE(WaitFor([&] { return count() == 2; }, 10s))
        << ReadFile(traps_) << machine_.ErrorOutput(subagent_);
    // Each says when its event came (sysUpTime), not when it could be sent.
    EXPECT_NE(ReadFile(traps_).find(".1.3.6.1.2.1.1.3.0 = Timeticks"), std::string::npos);
}

TEST_F(EndToEndSnmp, FailoverArrivesAsANotificationCarryingTheEventsRows) {
    ASSERT_EQ(machine_.AdapterCommand({"failover", "2", "--notify"}).exitCode, 0);
    const std::string notification = ".1.3.6.1.6.3.1.1.4.1.0 = OID: ." + Oid("0.22");
    ASSERT_TRUE(
        WaitFor([&] { return ReadFile(traps_).find(notification) != std::string::npos; }, 10s))
        << ReadFile(traps_) << machine_.ErrorOutput(subagent_);
    const std::string received = ReadFile(traps_);
    // The event generation row (indexed by the class of the group it speaks of), then the
    // adapter table's row: adapter 2 in physical slot 4.
    const std::string associated =
        ".30.81.69.86.124.70.97.105.108.111.118.101.114.32.65.100.97."
        "112.116.101.114.32.84.97.98.108.101.124.48.48.49";
    for (const std::string& varbind :
         {"." + Oid("22.1.1") + associated + " = INTEGER: 1",
          "." + Oid("22.1.5") + associated + " = STRING: \"QEV|Failover Adapter Table|001\"",
          "." + Oid("21.1.1.1") + " = INTEGER: 2",
          "." + Oid("21.1.2.1") + " = STRING: \"Adapter 2\"",
          "." + Oid("21.1.4.1") + " = INTEGER: 4"}) {
        EXPECT_NE(received.find(varbind), std::string::npos) << varbind << "\n" << received;
    }
}

TEST_F(EndToEndSnmp, UnavailableWhileTheAgentIsAwayAndBackAfterRestarts) {
    // The agent gone: its values answer as an error, never as a value.
    ASSERT_EQ(machine_.Stop(agent_, SIGTERM), 0);
    for (const char* tool : {"snmpget", "snmpwalk"}) {
        SCOPED_TRACE(tool);
        const RunResult run =
            Snmp(tool, {std::string(tool) == "snmpget" ? Oid("4.6.0") : kSubtree});
        EXPECT_NE(run.err.find("genErr"), std::string::npos) << run.out << run.err;
        EXPECT_EQ(run.out.find("Counter64"), std::string::npos) << run.out;
    }
    agent_ = machine_.StartAgent();
    ASSERT_TRUE(machine_.WaitUntilRegistered()) << machine_.ErrorOutput(agent_);
    EXPECT_TRUE(
        WaitFor([&] { return Get("4.6.0").find("Counter64") != std::string::npos; }, 10s, 100ms));

    // The master restarted: the subagent registers again by itself.
    ASSERT_TRUE(machine_.Stop(master_, SIGTERM).has_value());
    ASSERT_NO_FATAL_FAILURE(StartMaster());
    EXPECT_TRUE(WaitForSubtree()) << machine_.ErrorOutput(subagent_);
    EXPECT_TRUE(machine_.Running(subagent_));
}

TEST_F(EndToEndSnmp, ConnectionsTheServiceProviderClosesWhenIdleAreOpenedAgain) {
    // An agent whose service provider closes a management connection idle for 300 ms: the
    // subagent's request connection and its event subscription both outlive such pauses.
    ASSERT_EQ(machine_.Stop(agent_, SIGTERM), 0);
    agent_ = machine_.StartAgent({{"KORVO_SP_IDLE_LIMIT_MS", "300"}});
    ASSERT_TRUE(machine_.WaitUntilRegistered()) << machine_.ErrorOutput(agent_);
    ASSERT_TRUE(
        WaitFor([&] { return Get("4.6.0").find("Counter64") != std::string::npos; }, 10s, 100ms));
    for (int pause = 0; pause < 2; ++pause) {
        std::this_thread::sleep_for(1s);
        EXPECT_NE(Get("4.6.0").find("Counter64"), std::string::npos);
    }
    ASSERT_EQ(machine_.AdapterCommand({"failover", "2", "--notify"}).exitCode, 0);
    EXPECT_TRUE(WaitFor(
        [&] { return ReadFile(traps_).find("OID: ." + Oid("0.22")) != std::string::npos; }, 10s))
        << machine_.ErrorOutput(subagent_);
}

TEST_F(EndToEndSnmp, SurvivesContinuousPollingWhileFailingOver) {
    const auto deadline = std::chrono::steady_clock::now() + 4s;
    int polls = 0;
    for (int round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
        if (round % 5 == 0) {
            ASSERT_EQ(machine_.AdapterCommand({"failover", round % 10 == 0 ? "2" : "1", "--notify"})
                          .exitCode,
                      0);
        }
        const RunResult run = Snmp("snmpbulkget", {"-Cn0", "-Cr20", Oid("4")});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(Lines(run.out).size(), 20u) << run.out;
        ++polls;
    }
    EXPECT_GT(polls, 5);
    EXPECT_TRUE(machine_.Running(subagent_));
    EXPECT_NE(Get("4.6.0").find("Counter64"), std::string::npos);
}

}  // namespace
}  // namespace korvo::e2e
