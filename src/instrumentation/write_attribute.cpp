// CiSetAttribute: the three writable attributes reach the driver through the process's one
// write request record; every other write is accepted and ignored. A write names a row of the
// table its reads serve, and carries a value of the table's type, or nothing is sent. The
// record keeps whatever the driver's last reply left in the bytes a write does not set. The
// service provider may call in from several threads at once, so the record is locked from the
// first field a write sets until its reply has landed: each exchange carries exactly the
// fields of one write.
#include "instrumentation/write_attribute.h"

#include <cstdint>

#include "driver/driver_channel.h"
#include "platform.h"
#include "instrumentation/component_groups.h"
#include "instrumentation/read_rules.h"

using namespace korvo::driver;

namespace {

DriverRequest writeRequest{};  // zero at start; shared by every write
// Made ready before WinMain (or any other caller in the program) runs, and never deleted: the
// service provider's threads may still be inside a write while the process ends.
CRITICAL_SECTION writeRequestLock;
[[maybe_unused]] const bool writeRequestLockReady = [] {
    InitializeCriticalSection(&writeRequestLock);
    return true;
}();

// A value the driver takes as a 32-bit number: counter, gauge or integer.
bool Is32BitNumber(const DmiAttributeData* value) {
    if (value == nullptr) {
        return false;
    }
    const DmiUnsigned type = value->data.type;
    return type == MIF_COUNTER || type == MIF_GAUGE || type == MIF_INTEGER;
}

// Sends one write for the row K of a table of `lastRow` rows. Writes have no mode: a row
// outside 1 to `lastRow` is refused and nothing is sent; otherwise K - 1 goes out as the
// index byte. A driver that does not take the write makes its value unknown.
DmiErrorStatus SendWrite(uint16_t code, const DmiAttributeValues* keyList, uint32_t lastRow,
                         uint32_t newValue) {
    const uint32_t row = RowKey(keyList);
    if (row == 0 || row > lastRow) {
        return RowNotFound;
    }
    EnterCriticalSection(&writeRequestLock);
    writeRequest.requestCode = code;
    // The status is the driver's answer to this write, not a failure left by the last one.
    writeRequest.status = 0;
    SetRequestByte(writeRequest, kIndexOffset, static_cast<uint8_t>(row - 1));
    SetRequestWord(writeRequest, kValueOffset, newValue);
    const bool sent = SendDriverRequest(kRequestControlWord, &writeRequest);
    LeaveCriticalSection(&writeRequestLock);
    return sent ? DMIERR_NO_ERROR : ValueUnknown;
}

}  // namespace

DmiErrorStatus CiSetAttribute(DmiId /*componentId*/, DmiId groupId, DmiId attributeId,
                              DmiString* /*language*/, DmiAttributeValues* keyList,
                              DmiAttributeData* value) {
    switch (groupId) {
        case component::driver_table_125_rows::kGroupId:
            if (attributeId != component::driver_table_125_rows::kRowNumber) {
                return DMIERR_NO_ERROR;
            }
            if (!Is32BitNumber(value)) {
                return WriteValueNotInteger;
            }
            return SendWrite(code::kTable125Index, keyList, Table125LastRow,
                             value->data.value.words[0]);
        case component::driver_table_35_rows::kGroupId:
            // The type test comes first and covers every attribute of the group.
            if (value == nullptr || value->data.type != MIF_INTEGER) {
                return WriteValueNotInteger;
            }
            if (attributeId == component::driver_table_35_rows::kRowNumber) {
                return SendWrite(code::kTable35Index, keyList, Table35LastRow,
                                 value->data.value.words[0]);
            }
            if (attributeId == component::driver_table_35_rows::kRowValue) {
                return SendWrite(code::kTable35ValueWrite, keyList, Table35LastRow,
                                 value->data.value.words[0]);
            }
            return DMIERR_NO_ERROR;
        default:
            return DMIERR_NO_ERROR;
    }
}

DmiErrorStatus CiReserveAttribute(DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned) {
    return DMIERR_NO_ERROR;
}

DmiErrorStatus CiReleaseAttribute(DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned) {
    return DMIERR_NO_ERROR;
}

DmiErrorStatus CiAddRow(DmiUnsigned) {
    return DMIERR_NO_ERROR;
}

DmiErrorStatus CiDeleteRow(DmiUnsigned) {
    return DMIERR_NO_ERROR;
}
