// Reads of the groups that describe the installed driver: "Driver" (group 6: the driver's file
// name, which also tells the NDIS 5.0 variant, its version, description, installed file size
// and interface) and "Driver Version" (group 16: the version's parts and the driver's language).
#include <cstring>

#include "instrumentation/component_groups.h"
#include "instrumentation/read_rules.h"
#include "korvo/ascii.h"
#include "platform.h"
#include "state/service_state.h"

using namespace korvo::driver;

namespace {

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

constexpr uint32_t VersionPairLength = 2;
constexpr size_t VersionPairBufferSize = VersionPairLength + 1;
constexpr int VersionByte2Mode = -1;
constexpr int VersionByte1Mode = -2;
constexpr int VersionByte0Mode = -3;

// Language codes by the reply value 1 to 5: two letters, a NUL and a zero byte.
constexpr char LanguageCodes[5][4] = {"en", "ge", "fr", "it", "sp"};
constexpr uint32_t LanguageCodeLength = 3;  // the two letters and the NUL

// The driver version's fixed text: these characters and their NUL, then zero bytes.
constexpr char FixedText[] = "000101234";
constexpr uint32_t FixedTextLength = 32;

using korvo::AsciiUpper;

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
DmiErrorStatus ReadDriverVersionText(DmiAttributeData* record) {
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

DmiErrorStatus SetVersionPair(DmiAttributeData* record, int mode) {
    uint8_t version[VersionBytes];
    if (!AskDriverVersion(version)) {
        return ValueUnknown;
    }
    char pair[VersionPairBufferSize];
    FormatVersion(pair, version, mode);
    return SetString(record, pair, VersionPairLength);
}

// The string is created holding "en"; a reply value of 1 to 5 then puts its code in the body,
// any other value leaves "en".
DmiErrorStatus SetLanguageCode(DmiAttributeData* record) {
    uint32_t selector = 0;
    if (!AskDriverValue(code::kLanguage, selector)) {
        return ValueUnknown;
    }
    const DmiErrorStatus status = SetString(record, LanguageCodes[0], LanguageCodeLength);
    if (status != DMIERR_NO_ERROR) {
        return status;
    }
    if (selector >= 1 && selector <= 5) {
        std::memcpy(record->data.value.str->body, LanguageCodes[selector - 1], LanguageCodeLength);
    }
    return DMIERR_NO_ERROR;
}

}  // namespace

DmiErrorStatus ReadDriver(ReadCall& call) {
    using namespace component::driver;
    DmiErrorStatus status = DMIERR_NO_ERROR;
    if (AnsweredSingleRowIndex(call, status)) {
        return status;
    }
    switch (call.attributeId) {
        case kDriverFileName:
            return ReadDriverFileName(call.record);
        case kDriverVersion:
            return ReadDriverVersionText(call.record);
        case kDriverDescription:
        case kDriverDescriptionRepeated:
            return SetString(call.record, DriverDescriptions[DriverVariant()],
                             DriverDescriptionLength);
        case kDriverFileSize:
            return ReadInstalledDriverFileSize(call.record);
        case kFixedValueAttribute6:
            SetInteger(call.record, 4);
            break;
        case kDriverInterface: {
            char tag[NdisTagLength] = {};
            std::memcpy(tag, NdisTag, sizeof NdisTag);
            return SetString(call.record, tag, NdisTagLength);
        }
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadDriverVersion(ReadCall& call) {
    using namespace component::driver_version;
    switch (call.attributeId) {
        case kDriverVersionFirstPart:
            return SetVersionPair(call.record, VersionByte2Mode);
        case kDriverVersionSecondPart:
            return SetVersionPair(call.record, VersionByte1Mode);
        case kDriverVersionThirdPart:
        case kDriverVersionThirdPartRepeated:
            return SetVersionPair(call.record, VersionByte0Mode);
        case kFixedValueAttribute5:
            SetInteger(call.record, 6);
            break;
        case kLanguageCode:
            return SetLanguageCode(call.record);
        case kFixedText: {
            char text[FixedTextLength] = {};  // the text, its NUL, then zero bytes
            std::memcpy(text, FixedText, sizeof FixedText);
            return SetString(call.record, text, FixedTextLength);
        }
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}
