// The management protocol between management applications (the console) and the DMI service
// provider stand-in: JSON, one object per line, over the Unix-domain stream socket
// $WIN32DMIPATH/dmi.sock (mode 0600; peers of another user are closed without an answer).
//
// A connection carries any number of requests, each answered by exactly one response line, in
// order. Every response has "status" (the DMI status code, 0 for success) and, when the
// status is not 0, "statusName" (e.g. "row not found") and, where there is more to say, an
// "error" text. A line that is not a JSON object, or lacks what its "op" needs, gets status
// 0x201 (ill-formed command) and the connection stays usable.
//
// A connection the provider will not serve (too many are open) or no longer serves (it sent
// no whole request within the idle limit) gets one last response with "closing": true, and
// the provider closes it; a client reports that response's "error" as the reason.
//
// The requests, their members and their answers: kOps below, one entry per op.
//
// KEY and VALUE are attribute data: {"id":A,"type":T, one of "integer":N (types 1 to 6),
// "text":"..." (display strings, as UTF-8 with bytes above 0x7F escaped), "hex":"0A1B..."
// (octet strings, and display strings whose bytes are not printable text)}. A request's
// key may leave out "type" (integer 5 is assumed) and "id".
//
// READING: {"id":A,"status":S, "statusName" and "error" as in any answer, "value":VALUE when
// the status is 0}. A reading, or a get's answer, of status 0x10F (value unknown) that no
// instrumentation was asked for (none serves the attribute and the MIF declares no value for
// it: there is nothing to read, rather than a read that failed) also has "unserved": true.
//
// EVENT: {"sequence":N,"time":"yyyymmddHHMMSS.uuuuuu+ooo","component":C,
//         "rows":[{"group":G,"class":"...","keys":[VALUE...],"values":[VALUE...]}]}
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "korvo/provider_files.h"

namespace korvo::management {

// What a request may carry besides "op".
namespace member {
inline constexpr unsigned kComponent = 1u << 0;   // "component": C
inline constexpr unsigned kGroup = 1u << 1;       // "group": G
inline constexpr unsigned kAttribute = 1u << 2;   // "attribute": A
inline constexpr unsigned kKeys = 1u << 3;        // "keys": [KEY...]
inline constexpr unsigned kAttributes = 1u << 4;  // "attributes": [A...]
inline constexpr unsigned kCount = 1u << 5;       // "count": N
inline constexpr unsigned kValue = 1u << 6;       // "value": VALUE
inline constexpr unsigned kSince = 1u << 7;       // "since": N
}  // namespace member

// How the provider answers an op: one JSON document built whole, one line written straight as
// text (the multi-value reads, whose readings are most of the answer), or a stream of lines
// that takes over the connection.
enum class AnswerKind : uint8_t { kDocument, kText, kStream };

// The ops' names, as "op" carries them.
namespace op {
inline constexpr std::string_view kListComponents = "list-components";
inline constexpr std::string_view kListGroups = "list-groups";
inline constexpr std::string_view kListAttributes = "list-attributes";
inline constexpr std::string_view kGet = "get";
inline constexpr std::string_view kGetNext = "get-next";
inline constexpr std::string_view kGetRow = "get-row";
inline constexpr std::string_view kGetRows = "get-rows";
inline constexpr std::string_view kGetGroup = "get-group";
inline constexpr std::string_view kSet = "set";
inline constexpr std::string_view kEvents = "events";
inline constexpr std::string_view kSubscribe = "subscribe";
inline constexpr std::string_view kStats = "stats";
}  // namespace op

struct OpEntry {
    std::string_view name;
    unsigned members;  // the member:: bits the request may carry
    AnswerKind answer;
};

inline constexpr OpEntry kOps[] = {
    // {"op":"list-components"}
    //     -> "components": [{"id","name","description"}]
    {op::kListComponents, 0, AnswerKind::kDocument},
    // {"op":"list-groups","component":C}
    //     -> "groups": [{"id","name","class","description","keys":[attribute ids]}]
    {op::kListGroups, member::kComponent, AnswerKind::kDocument},
    // {"op":"list-attributes","component":C,"group":G}
    //     -> "attributes": [{"id","name","description","type","maxSize","access",
    //                        "enum":{"<number>":"<text>",...}}]
    //        type is the MIF type name ("counter", "counter64", "gauge", "integer",
    //        "integer64", "octetstring", "displaystring", "date"), access "read-only",
    //        "read-write" or "write-only".
    {op::kListAttributes, member::kComponent | member::kGroup, AnswerKind::kDocument},
    // {"op":"get"|"get-next","component":C,"group":G,"attribute":A,"keys":[KEY...]}
    //     -> "value": VALUE   (present when the status is 0)
    {op::kGet, member::kComponent | member::kGroup | member::kAttribute | member::kKeys,
     AnswerKind::kDocument},
    {op::kGetNext, member::kComponent | member::kGroup | member::kAttribute | member::kKeys,
     AnswerKind::kDocument},
    // {"op":"get-row","component":C,"group":G,"keys":[KEY...],"attributes":[A...]}
    //     -> "attributes": [READING...], one for each attribute of the row `keys` select (those
    //        listed, else each attribute of the group that is not write-only, in MIF order),
    //        each read on its own as a "get" would; status 0x10A (row not found) instead when
    //        a read finds no such row.
    {op::kGetRow, member::kComponent | member::kGroup | member::kKeys | member::kAttributes,
     AnswerKind::kText},
    // {"op":"get-rows","component":C,"group":G,"keys":[KEY...],"count":N,"attributes":[A...]}
    //     -> "rows": [{"keys":[KEY...],"attributes":[READING...]}]: the row `keys` select and
    //        the rows after it, the first key (an integer) counting up by one, at most N rows
    //        (1 to kMaxRowsPerRequest, which is the default); "end": {"reason":R,"index":I}
    //        when the table ended first, at the I-th row asked for (from 0). R is "row not
    //        found" (a read found no such row), "row repeats" (the row answered exactly as the
    //        one before: the keys select nothing) or "no value" (no attribute of the row has a
    //        value; that row is the last in "rows"). Neither of the first two is in "rows".
    //        R is "read failed" when the instrumentation could not read a key attribute of the
    //        I-th row (a key it does not serve reads as no value, as above): whether
    //        that row exists is not known, so it is not in "rows", and the rows after it were
    //        not read; "end" then also has "attribute", "status", "statusName" and, where
    //        there is more to say, "error", as that attribute's READING.
    {op::kGetRows,
     member::kComponent | member::kGroup | member::kKeys | member::kCount | member::kAttributes,
     AnswerKind::kText},
    // {"op":"get-group","component":C,"group":G,"attributes":[A...]}
    //     -> a group without keys: "attributes" as get-row; a table: "rows" and "end" as
    //        get-rows from its first row (every key 1).
    {op::kGetGroup, member::kComponent | member::kGroup | member::kAttributes, AnswerKind::kText},
    // {"op":"set","component":C,"group":G,"attribute":A,"keys":[KEY...],"value":VALUE}
    //     -> nothing more
    {op::kSet,
     member::kComponent | member::kGroup | member::kAttribute | member::kKeys | member::kValue,
     AnswerKind::kDocument},
    // {"op":"events","since":N}
    //     -> "events": [EVENT...] with sequence numbers greater than N (N defaults to 0)
    {op::kEvents, member::kSince, AnswerKind::kDocument},
    // {"op":"subscribe","since":N}
    //     -> {"status":0}, then the events after N, then each new event as it is originated,
    //        one line each ({"event":EVENT}); the connection serves nothing else afterwards.
    //        Each successful set by any client from then on is noticed on its own line,
    //        {"set":{"component":C,"group":G,"attribute":A,"keys":[KEY...]}}, handed to the
    //        subscriptions before the set itself is answered (at most the latest 256 wait for a
    //        subscriber that lags).
    {op::kSubscribe, member::kSince, AnswerKind::kStream},
    // {"op":"stats"}
    //     -> "memory": {"outstanding":N,"allocations":N,"frees":N,"badFrees":N,
    //                   "blocks":[{"size":N,"kind":"<allocating call>"}]},
    //        "registered": [component ids with a registered instrumentation],
    //        "events": {"heldBack":N,"writtenLate":N,"lost":N}: events the log's file did not
    //        take yet, taken later, and never (each also in the provider's log)
    {op::kStats, 0, AnswerKind::kDocument},
};

// The entry of the op `name`, or null when there is no such op.
constexpr const OpEntry* FindOp(std::string_view name) {
    for (const OpEntry& entry : kOps) {
        if (entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

// The member that marks a provider's last response on a connection it closes.
inline constexpr char kClosingMember[] = "closing";
// The member that marks a value unknown that no instrumentation was asked for.
inline constexpr char kUnservedMember[] = "unserved";

// The most rows one get-rows (or get-group) answer carries.
inline constexpr unsigned kMaxRowsPerRequest = 256;

// Why a get-rows answer ended before its count of rows.
inline constexpr char kEndRowNotFound[] = "row not found";
inline constexpr char kEndRowRepeats[] = "row repeats";
inline constexpr char kEndNoValue[] = "no value";
inline constexpr char kEndReadFailed[] = "read failed";

// The socket of the service provider whose directory is $WIN32DMIPATH (either separator).
inline std::string SocketPath() {
    return ProviderFile(ProviderDirectory(), kSocketFileName);
}

}  // namespace korvo::management
