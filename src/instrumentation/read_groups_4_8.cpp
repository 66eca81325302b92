// Reads of groups 4 to 8: the adapter's addresses and 64-bit traffic counters (4), the address
// table the driver keeps and ends with an empty entry (5), the installed driver (6), the
// driver's state values (7) and the single row of group 8.
#include <cstring>

#include "instrumentation/component_groups.h"
#include "instrumentation/read_rules.h"
#include "platform.h"
#include "state/service_state.h"

using namespace korvo::driver;

namespace {

// Group 4's 64-bit counters: attributes 6 to 13 ask requests 3 to 10.
constexpr DmiId FirstCounterAttribute = 6;
constexpr DmiId LastCounterAttribute = 13;

// Group 8 attribute 2 under get-next.
constexpr DmiErrorStatus AttributeNotFound = DMIERR_ATTRIBUTE_NOT_FOUND;

// The driver's address table: an entry for each value of the index byte.
constexpr uint32_t AddressTableRows = 256;

constexpr size_t AddressBytes = 6;
constexpr uint32_t AddressTextLength = 2 * AddressBytes + 1;  // the NUL counts
constexpr size_t ReplyDataBytes = sizeof(DriverRequest) - kDataOffset;
constexpr uint32_t VersionTextLength = 8;  // "HH.HH.HH"
constexpr int VersionPartCount = 3;
constexpr uint32_t DriverDescriptionLength = 17;
constexpr char DriverFileSuffix[] = ".SYS";
constexpr char NdisFivePrefix[] = "KORVOm5";
constexpr size_t NdisFivePrefixLength = sizeof NdisFivePrefix - 1;
constexpr char NdisTag[] = "NDIS";
constexpr uint32_t NdisTagLength = 27;
constexpr char WindowsDirectoryVariable[] = "windir";
constexpr char SystemSubdirectory[] = "\\system\\";
constexpr size_t PathBufferSize = 100;

// Copies `count` reply bytes starting at record offset `offset`.
void CopyReplyBytes(const DriverRequest& reply, size_t offset, uint8_t* out, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        out[i] = RequestByte(reply, offset + i);
    }
}

// The six address bytes at reply offsets 4 to 9 as twelve hexadecimal digits and their NUL.
DmiErrorStatus SetAddressText(DmiAttributeData* record, const DriverRequest& reply) {
    uint8_t address[AddressBytes];
    CopyReplyBytes(reply, kDataOffset, address, AddressBytes);
    char text[AddressTextLength];
    FormatHex(text, address, AddressBytes);
    return SetString(record, text, AddressTextLength);
}

// The address of request `code`; ValueUnknown when the driver did not answer.
DmiErrorStatus ReadAddress(DmiAttributeData* record, uint16_t code) {
    DriverRequest reply;
    if (!AskDriver(code, reply)) {
        return ValueUnknown;
    }
    return SetAddressText(record, reply);
}

// Request 11 for the requested row: index byte (R - 1) mod 256, and the same byte
// sign-extended in the value field. True, with the reply in `reply`, when the driver answered.
bool AskAddressTableEntry(uint32_t row, DriverRequest& reply) {
    reply = MakeDriverRequest(code::kMulticastEntry);
    const auto index = static_cast<uint8_t>(row - 1);
    SetRequestByte(reply, kIndexOffset, index);
    SetRequestWord(reply, kValueOffset,
                   static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(index))));
    return ExchangeWithDriver(reply);
}

bool IsEmptyEntry(const DriverRequest& reply) {
    return RequestByte(reply, kIndexOffset) == kNoSuchEntry;
}

char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool NamesNdisFiveDriver(const char* name, size_t length) {
    if (length < NdisFivePrefixLength) {
        return false;
    }
    for (size_t i = 0; i < NdisFivePrefixLength; ++i) {
        if (AsciiUpper(name[i]) != AsciiUpper(NdisFivePrefix[i])) {
            return false;
        }
    }
    return true;
}

// The driver's file name from request 13 with ".SYS" appended. A name that fills the reply's
// data bytes without a NUL is taken as those bytes; nothing past the record is read.
DmiErrorStatus ReadDriverFileName(DmiAttributeData* record) {
    DriverRequest reply;
    if (!AskDriver(code::kDriverName, reply)) {
        return ValueUnknown;
    }
    char name[ReplyDataBytes + sizeof DriverFileSuffix];
    size_t length = 0;
    while (length < ReplyDataBytes) {
        const char c = static_cast<char>(RequestByte(reply, kDataOffset + length));
        if (c == '\0') {
            break;
        }
        name[length++] = c;
    }
    std::memcpy(name + length, DriverFileSuffix, sizeof DriverFileSuffix);
    length += sizeof DriverFileSuffix - 1;

    const DmiErrorStatus status = SetString(record, name, static_cast<uint32_t>(length));
    if (status != DMIERR_NO_ERROR) {
        return status;
    }
    if (NamesNdisFiveDriver(name, length)) {
        InterlockedExchange(&serviceState.driverVariant, 1);
    }
    return DMIERR_NO_ERROR;
}

// The three version bytes as "HH.HH.HH": reply byte 6, then 5, then 4.
DmiErrorStatus ReadDriverVersion(DmiAttributeData* record) {
    uint8_t version[VersionBytes];
    if (!AskDriverVersion(version)) {
        return ValueUnknown;
    }
    char text[VersionTextLength + 1];
    std::memcpy(text, "X.XX.XXX", sizeof text);
    FormatVersion(text, version, VersionPartCount);
    text[2] = '.';  // the NULs that end the first two pairs become separators
    text[5] = '.';
    return SetString(record, text, VersionTextLength);
}

// Appends `text` at `used` when it fits with its NUL; false, and nothing written, when not.
bool AppendToPath(char (&path)[PathBufferSize], size_t& used, const char* text) {
    const size_t length = std::strlen(text);
    if (used + length + 1 > PathBufferSize) {
        return false;
    }
    std::memcpy(path + used, text, length + 1);
    used += length;
    return true;
}

// Size of the installed driver file in the Windows system directory. Unknown when windir is
// not set or too long for the path, or the file can't be opened or sized.
DmiErrorStatus ReadInstalledDriverFileSize(DmiAttributeData* record) {
    char path[PathBufferSize] = {};
    const DWORD windirLength = GetEnvironmentVariableA(WindowsDirectoryVariable, path, sizeof path);
    if (windirLength == 0 || windirLength >= sizeof path) {
        return ValueUnknown;  // not set, or the value didn't fit and nothing was stored
    }
    size_t used = windirLength;
    if (!AppendToPath(path, used, SystemSubdirectory) ||
        !AppendToPath(path, used, DriverFileNames[DriverVariant()])) {
        return ValueUnknown;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return ValueUnknown;
    }
    const DWORD size = GetFileSize(file, nullptr);
    CloseHandle(file);
    if (size == INVALID_FILE_SIZE) {
        return ValueUnknown;
    }
    SetInteger(record, size);
    return DMIERR_NO_ERROR;
}

}  // namespace

DmiErrorStatus ReadGroup4(ReadCall& call) {
    if (RefusedSingleRow(call)) {
        return RowNotFound;
    }
    switch (call.attributeId) {
        case 1:
            SetInteger(call.record, 0);
            break;
        case 2:
            return ReadAddress(call.record, code::kAddress1);
        case 3:
            return ReadAddress(call.record, code::kAddress2);
        case 4:
            SetInteger(call.record, 1);
            break;
        case 5:
            SetInteger(call.record, 10);
            break;
        default:
            if (call.attributeId >= FirstCounterAttribute &&
                call.attributeId <= LastCounterAttribute) {
                const auto counter = static_cast<uint16_t>(
                    code::kFirstPortCounter + (call.attributeId - FirstCounterAttribute));
                return SetReplyCounter64(call.record, counter);
            }
            break;
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadGroup5(ReadCall& call) {
    if (call.attributeId < 1 || call.attributeId > 4) {
        return DMIERR_NO_ERROR;
    }
    // Every attribute of a row answers only for an entry the driver has: rows 1 to 256, one
    // for each index byte, ending at the first empty entry.
    const uint32_t row = RequestedRow(call);
    if (row == 0 || RowBeyond(call, AddressTableRows)) {
        return RowNotFound;
    }
    DriverRequest reply;
    if (!AskAddressTableEntry(row, reply)) {
        return ValueUnknown;
    }
    if (IsEmptyEntry(reply)) {
        return RowNotFound;
    }
    switch (call.attributeId) {
        case 1:
            SetInteger(call.record, row);
            break;
        case 2:
            SetInteger(call.record, 0);
            break;
        case 3:
            SetInteger(call.record, 1);
            break;
        default:
            return SetAddressText(call.record, reply);
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadGroup6(ReadCall& call) {
    if (RefusedSingleRow(call)) {
        return RowNotFound;
    }
    switch (call.attributeId) {
        case 1:
            SetInteger(call.record, 0);
            break;
        case 2:
            return ReadDriverFileName(call.record);
        case 3:
            return ReadDriverVersion(call.record);
        case 4:
        case 7:
            return SetString(call.record, DriverDescriptions[DriverVariant()],
                             DriverDescriptionLength);
        case 5:
            return ReadInstalledDriverFileSize(call.record);
        case 6:
            SetInteger(call.record, 4);
            break;
        case 8: {
            char tag[NdisTagLength] = {};
            std::memcpy(tag, NdisTag, sizeof NdisTag);
            return SetString(call.record, tag, NdisTagLength);
        }
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadGroup7(ReadCall& call) {
    uint32_t state = 0;
    switch (call.attributeId) {
        case 1:
            return SetReplyInteger(call.record, code::kGroup7Attribute1);
        case 2:
            return SetReplyInteger(call.record, code::kGroup7Attribute2);
        case 3:
            return SetReplyInteger(call.record, code::kGroup7Attribute3);
        case 4: {
            if (!AskDriverValue(code::kState, state)) {
                return ValueUnknown;
            }
            uint32_t value = 1;
            if (state == 2 || state == 4) {
                value = 2;
            } else if (state == 1) {
                value = 5;
            } else if (state == 3) {
                value = 6;
            }
            SetInteger(call.record, value);
            break;
        }
        case 5:
            if (!AskDriverValue(code::kState, state)) {
                return ValueUnknown;
            }
            SetInteger(call.record, state == 2 || state == 4 ? 4 : 5);
            break;
        case 6: {
            DriverRequest reply;
            if (!AskDriver(code::kFailoverStatus, reply)) {
                return ValueUnknown;
            }
            SetInteger(call.record, RequestByte(reply, kFailoverByteOffset));
            break;
        }
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadGroup8(ReadCall& call) {
    if (RefusedSingleRow(call)) {
        return RowNotFound;
    }
    switch (call.attributeId) {
        case 1:
            SetInteger(call.record, 0);
            break;
        case 2:
            if (IsGetNext(call)) {
                return AttributeNotFound;
            }
            SetInteger(call.record, 0);
            break;
        case 3:
        case 5:
            SetInteger(call.record, 3);
            break;
        case 4:
        case 6:
            SetInteger(call.record, 4);
            break;
        case 7:
        case 8:
            SetInteger(call.record, 0, MIF_COUNTER);
            break;
        case 9:
            return SetReplyInteger(call.record, code::kGroup8Attribute9, MIF_COUNTER);
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}
