// The read rules every group's reader shares: the row key and checks, the driver exchange, the
// driver variant, integer and string values, and the formatting of addresses and versions.
#include "instrumentation/read_rules.h"

#include <cstring>

#include "dmi/dmi_api.h"
#include "korvo/hex_digit.h"
#include "state/service_state.h"

using namespace korvo::driver;

uint32_t RowKey(const DmiAttributeValues* keyList) {
    if (keyList == nullptr || keyList->size == 0 || keyList->list == nullptr) {
        return 1;
    }
    const uint32_t key = keyList->list[0].data.value.words[0];
    return key == 0xFFFFFFFFu ? 1 : key;
}

uint32_t RequestedRow(const ReadCall& call) {
    return RowKey(call.keyList) + call.mode;
}

bool RefusedSingleRow(const ReadCall& call) {
    return RowBeyond(call, 1) || (call.attributeId == 1 && IsGetNext(call));
}

bool AnsweredSingleRowIndex(const ReadCall& call, DmiErrorStatus& status) {
    if (RefusedSingleRow(call)) {
        status = RowNotFound;
        return true;
    }
    if (call.attributeId == 1) {
        SetInteger(call.record, 0);
        status = DMIERR_NO_ERROR;
        return true;
    }
    return false;
}

bool ExchangeWithDriver(DriverRequest& request) {
    return SendDriverRequest(kRequestControlWord, &request);
}

bool AskDriver(uint16_t code, DriverRequest& reply) {
    reply = MakeDriverRequest(code);
    return ExchangeWithDriver(reply);
}

bool AskDriverValue(uint16_t code, uint32_t& value) {
    DriverRequest reply;
    if (!AskDriver(code, reply)) {
        return false;
    }
    value = ReplyValue(reply);
    return true;
}

uint64_t ReplyValue64(const DriverRequest& reply) {
    return static_cast<uint64_t>(RequestWord(reply, kHighOffset)) << 32 |
           RequestWord(reply, kValueOffset);
}

bool AskDriverVersion(uint8_t (&version)[VersionBytes]) {
    DriverRequest reply;
    if (!AskDriver(code::kDriverVersion, reply)) {
        return false;
    }
    for (size_t i = 0; i < VersionBytes; ++i) {
        version[i] = RequestByte(reply, kDataOffset + i);
    }
    return true;
}

uint32_t DriverVariant() {
    // An aligned word is read whole; the atomic load says so to the compiler and to the
    // thread checker, and is one plain move on the target.
    return __atomic_load_n(&serviceState.driverVariant, __ATOMIC_RELAXED) != 0 ? 1 : 0;
}

void SetInteger(DmiAttributeData* record, uint32_t value, DmiUnsigned type) {
    record->data.type = type;
    record->data.value.words[0] = value;
}

void SetInteger64(DmiAttributeData* record, uint64_t value, DmiUnsigned type) {
    record->data.type = type;
    record->data.value.words[0] = static_cast<uint32_t>(value);
    record->data.value.words[1] = static_cast<uint32_t>(value >> 32);
}

DmiErrorStatus SetReplyInteger(DmiAttributeData* record, uint16_t code, DmiUnsigned type) {
    uint32_t value = 0;
    if (!AskDriverValue(code, value)) {
        return ValueUnknown;
    }
    SetInteger(record, value, type);
    return DMIERR_NO_ERROR;
}

DmiErrorStatus SetReplyCounter64(DmiAttributeData* record, uint16_t code) {
    DriverRequest reply;
    if (!AskDriver(code, reply)) {
        return ValueUnknown;
    }
    SetInteger64(record, ReplyValue64(reply), MIF_COUNTER64);
    return DMIERR_NO_ERROR;
}

DmiErrorStatus SetString(DmiAttributeData* record, const void* text, uint32_t length) {
    DmiErrorStatus status = DMIERR_NO_ERROR;
    DmiString* str = DmiApi.DmiNewOctetString(length, text, serviceState.memoryDescriptor, &status);
    record->data.value.str = str;
    if (status != DMIERR_NO_ERROR) {
        return status;
    }
    str->size = length;
    if (length != 0) {
        std::memcpy(str->body, text, length);
    }
    record->data.type = MIF_DISPLAYSTRING;
    return DMIERR_NO_ERROR;
}

void FormatHex(char* out, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        *out++ = korvo::UpperHexDigit(bytes[i] >> 4);
        *out++ = korvo::UpperHexDigit(bytes[i]);
    }
    *out = '\0';
}

void FormatVersion(char* out, const uint8_t* versionBytes, int mode) {
    if (mode <= -1 && mode >= -3) {
        FormatHex(out, &versionBytes[3 + mode], 1);  // -1: byte 2, -2: byte 1, -3: byte 0
        return;
    }
    for (int part = 0; part < mode && part < 3; ++part) {
        FormatHex(out + 3 * part, &versionBytes[2 - part], 1);
    }
}
