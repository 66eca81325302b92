// The reads of each kind and their bare exchanges, and the check that both work before any
// figure is taken.
#include "read_kinds.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "dmi/dmi_api.h"
#include "heap_dmi.h"
#include "instrumentation/read_attribute.h"
#include "state/service_state.h"

using namespace korvo::driver;

namespace korvo::bench {

const ReadKind* FindReadKind(std::string_view name) {
    for (const ReadKind& kind : kReadKinds) {
        if (kind.name == name) {
            return &kind;
        }
    }
    return nullptr;
}

KindRunner::KindRunner(const ReadKind& kind) : kind_(kind) {
    if (kind.row != 0) {
        keyEntry_.id = 1;
        keyEntry_.data.type = MIF_INTEGER;
        keyEntry_.data.value.words[0] = kind.row;
        keys_.size = 1;
        keys_.list = &keyEntry_;
    }
    // The request as the read builds it: zeroed, the code, and for a table the row index R - 1
    // (a get asks for the key's row) in byte 11 and in the u32 at 16.
    std::memset(&request_, 0, sizeof request_);
    request_.requestCode = kind.requestCode;
    if (kind.sendsRowIndex) {
        const uint32_t index = (kind.row == 0 ? 1 : kind.row) - 1;
        auto* bytes = reinterpret_cast<uint8_t*>(&request_);
        bytes[kIndexOffset] = static_cast<uint8_t>(index);
        for (size_t i = 0; i < 4; ++i) {
            bytes[kValueOffset + i] = static_cast<uint8_t>(index >> (8 * i));
        }
    }
}

DmiErrorStatus KindRunner::Read() {
    DmiAttributeData* value = nullptr;
    const DmiErrorStatus status =
        ReadAttribute(1, kind_.group, kind_.attribute, nullptr, kind_.row != 0 ? &keys_ : nullptr,
                      &value, ReadModeGet);
    DmiApi.DmiFreeAttributeData(value, serviceState.memoryDescriptor);
    return status;
}

bool KindRunner::Exchange() {
    DriverRequest request = request_;  // the reply overwrites it
    return SendDriverRequest(kRequestControlWord, &request);
}

void KindRunner::Check() {
    const std::string what = "the " + std::string(kind_.name) + " read (group " +
                             std::to_string(kind_.group) + " attribute " +
                             std::to_string(kind_.attribute) + ")";
    DmiAttributeData* value = nullptr;
    const DmiErrorStatus status =
        ReadAttribute(1, kind_.group, kind_.attribute, nullptr, kind_.row != 0 ? &keys_ : nullptr,
                      &value, ReadModeGet);
    const DmiUnsigned type = value != nullptr ? value->data.type : 0;
    DmiApi.DmiFreeAttributeData(value, serviceState.memoryDescriptor);
    if (status != DMIERR_NO_ERROR) {
        throw std::runtime_error(what + " returned status " + std::to_string(status));
    }
    if (type != kind_.expectedType) {
        throw std::runtime_error(what + " gave type code " + std::to_string(type) + " instead of " +
                                 std::to_string(kind_.expectedType));
    }
    if (kind_.asksDriver && !Exchange()) {
        throw std::runtime_error("the driver did not answer request " +
                                 std::to_string(kind_.requestCode) + " of " + what);
    }
    if (HeapDmi::Outstanding() != 0) {
        throw std::runtime_error(what + " left " + std::to_string(HeapDmi::Outstanding()) +
                                 " DMI blocks behind");
    }
}

}  // namespace korvo::bench
