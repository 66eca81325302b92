// CiSetAttribute: the three writable attributes reach the driver through the process's one
// write request record; every other write is accepted and ignored. The record keeps whatever
// the driver's last reply left in the bytes a write does not set. The service provider may
// call in from several threads at once, so the record is locked from the first field a write
// sets until its reply has landed: each exchange carries exactly the fields of one write.
#include "instrumentation/write_attribute.h"

#include <cstdint>
#include <mutex>

#include "driver/driver_request.h"
#include "instrumentation/read_rules.h"

namespace {

enum : uint16_t {
    WriteGroup13Index = 30,   // group 13 attribute 1
    WriteGroup14Index = 32,   // group 14 attribute 1
    WriteGroup14Number = 33,  // group 14 attribute 2
};

DriverRequest writeRequest{};  // zero at start; shared by every write
std::mutex writeRequestLock;

void SendWrite(uint16_t code, const DmiAttributeValues* keyList, uint32_t newValue) {
    // Writes have no mode: the row is K, sent zero-based and cut to the index byte. No row
    // bound applies, so K = 0 goes out as 255.
    const auto rowIndex = static_cast<uint8_t>(RowKey(keyList) - 1);
    std::lock_guard lock(writeRequestLock);
    writeRequest.requestCode = code;
    SetRequestByte(writeRequest, RowIndexByteOffset, rowIndex);
    SetRequestWord(writeRequest, ValueOffset, newValue);
    (void)SendDriverRequest(DriverRequestWord, &writeRequest);
}

}  // namespace

DmiErrorStatus CiSetAttribute(DmiId /*componentId*/, DmiId groupId, DmiId attributeId,
                              DmiString* /*language*/, DmiAttributeValues* keyList,
                              DmiAttributeData* value) {
    // A missing value has no type and nothing to send: group 14 refuses it as not an
    // integer, group 13 sends nothing.
    switch (groupId) {
        case 13:
            // No type test: whatever the type, the value's first 32 bits go to the driver.
            if (attributeId == 1 && value != nullptr) {
                SendWrite(WriteGroup13Index, keyList, value->data.value.words[0]);
            }
            return DMIERR_NO_ERROR;
        case 14:
            // The type test comes first and covers every attribute of the group.
            if (value == nullptr || value->data.type != MIF_INTEGER) {
                return WriteValueNotInteger;
            }
            if (attributeId == 1) {
                SendWrite(WriteGroup14Index, keyList, value->data.value.words[0]);
            } else if (attributeId == 2) {
                SendWrite(WriteGroup14Number, keyList, value->data.value.words[0]);
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
