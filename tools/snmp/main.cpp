// dmi-snmp: the DMI-to-SNMP subagent, and the MIB generator that describes what it serves.
//
//   dmi-snmp [serve] [--agentx SOCKET] [--prefix OID] [--socket PATH] [--ping SECONDS]
//                    [--refresh SECONDS] [--timeout MS] [--agentx-timeout SECONDS]
//                    [--verbose | --quiet]
//   dmi-snmp mib COMPONENT [--prefix OID] [--module NAME] [--socket PATH] [--output FILE]
//   dmi-snmp mib --mif FILE [--id N] [--prefix OID] [--module NAME] [--output FILE]
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "management/component_catalog.h"
#include "management/management_client.h"
#include "dmi/dmi.h"
#include "korvo_host.h"
#include "snmp/component_tree.h"
#include "snmp/log.h"
#include "snmp/mib_writer.h"
#include "snmp/mif_component.h"
#include "snmp/subagent.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;

// Also the manual page: help2man makes its ENVIRONMENT, FILES and EXAMPLES sections of the
// paragraphs so headed, and cmake/man_pages.cmake its SEE ALSO of the last one.
constexpr const char* kUsage = R"(usage: dmi-snmp [serve] [OPTIONS]
       dmi-snmp mib COMPONENT [OPTIONS]
       dmi-snmp mib --mif FILE [OPTIONS]

"serve" (the default) runs as an AgentX subagent of the master agent, serving the DMI
components of the service provider; "mib" writes the SMIv2 module of a component (by id or
name), or with --mif from the component's MIF file, with no service provider running.

options:
  --agentx SOCKET   the master agent's AgentX socket (a path, or tcp:HOST:PORT);
                    default: the library's, /var/agentx/master
  --prefix OID      where the components' subtrees are (default 1.3.6.1.4.1.32473.1)
  --socket PATH     the service provider's management socket (default $WIN32DMIPATH/dmi.sock)
  --ping SECONDS    after how long without a request the master agent is pinged, and how
                    often a lost session is opened again (default 1)
  --refresh SECONDS how often the component list is read again (default 5)
  --timeout MS      how long an answer of the service provider may take (default 5000)
  --agentx-timeout SECONDS
                    how long the master agent waits for an answer: its agentXTimeout
                    (default 1, snmpd's own; 6 with the installed drop-in); what cannot be
                    read within it answers an error. The master may take as long (at
                    least 5 s), three times over, to answer a ping before the session is
                    given up and registered again
  --verbose         also say each notification sent, and Net-SNMP's informational messages
  --quiet           say only warnings and errors, not connects, losses and registrations
  --module NAME     the MIB module's name (default from the component's name)
  --mif FILE        mib: read the component from its MIF file instead
  --id N            mib --mif: the component's id under the prefix (default 1, the id the
                    service provider gives the first component installed)
  --output FILE     write the MIB there instead of to standard output
  -h, --help        this help
  --version         the version

Messages go to standard error, one line each; under systemd (JOURNAL_STREAM set) each line
carries its priority for the journal. dmi-snmp says when it connects to the master agent,
loses it and finds it again, and when the service provider stops and starts answering.

Environment:
  WIN32DMIPATH      the directory the agent and its service provider run with; the
                    management socket is $WIN32DMIPATH/dmi.sock unless --socket says
  JOURNAL_STREAM    set by systemd: messages carry their priority as "<N>"
  dmi-snmp reads no SNMP configuration, MIB or persistent file (MIBS, MIBDIRS and
  SNMPCONFPATH are not used): all it needs is on its command line.

Files:
  )" KORVO_SNMPD_DROPIN R"(
                    makes the component visible to the stock snmpd.conf's
                    community and lets the Debian-snmp group reach the AgentX socket
  )" KORVO_MIB_DIR R"(/KORVO-ETHERNET-ADAPTER-MIB.txt
                    the component's MIB, with the SMIv2 base modules it imports
  )" KORVO_SNMP_CONF R"(
                    loads that MIB in every Net-SNMP command, so names show
  )" KORVO_ENVIRONMENT_FILE R"(
                    DMI_SNMP_OPTIONS and WIN32DMIPATH for the systemd unit dmi-snmp.service

Examples:
  The snmpd drop-in, )" KORVO_SNMPD_DROPIN R"(:
    > view systemonly included .1.3.6.1.4.1.32473.1
    > agentXPerms 0660 0755 Debian-snmp Debian-snmp
    > agentXTimeout 6
    > agentXRetries 1
  with DMI_SNMP_OPTIONS=--agentx-timeout 6 in )" KORVO_ENVIRONMENT_FILE R"(.
  Watch the component's health (korvoHealthInstrumentation: 1 answering, 2 failing,
  3 unavailable), CRITICAL on a stopped driver:
    $ check_snmp -H localhost -C public -P 2c -o korvoHealthInstrumentation.0 -c 1:1
  Run beside the system's snmpd, and read the component by name:
    $ systemctl enable --now dmi-snmp
    $ snmpwalk -v2c -c public localhost korvoMIB
    $ snmptable -v2c -c public localhost korvoDriverTable35RowsTable
  Write the MIB with no service provider running, as the build does:
    $ dmi-snmp mib --mif mif/korvo.mif --output KORVO-ETHERNET-ADAPTER-MIB.txt

Exit status: 0 success, 1 failure, 2 usage error, 3 the service provider cannot be reached

See also:
  snmpd(8), snmpd.conf(5), snmp.conf(5), snmpwalk(1), snmptable(1), snmptrapd(8),
  dmicli(1), korvoci(1), korvo-adapter(1)
)";

struct UsageError {
    std::string text;
};

int PositiveNumber(std::string_view option, std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value <= 0) {
        throw UsageError{std::string(option) + " needs a positive number, not \"" +
                         std::string(text) + "\""};
    }
    return value;
}

// Writes the MIB to `output`, or to standard output when it is empty.
int WriteOut(const std::string& text, const std::string& output) {
    if (output.empty()) {
        std::cout << text;
        return 0;
    }
    // Replaced whole, never written through a link: the service provider's files are written so.
    std::string error;
    if (!korvo::host::ReplaceFile(output, text, 0644, &error)) {
        std::cerr << "dmi-snmp: " << error << '\n';
        return kExitFailure;
    }
    return 0;
}

// A command line as dmi-snmp understands it.
struct Invocation {
    std::string command = "serve";
    korvo::snmp::SubagentOptions serve;
    std::string moduleName;
    std::string output;
    std::string mifFile;
    uint32_t mifId = 1;
    std::vector<std::string_view> positional;
    std::optional<int> answered;  // --help or --version: done, with this exit status
};

// An option that takes a value, given it.
void TakeOption(Invocation& invocation, std::string_view option, std::string_view value) {
    korvo::snmp::SubagentOptions& serve = invocation.serve;
    if (option == "--agentx") {
        serve.agentxSocket = value;
    } else if (option == "--prefix") {
        const auto prefix = korvo::snmp::ParseOid(value);
        if (!prefix) {
            throw UsageError{"--prefix needs a dotted object identifier, not \"" +
                             std::string(value) + "\""};
        }
        serve.prefix = *prefix;
    } else if (option == "--socket") {
        serve.managementSocket = value;
    } else if (option == "--ping") {
        serve.pingSeconds = PositiveNumber(option, value);
    } else if (option == "--refresh") {
        serve.refreshSeconds = PositiveNumber(option, value);
    } else if (option == "--timeout") {
        serve.replyTimeout = std::chrono::milliseconds(PositiveNumber(option, value));
    } else if (option == "--agentx-timeout") {
        serve.agentxTimeout = std::chrono::seconds(PositiveNumber(option, value));
    } else if (option == "--module") {
        invocation.moduleName = value;
    } else if (option == "--mif") {
        invocation.mifFile = value;
    } else if (option == "--id") {
        invocation.mifId = static_cast<uint32_t>(PositiveNumber(option, value));
    } else {
        invocation.output = value;
    }
}

Invocation ParseArguments(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    Invocation invocation;
    invocation.serve.prefix = *korvo::snmp::ParseOid(korvo::snmp::kDefaultPrefix);
    if (!args.empty() && !args[0].starts_with("-")) {
        invocation.command = args[0];
        args.erase(args.begin());
    }
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view option = args[i];
        if (option == "-h" || option == "--help") {
            std::cout << kUsage;
            invocation.answered = 0;
            return invocation;
        }
        if (option == "--version") {
            std::cout << "dmi-snmp " KORVO_VERSION "\n";
            invocation.answered = 0;
            return invocation;
        }
        if (!option.starts_with("--")) {
            invocation.positional.push_back(option);
            continue;
        }
        if (option == "--verbose" || option == "--quiet") {
            korvo::snmp::SetLogLevel(option == "--verbose" ? korvo::snmp::LogLevel::Verbose
                                                           : korvo::snmp::LogLevel::Quiet);
            continue;
        }
        constexpr std::string_view kOptions[] = {
            "--agentx", "--prefix", "--socket", "--ping", "--refresh",       "--timeout",
            "--module", "--output", "--mif",    "--id",   "--agentx-timeout"};
        if (std::find(std::begin(kOptions), std::end(kOptions), option) == std::end(kOptions)) {
            throw UsageError{"unknown option " + std::string(option)};
        }
        if (i + 1 >= args.size()) {
            throw UsageError{std::string(option) + " needs a value"};
        }
        TakeOption(invocation, option, args[++i]);
    }
    return invocation;
}

// dmi-snmp mib: the module of a component from its MIF file, or from the service provider.
int WriteComponentMib(const Invocation& invocation) {
    const korvo::snmp::SubagentOptions& serve = invocation.serve;
    if (!invocation.mifFile.empty()) {
        if (!invocation.positional.empty()) {
            throw UsageError{"mib --mif takes no COMPONENT"};
        }
        return WriteOut(korvo::snmp::WriteMib(
                            korvo::snmp::LoadMifComponent(invocation.mifFile, invocation.mifId),
                            serve.prefix, invocation.moduleName),
                        invocation.output);
    }
    if (invocation.positional.size() != 1) {
        throw UsageError{"mib needs one COMPONENT (its id or name), or --mif FILE"};
    }
    korvo::management::ManagementClient client(
        korvo::management::ManagementSocketPath(serve.managementSocket), serve.replyTimeout);
    korvo::management::ComponentCatalog catalog(
        [&]() -> korvo::management::ManagementClient& { return client; });
    // Only the component asked for is read, from the list that resolved its name.
    const uint32_t id = catalog.ResolveComponent(invocation.positional[0]);
    const auto& components = catalog.Components();
    const auto found = std::find_if(components.begin(), components.end(),
                                    [&](const auto& c) { return c.id == id; });
    if (found == components.end()) {
        throw korvo::management::StatusError(DMIERR_COMPONENT_NOT_FOUND,
                                             "component " + std::to_string(id) + " is gone");
    }
    return WriteOut(korvo::snmp::WriteMib(korvo::snmp::LoadComponent(catalog, *found), serve.prefix,
                                          invocation.moduleName),
                    invocation.output);
}

int Run(int argc, char** argv) {
    const Invocation invocation = ParseArguments(argc, argv);
    if (invocation.answered) {
        return *invocation.answered;
    }
    if (invocation.command == "serve") {
        if (!invocation.positional.empty()) {
            throw UsageError{"serve takes no argument \"" + std::string(invocation.positional[0]) +
                             "\""};
        }
        return korvo::snmp::RunSubagent(invocation.serve);
    }
    if (invocation.command != "mib") {
        throw UsageError{"unknown command \"" + invocation.command + "\""};
    }
    return WriteComponentMib(invocation);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const UsageError& error) {
        std::cerr << "dmi-snmp: " << error.text << "\n\n" << kUsage;
        return kExitUsage;
    } catch (const korvo::management::ConnectionError& error) {
        std::cerr << "dmi-snmp: " << error.what() << '\n';
        return kExitUnreachable;
    } catch (const korvo::management::UsageError& error) {
        std::cerr << "dmi-snmp: " << error.what() << '\n';
        return kExitUsage;
    } catch (const std::exception& error) {
        std::cerr << "dmi-snmp: " << error.what() << '\n';
        return kExitFailure;
    }
}
