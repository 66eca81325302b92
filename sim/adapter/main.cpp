// korvo-adapter: the simulated adapter pair and its driver behind the control device
// \\.\korvodmi.vxd, and the commands that change it while it runs.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "adapter_model.h"
#include "adapter_server.h"
#include "control_client.h"
#include "control_command.h"
#include "korvo/window_protocol.h"
#include "korvo_host.h"
#include "settings_file.h"

namespace {

using namespace korvo::adapter;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    R"(usage: korvo-adapter serve [--variant 4|5] [--active 1|2] [--config FILE] [--quiet]
                           [--background]
       korvo-adapter COMMAND [ARGUMENTS]
       korvo-adapter --help | --version

The simulated KORVO adapter pair and its driver, answering the control device
\\.\korvodmi.vxd at $KORVO_ROOT/devices/korvodmi.vxd. "serve" runs it until SIGTERM, SIGINT
or "korvo-adapter quit", and then removes its sockets; the commands change the running
simulator through $KORVO_ROOT/adapter.ctl.

Options:
  --variant N    serve: the NDIS 4.0 driver (KORVOm4) or the NDIS 5.0 driver (KORVOm5,
                 default)
  --active N     serve: the adapter that is active at start (default 1)
  --config FILE  serve: start values, one KEY=VALUE a line (# starts a comment), of the
                 settings below
  --quiet        serve: print nothing but errors (by default each request served is
                 printed)
  --background   serve: return once the control device and the control socket listen, and
                 go on serving in the background (exit 1, and nothing left running, when
                 they cannot be opened)
  -h, --help     this help
  --version      the version

Commands (of the running simulator):
  korvo-adapter failover 1|2 [--notify]
      make adapter N the active one; --notify also posts WM_TIMER to the agent's window
      (class KORVO) so that it checks for the failover at once
  korvo-adapter fail CODE|probe|all status|call|empty|silent
      make a request code, the probe or every request fail:
        status  status 0xFFFF in the reply     call    the device call fails
        empty   0 bytes returned               silent  no answer at all
  korvo-adapter heal CODE|probe|all    answer normally again
  korvo-adapter stop                   stop answering: each request's connection is closed
  korvo-adapter start                  answer again
  korvo-adapter set KEY=VALUE          change a start value (keys as for --config)
  korvo-adapter log [-n N]             the last N requests served (default 20)
  korvo-adapter status                 the model's main values
  korvo-adapter quit                   end the simulator

Settings (KEY=VALUE, for --config and set):
)";

constexpr char kExitStatus[] =
    R"(
Environment:
  KORVO_ROOT     the machine's root (default $XDG_RUNTIME_DIR/korvo, else /tmp/korvo-UID)

Files:
  $KORVO_ROOT/devices/korvodmi.vxd
                 the control device the agent opens
  $KORVO_ROOT/adapter.ctl
                 the control socket the commands reach the running simulator through

Examples:
  Start the pair in the background, fail it over and tell the agent, break and heal a code:
    $ korvo-adapter serve --quiet --background
    $ korvo-adapter failover 2 --notify
    $ korvo-adapter fail 3 status
    $ korvo-adapter heal all

Exit status: 0 done, 1 failed (no simulator, socket in use, command refused), 2 bad usage.

See also:
  korvoci(1), dmicli(1), dmi-snmp(1)
)";

// The whole --help: the settings come from the model's table of them.
std::string Usage() {
    return kUsage + AdapterModel::SettingsHelp("  ") + kExitStatus;
}

AdapterServer* runningServer = nullptr;

void StopOnSignal(int) {
    if (runningServer != nullptr) {
        runningServer->RequestStop();
    }
}

int UsageError(const std::string& message) {
    std::cerr << "korvo-adapter: " << message << " (see korvo-adapter --help)\n";
    return kExitUsage;
}

int Fail(const std::string& message) {
    std::cerr << "korvo-adapter: " << message << "\n";
    return kExitFailure;
}

bool IsHelp(const std::string& argument) {
    return argument == "--help" || argument == "-h" || argument == "help";
}

// A flag's value, from "--flag VALUE" or "--flag=VALUE".
std::optional<std::string> FlagValue(const std::vector<std::string>& args, size_t& i,
                                     const std::string& flag) {
    if (args[i] == flag && i + 1 < args.size()) {
        return args[++i];
    }
    if (args[i].starts_with(flag + "=")) {
        return args[i].substr(flag.size() + 1);
    }
    return std::nullopt;
}

// Called once the sockets listen: the calling process returns (true) in a child of its own
// session, with standard input from /dev/null, while its parent ends with status 0 without
// closing anything the child serves. False, in the calling process, when there is no child.
bool ServeInBackground() {
    std::cout.flush();
    std::cerr.flush();
    const pid_t child = fork();
    if (child < 0) {
        return false;
    }
    if (child > 0) {
        _exit(0);  // the listening sockets are the child's now: nothing is closed or unlinked
    }
    setsid();  // no signal of the terminal's job control reaches it
    if (const int null = open("/dev/null", O_RDONLY | O_CLOEXEC); null >= 0) {
        dup2(null, STDIN_FILENO);
        close(null);
    }
    return true;
}

int RunServe(const std::vector<std::string>& args) {
    std::vector<Setting> fileSettings;
    std::vector<Setting> flagSettings;
    bool quiet = false;
    bool background = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (IsHelp(arg)) {
            std::cout << Usage();
            return 0;
        }
        if (arg == "--quiet" || arg == "-q") {
            quiet = true;
        } else if (arg == "--background") {
            background = true;
        } else if (const auto variant = FlagValue(args, i, "--variant")) {
            flagSettings.push_back({"--variant", "variant", *variant});
        } else if (const auto active = FlagValue(args, i, "--active")) {
            flagSettings.push_back({"--active", "active", *active});
        } else if (const auto config = FlagValue(args, i, "--config")) {
            if (const std::string error = ReadSettingsFile(*config, fileSettings); !error.empty()) {
                return Fail(error);
            }
        } else if (arg == "--variant" || arg == "--active" || arg == "--config") {
            return UsageError(arg + " needs a value");
        } else {
            return UsageError("serve does not take '" + arg + "'");
        }
    }
    // Flags override the file: they come after it in their group.
    std::vector<Setting> settings = fileSettings;
    settings.insert(settings.end(), flagSettings.begin(), flagSettings.end());
    AdapterModel model;
    if (const std::string error = ApplySettings(model, settings); !error.empty()) {
        return error.starts_with("--") ? UsageError(error) : Fail(error);
    }

    AdapterServer::Echo echo;
    if (!quiet) {
        echo = [](const std::string& line) { std::cout << line << std::endl; };
    }
    AdapterServer server(model, DefaultServerPaths(), echo);
    runningServer = &server;
    struct sigaction action {};
    action.sa_handler = StopOnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (const std::string error = server.Open(); !error.empty()) {
        runningServer = nullptr;
        return Fail(error);
    }
    const ServerPaths paths = DefaultServerPaths();
    if (!quiet) {
        std::cout << "korvo-adapter: serving \\\\.\\" << kDeviceName << " at " << paths.device
                  << "\nkorvo-adapter: control socket " << paths.control << "\n"
                  << model.DescribeStatus() << std::flush;
    }
    if (background && !ServeInBackground()) {
        return Fail(std::string("cannot go on in the background: ") + std::strerror(errno));
    }
    server.Run();
    runningServer = nullptr;
    if (!quiet) {
        std::cout << "korvo-adapter: ended" << std::endl;
    }
    return 0;
}

int RunControl(const std::vector<std::string>& args) {
    std::vector<std::string> words;
    bool notify = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (IsHelp(args[i]) && i > 0) {
            std::cout << Usage();
            return 0;
        }
        if (args[i] == "--notify" && args[0] == "failover") {
            notify = true;
        } else if (args[i] == "-n" && args[0] == "log") {
            if (i + 1 == args.size()) {
                return UsageError("-n needs a number of lines");
            }
            words.push_back(args[++i]);
        } else if (args[i].starts_with("-") && i > 0) {
            return UsageError(args[0] + " does not take '" + args[i] + "'");
        } else {
            words.push_back(args[i]);
        }
    }
    std::string error;
    const auto command = ParseControlCommand(words, error);
    if (!command) {
        return UsageError(error);
    }
    const std::string controlPath = DefaultServerPaths().control;
    const auto reply = SendControlLine(controlPath, FormatControlCommand(*command), error);
    if (!reply) {
        return Fail(error);
    }
    if (!reply->ok) {
        return Fail(reply->text);
    }
    std::cout << reply->text << "\n";
    if (notify) {
        const std::string windowPath = korvo::host::WindowPath(korvo::window::kAgentClassName);
        if (!PostTimerMessage(windowPath, error)) {
            return Fail(error + "; the failover itself took effect");
        }
        std::cout << "posted WM_TIMER to the agent's window\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::cerr << Usage();
        return kExitUsage;
    }
    if (IsHelp(args[0])) {
        std::cout << Usage();
        return 0;
    }
    if (args[0] == "--version") {
        std::cout << "korvo-adapter " KORVO_VERSION "\n";
        return 0;
    }
    if (args[0] == "serve") {
        return RunServe({args.begin() + 1, args.end()});
    }
    return RunControl(args);
}
