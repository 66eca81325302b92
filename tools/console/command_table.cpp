// The console's command table: one row per command with its name, its number of arguments,
// the options it takes beyond the global ones, its help, and the Console function that runs
// it. Parsing, help, completion and dispatch all follow this table.
#include <limits>

#include "console/command_line.h"
#include "console/console.h"

namespace korvo::console {

namespace {

constexpr size_t kUnbounded = std::numeric_limits<size_t>::max();

const std::vector<CommandDefinition> kCommands = {
    {"components",
     0,
     0,
     {},
     "components",
     "list the installed components",
     "Lists every component in the service provider's database: id, name, description.\n"
     "\n"
     "Example:\n"
     "  dmicli components\n",
     &Console::Components},
    {"groups",
     1,
     1,
     {},
     "groups COMPONENT",
     "list a component's groups",
     "Lists the groups of a component from its MIF: id, name, class and key attributes\n"
     "(a group with keys is a table).\n"
     "\n"
     "Example:\n"
     "  dmicli groups korvo\n",
     &Console::Groups},
    {"attributes",
     2,
     2,
     {},
     "attributes COMPONENT GROUP",
     "list a group's attributes",
     "Lists the attributes of a group from its MIF: id, name, type, access, whether the\n"
     "attribute is one of the group's keys, and the names of enumerated values.\n"
     "\n"
     "Example:\n"
     "  dmicli attributes 1 4\n",
     &Console::Attributes},
    {"get",
     3,
     kUnbounded,
     {"--value-only", "--numeric"},
     "get COMPONENT GROUP ATTRIBUTE[,ATTRIBUTE...] [KEY...] [--value-only | --numeric]",
     "read attributes of one row",
     "Reads one or more attributes (ids or names, separated by commas) of one row. The\n"
     "keys select the row of a table; a group without keys needs none. A table read\n"
     "without keys answers the row its instrumentation takes for none (the agent's: the\n"
     "first), as a DMI get does, and the answer names that row by its keys; set, which\n"
     "changes a row, needs its key.\n"
     "\n"
     "KEY is a number (decimal, 0x hexadecimal, or negative: -1 and 4294967295 are the\n"
     "same 32-bit key), s:TEXT for a display-string key, or x:HEX for an octet-string key.\n"
     "The KORVO agent reads the key -1 (0xFFFFFFFF) as 1 on purpose, so that it names row\n"
     "1; a key of 0 names row 0, which its tables do not hold: the driver refuses the read,\n"
     "and the value is unknown.\n"
     "\n"
     "--value-only (-Ov) prints only each value, one a line; --numeric (-On) names each\n"
     "attribute by its ids, COMPONENT.GROUP.ATTRIBUTE[KEYS], instead of its names.\n"
     "\n"
     "Exit status 1 when the service provider answers with a DMI status other than 0; the\n"
     "status is shown by name.\n"
     "\n"
     "Examples:\n"
     "  dmicli get 1 4 2\n"
     "  dmicli get korvo address 4 2\n"
     "  dmicli get korvo adapter 1,2 --value-only\n",
     &Console::Get},
    {"get-next",
     3,
     kUnbounded,
     {"--value-only", "--numeric"},
     "get-next COMPONENT GROUP ATTRIBUTE[,ATTRIBUTE...] [KEY...] [--value-only | --numeric]",
     "read attributes of the row after the keys",
     "Reads attributes of the row that follows the row the keys select (no keys: the\n"
     "row after the first), and names that row by its keys, which the table's key\n"
     "attributes answer. When no row follows, it says so: the end of the table (or of\n"
     "a group of one row), with exit status 1. A key attribute that cannot be read is\n"
     "no end: it says so with the key's status (\"read failed\"), exit status 1.\n"
     "KEY and the options as for get.\n"
     "\n"
     "Example:\n"
     "  dmicli get-next 1 5 4 1\n",
     &Console::GetNext},
    {"walk",
     1,
     2,
     {"--rows"},
     "walk COMPONENT [GROUP] [--rows N]",
     "read every attribute of a component or one group",
     "Reads every readable attribute of every group of the component, or of one group.\n"
     "A table (a group with keys) is read row by row with first-key values 1, 2, 3, ...\n"
     "(further keys are given as 1) until the status \"row not found\". It also stops at\n"
     "a row where no attribute has a value, at a row that answers exactly as the one\n"
     "before (the keys select nothing), and after 10000 rows. A key attribute that\n"
     "cannot be read stops the table's walk there, with its status, and the exit\n"
     "status is 1. Other statuses are shown by name on the attribute's line and the\n"
     "walk goes on.\n"
     "\n"
     "--rows N shows only the first N and the last N rows of each table, with the\n"
     "number of rows left out.\n"
     "\n"
     "Examples:\n"
     "  dmicli walk korvo --rows 2\n"
     "  dmicli walk 1 5\n",
     &Console::Walk},
    {"set",
     4,
     4,
     {"--key", "--type"},
     "set COMPONENT GROUP ATTRIBUTE [--key KEY...] [--type TYPE] VALUE",
     "write one attribute",
     "Writes one attribute. VALUE is read by the attribute's MIF type: a number for the\n"
     "integer and counter types (or the name of an enumerated value), text for display\n"
     "strings and dates, hexadecimal digits for octet strings; a number outside the\n"
     "type's range is refused (integer: -2147483648 to 2147483647). --key KEY, once per\n"
     "key, selects the row of a table (KEY as for get); a table's attribute needs it.\n"
     "--type TYPE sends the value as another MIF type (integer, integer64, counter,\n"
     "counter64, gauge, displaystring, octetstring), for instrumentation that takes a\n"
     "narrower type than it reports; a number sent narrower than the attribute reads\n"
     "must read back as itself (integer into integer64: 0 to 2147483647). Use -- before\n"
     "a VALUE that begins with --.\n"
     "\n"
     "Exit status 1 when the service provider answers with a DMI status other than 0;\n"
     "when it refuses a 64-bit value's size, the message gives the --type to use.\n"
     "\n"
     "Examples:\n"
     "  dmicli set 1 14 1 --key 3 3\n"
     "  dmicli set 1 14 2 --key 3 --type integer 1500\n",
     &Console::Set},
    {"watch",
     3,
     kUnbounded,
     {"--interval", "--count", "--numeric"},
     "watch COMPONENT GROUP ATTRIBUTE[,ATTRIBUTE...] [KEY...] [--interval SECONDS] "
     "[--count N]",
     "sample attributes at an interval, with each counter's rate",
     "Reads the attributes (as for get) every --interval SECONDS (1 by default) and\n"
     "shows each value; for a counter also its rate per second since the sample before.\n"
     "A 32-bit counter that went down is taken to have wrapped and shown so; a 64-bit\n"
     "counter that went down was reset and shows no rate. It ends after --count N\n"
     "samples, or on Ctrl-C. When the service provider goes away, watch says so once\n"
     "and carries on when it is back; the samples it could not read are left out.\n"
     "With --json each sample is one line of JSON.\n"
     "\n"
     "Example:\n"
     "  dmicli watch korvo adapter 6,7 --interval 0.5 --count 3\n",
     &Console::Watch},
    {"events",
     0,
     0,
     {"--since", "--follow", "--count", "--timeout"},
     "events [--since N] [--follow [--count N] [--timeout SECONDS]]",
     "show the event log, or follow new events",
     "Without --follow: shows the events in the service provider's log with a sequence\n"
     "number greater than N (all of them by default).\n"
     "\n"
     "With --follow: shows each event as it is originated, until interrupted, until\n"
     "--count N events were shown, or until --timeout SECONDS pass. Only new events are\n"
     "shown unless --since N asks for the logged events after N first. When --count N\n"
     "events have not all arrived before the timeout, the exit status is 1. When the\n"
     "service provider goes away, it says so once and carries on from the last event\n"
     "shown when it is back. With --json each event is one line of JSON.\n"
     "\n"
     "Examples:\n"
     "  dmicli events\n"
     "  dmicli events --follow --timeout 1\n",
     &Console::Events},
    {"log",
     0,
     0,
     {"--lines", "--follow"},
     "log [-n N] [--follow]",
     "show the service provider's log",
     "Shows the last N lines (20 by default) of the service provider's log,\n"
     "$WIN32DMIPATH/sp.log: registrations and unregistrations of instrumentation, calls\n"
     "it refused and their status, callbacks that answered an error, and callbacks slower\n"
     "than a second. --follow then shows each line as it is written, until interrupted.\n"
     "\n"
     "Example:\n"
     "  dmicli log -n 5\n",
     &Console::Log},
    {"stats",
     0,
     0,
     {},
     "stats",
     "the service provider's memory tracking, registered instrumentation, event log",
     "Shows the service provider's tracking of the memory blocks it hands out\n"
     "(outstanding, allocated, freed, bad frees, and the outstanding blocks), the\n"
     "components whose instrumentation is registered, and the events its log's file did\n"
     "not take when they were originated: held back (still waiting), written late, lost.\n"
     "\n"
     "Example:\n"
     "  dmicli stats\n",
     &Console::Stats},
    {"post-timer",
     0,
     0,
     {"--class"},
     "post-timer [--class CLASS]",
     "post WM_TIMER to the agent's window",
     "Posts WM_TIMER (0x0113, wParam 0, lParam 0) to the top-level window of class CLASS\n"
     "(KORVO, the agent's, by default) through its socket $KORVO_ROOT/windows/CLASS: the\n"
     "agent then checks for a failover at once.\n"
     "\n"
     "Exit status 3 when no such window exists.\n"
     "\n"
     "Example:\n"
     "  dmicli post-timer\n",
     &Console::PostTimer},
    {"post-message",
     2,
     4,
     {},
     "post-message CLASS MESSAGE [WPARAM [LPARAM]]",
     "post any window message",
     "Posts a window message to the top-level window of class CLASS. MESSAGE is a number\n"
     "or one of WM_CLOSE, WM_QUIT, WM_ENDSESSION, WM_TIMER, WM_USER; WPARAM and LPARAM\n"
     "are numbers (decimal or 0x hexadecimal; 0 when left out).\n"
     "\n"
     "Exit status 3 when no such window exists.\n"
     "\n"
     "Example:\n"
     "  dmicli post-message KORVO WM_TIMER 0 0\n",
     &Console::PostMessage},
    {"help", 0, 1, {}, "help [COMMAND]", "show this help, or a command's", "", &Console::Help},
    {"completion",
     1,
     1,
     {},
     "completion bash",
     "the bash completion script",
     "Writes the bash completion script of dmicli, made from its commands and options, to\n"
     "standard output; the build installs it as\n"
     "/usr/share/bash-completion/completions/dmicli.\n",
     &Console::Completion,
     true},
};

}  // namespace

const std::vector<CommandDefinition>& Commands() {
    return kCommands;
}

}  // namespace korvo::console
