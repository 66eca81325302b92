// Converting the subagent's names and values to and from Net-SNMP's varbinds.
#include "snmp/netsnmp_values.h"

namespace korvo::snmp {

static_assert(kGenErr == SNMP_ERR_GENERR && kWrongType == SNMP_ERR_WRONGTYPE &&
              kWrongLength == SNMP_ERR_WRONGLENGTH && kWrongValue == SNMP_ERR_WRONGVALUE &&
              kNoCreation == SNMP_ERR_NOCREATION &&
              kResourceUnavailable == SNMP_ERR_RESOURCEUNAVAILABLE &&
              kNotWritable == SNMP_ERR_NOTWRITABLE);

std::vector<oid> ToNetsnmp(const Oid& name) {
    return std::vector<oid>(name.begin(), name.end());
}

Oid FromNetsnmp(const oid* name, size_t length) {
    Oid result;
    result.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        result.push_back(static_cast<uint32_t>(name[i]));
    }
    return result;
}

void SetVarValue(netsnmp_variable_list* variable, const SnmpValue& value) {
    switch (value.kind) {
        case AsnKind::Integer32: {
            const long number = static_cast<long>(value.integer);
            snmp_set_var_typed_value(variable, ASN_INTEGER, &number, sizeof number);
            return;
        }
        case AsnKind::Counter32:
        case AsnKind::Gauge32: {
            const u_long number = static_cast<u_long>(value.integer);
            snmp_set_var_typed_value(variable,
                                     value.kind == AsnKind::Counter32 ? ASN_COUNTER : ASN_GAUGE,
                                     &number, sizeof number);
            return;
        }
        case AsnKind::Counter64: {
            counter64 number{};
            number.high = static_cast<u_long>(value.unsigned64 >> 32);
            number.low = static_cast<u_long>(value.unsigned64 & 0xFFFFFFFFu);
            snmp_set_var_typed_value(variable, ASN_COUNTER64, &number, sizeof number);
            return;
        }
        case AsnKind::OctetString:
            snmp_set_var_typed_value(variable, ASN_OCTET_STR, value.bytes.data(),
                                     value.bytes.size());
            return;
    }
}

int ReadError(ReadFailure failure) {
    switch (failure) {
        case ReadFailure::NoSuchObject:
            return SNMP_NOSUCHOBJECT;
        case ReadFailure::NoSuchInstance:
            return SNMP_NOSUCHINSTANCE;
        case ReadFailure::Failed:
            break;
    }
    return SNMP_ERR_GENERR;
}

std::optional<SnmpValue> OfferedValue(const netsnmp_variable_list* variable) {
    SnmpValue value;
    switch (variable->type) {
        case ASN_INTEGER:
            value.kind = AsnKind::Integer32;
            value.integer = *variable->val.integer;
            return value;
        case ASN_COUNTER:
        case ASN_GAUGE:
            value.kind = variable->type == ASN_COUNTER ? AsnKind::Counter32 : AsnKind::Gauge32;
            value.integer = static_cast<int64_t>(static_cast<uint32_t>(*variable->val.integer));
            return value;
        case ASN_COUNTER64:
            value.kind = AsnKind::Counter64;
            value.unsigned64 = (static_cast<uint64_t>(variable->val.counter64->high) << 32) |
                               (variable->val.counter64->low & 0xFFFFFFFFu);
            return value;
        case ASN_OCTET_STR:
            value.kind = AsnKind::OctetString;
            value.bytes.assign(reinterpret_cast<const char*>(variable->val.string),
                               variable->val_len);
            return value;
        default:
            return std::nullopt;
    }
}

}  // namespace korvo::snmp
