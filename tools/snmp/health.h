// The component's health as dmi-snmp serves it beside the component's own groups, for
// monitoring that runs unattended: whether the instrumentation answers now, how many reads
// failed since dmi-snmp started, and the last failure's time, DMI status and text. The MIB
// writer and the subagent share this table.
//
// Its objects are scalars PREFIX.C.0.0.4.N.0: the arc below the module's conformance arc,
// the one arc of a component's subtree that no DMI group (numbered from 1) can take.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "snmp/oid_mapping.h"

namespace korvo::snmp {

// PREFIX.C.0.0.kHealthArc; the MIB's object group of them is PREFIX.C.0.0.kHealthGroupArc.
inline constexpr uint32_t kHealthArc = 4;
inline constexpr uint32_t kHealthGroupArc = 5;

enum HealthObject : uint32_t {
    kHealthInstrumentation = 1,
    kHealthReadFailures = 2,
    kHealthLastFailureTime = 3,
    kHealthLastFailureStatus = 4,
    kHealthLastFailureText = 5,
};

// The values of the instrumentation object.
enum class InstrumentationHealth : int {
    Answering = 1,    // every group's first values were read now
    Failing = 2,      // a read failed now: the driver or the instrumentation does not answer
    Unavailable = 3,  // nothing serves the component: no instrumentation, no service provider
};

struct HealthObjectInfo {
    uint32_t id;
    const char* stem;    // its descriptor after the component's word: korvoHealth<stem>
    const char* syntax;  // as the MIB writes it
    AsnKind kind;
    const char* units;  // or nullptr
    const char* description;
};

inline constexpr HealthObjectInfo kHealthObjects[] = {
    {kHealthInstrumentation, "Instrumentation",
     "INTEGER { answering(1), failing(2), unavailable(3) }", AsnKind::Integer32, nullptr,
     "Whether the component's instrumentation answers, checked when this object is read (at "
     "most once a second): answering when the first values of every group (its first row for a "
     "table) were read, failing when one of those reads failed (a stopped or failing driver: "
     "the failure is also counted and recorded below), unavailable when nothing serves the "
     "component (no instrumentation registered, the service provider does not answer). Alert "
     "on any value but answering(1)."},
    {kHealthReadFailures, "ReadFailures", "Counter32", AsnKind::Counter32, nullptr,
     "Reads of the component's values that failed since dmi-snmp started: each get, get-next "
     "step or health check answered with an error instead of a value."},
    {kHealthLastFailureTime, "LastFailureTime", "Unsigned32", AsnKind::Gauge32, "seconds",
     "When the last failed read happened, in seconds since 1970-01-01 00:00 UTC; 0 when none "
     "failed since dmi-snmp started."},
    {kHealthLastFailureStatus, "LastFailureStatus", "Unsigned32", AsnKind::Gauge32, nullptr,
     "The DMI status of the last failed read (0x10F = 271: value unknown, the driver did not "
     "answer); 0 when none failed, or when the service provider itself did not answer."},
    {kHealthLastFailureText, "LastFailure", "DisplayString (SIZE (0..255))", AsnKind::OctetString,
     nullptr,
     "What the last failed read was and why, as text; empty when none failed since dmi-snmp "
     "started."},
};

// PREFIX.C.0.0.4
Oid HealthOid(const Oid& prefix, uint32_t component);

// The failed reads a subagent saw since it started, per component.
struct FailureRecord {
    uint64_t reads = 0;
    int64_t lastTime = 0;  // seconds since 1970
    uint32_t lastStatus = 0;
    std::string lastText;

    void Note(uint32_t status, std::string text, int64_t now);
};

// A health object's value.
SnmpValue HealthValue(uint32_t object, InstrumentationHealth now, const FailureRecord& failures);

// The health object that `name` is the instance of; nothing for any other name.
std::optional<uint32_t> HealthObjectNamed(const Oid& prefix, uint32_t component, const Oid& name);

// The first health object whose instance comes after `name`; nothing when none does.
std::optional<uint32_t> HealthObjectAfter(const Oid& prefix, uint32_t component, const Oid& name);

// The instance of a health object: PREFIX.C.0.0.4.N.0.
Oid HealthInstanceOid(const Oid& prefix, uint32_t component, uint32_t object);

}  // namespace korvo::snmp
