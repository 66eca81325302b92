// The health objects' identifiers and values (see health.h).
#include "snmp/health.h"

#include <algorithm>

namespace korvo::snmp {

namespace {

// SMIv2's DisplayString is at most 255 bytes.
constexpr size_t kMaxText = 255;

}  // namespace

Oid HealthOid(const Oid& prefix, uint32_t component) {
    return Join(prefix, {component, kNotifications, kConformance, kHealthArc});
}

Oid HealthInstanceOid(const Oid& prefix, uint32_t component, uint32_t object) {
    return Join(HealthOid(prefix, component), {object, kScalarInstance});
}

void FailureRecord::Note(uint32_t status, std::string text, int64_t now) {
    ++reads;
    lastTime = now;
    lastStatus = status;
    lastText = std::move(text);
    if (lastText.size() > kMaxText) {
        lastText.resize(kMaxText);
    }
}

SnmpValue HealthValue(uint32_t object, InstrumentationHealth now, const FailureRecord& failures) {
    SnmpValue value;
    switch (object) {
        case kHealthInstrumentation:
            value.kind = AsnKind::Integer32;
            value.integer = static_cast<int>(now);
            break;
        case kHealthReadFailures:
            value.kind = AsnKind::Counter32;
            value.integer = static_cast<int64_t>(failures.reads & 0xFFFFFFFFu);
            break;
        case kHealthLastFailureTime:
            value.kind = AsnKind::Gauge32;
            value.integer = std::clamp<int64_t>(failures.lastTime, 0, 0xFFFFFFFFll);
            break;
        case kHealthLastFailureStatus:
            value.kind = AsnKind::Gauge32;
            value.integer = failures.lastStatus;
            break;
        default:
            value.kind = AsnKind::OctetString;
            value.bytes = failures.lastText;
            break;
    }
    return value;
}

std::optional<uint32_t> HealthObjectNamed(const Oid& prefix, uint32_t component, const Oid& name) {
    for (const HealthObjectInfo& object : kHealthObjects) {
        if (name == HealthInstanceOid(prefix, component, object.id)) {
            return object.id;
        }
    }
    return std::nullopt;
}

std::optional<uint32_t> HealthObjectAfter(const Oid& prefix, uint32_t component, const Oid& name) {
    for (const HealthObjectInfo& object : kHealthObjects) {
        if (name < HealthInstanceOid(prefix, component, object.id)) {
            return object.id;
        }
    }
    return std::nullopt;
}

}  // namespace korvo::snmp
