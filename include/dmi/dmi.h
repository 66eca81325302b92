// The published interface of the DMI client library Wcdmi.dll: the records that cross it and
// the signatures of its entry points. The agent calls the library through these, the service
// provider stand-in implements them, and both must agree to the byte.
//
// Every record is a plain C struct whose members are the record's fields in their documented
// order: 32-bit fields as uint32_t, pointers and callbacks as native pointers. On the 32-bit
// target the sizes and offsets are pinned below; on a 64-bit host natural alignment follows.
#pragma once

#include <stddef.h>
#include <stdint.h>

extern "C" {

typedef uint32_t DmiUnsigned;
typedef uint32_t DmiId;
typedef uint32_t DmiHandle;
typedef uint32_t DmiErrorStatus;
typedef uint32_t DmiBoolean;

// The service provider's memory descriptor: an opaque token passed to every allocating and
// freeing call.
typedef void* DmiMemDsc;

// DMI error status codes and their names in the standard: X(constant, code, name).
#define KORVO_DMI_STATUSES(X)                                                           \
    X(DMIERR_NO_ERROR, 0x000, "no error")                                               \
    X(DMIERR_ATTRIBUTE_NOT_FOUND, 0x100, "attribute not found")                         \
    X(DMIERR_VALUE_EXCEEDS_MAXSIZE, 0x101, "value exceeds maximum size")                \
    X(DMIERR_COMPONENT_NOT_FOUND, 0x102, "component not found")                         \
    X(DMIERR_GROUP_NOT_FOUND, 0x104, "group not found")                                 \
    X(DMIERR_ILLEGAL_KEYS, 0x105, "illegal keys")                                       \
    X(DMIERR_ILLEGAL_TO_SET, 0x106, "illegal to set")                                   \
    X(DMIERR_ROW_NOT_FOUND, 0x10A, "row not found")                                     \
    X(DMIERR_DIRECT_INTERFACE_NOT_REGISTERED, 0x10B, "direct interface not registered") \
    X(DMIERR_DATABASE_CORRUPT, 0x10C, "database corrupt")                               \
    X(DMIERR_VALUE_UNKNOWN, 0x10F, "value unknown")                                     \
    X(DMIERR_BUFFER_FULL, 0x200, "buffer full")                                         \
    X(DMIERR_ILL_FORMED_COMMAND, 0x201, "ill-formed command")                           \
    X(DMIERR_ILLEGAL_HANDLE, 0x203, "illegal handle")                                   \
    X(DMIERR_OUT_OF_MEMORY, 0x204, "out of memory")

enum : DmiErrorStatus {
#define KORVO_DMI_STATUS_CONSTANT(constant, code, name) constant = code,
    KORVO_DMI_STATUSES(KORVO_DMI_STATUS_CONSTANT)
#undef KORVO_DMI_STATUS_CONSTANT
};

// Data type codes of the data union, with their MIF type names and the bytes a value takes
// (0: a string, whose size the attribute declares): X(constant, code, name, size).
#define KORVO_MIF_TYPES(X)                      \
    X(MIF_COUNTER, 1, "counter", 4)             \
    X(MIF_COUNTER64, 2, "counter64", 8)         \
    X(MIF_GAUGE, 3, "gauge", 4)                 \
    X(MIF_INTEGER, 5, "integer", 4)             \
    X(MIF_INTEGER64, 6, "integer64", 8)         \
    X(MIF_OCTETSTRING, 7, "octetstring", 0)     \
    X(MIF_DISPLAYSTRING, 8, "displaystring", 0) \
    X(MIF_DATE, 11, "date", 28)

// The other spellings a MIF file may use for a type: X(constant, name).
#define KORVO_MIF_TYPE_ALIASES(X) \
    X(MIF_INTEGER, "int")         \
    X(MIF_INTEGER64, "int64")     \
    X(MIF_DISPLAYSTRING, "string")

enum : DmiUnsigned {
#define KORVO_MIF_TYPE_CONSTANT(constant, code, name, size) constant = code,
    KORVO_MIF_TYPES(KORVO_MIF_TYPE_CONSTANT)
#undef KORVO_MIF_TYPE_CONSTANT
};

// File types of a file-data entry.
enum : DmiUnsigned {
    DMI_MIF_FILE_NAME = 2,
};

// A counted string: its body holds exactly `size` bytes, with no terminator counted.
typedef struct DmiString {
    DmiUnsigned size;
    char* body;
} DmiString;

typedef DmiString DmiOctetString;

// The 28-byte date string "yyyymmddHHMMSS.uuuuuu+ooo".
typedef struct DmiTimestamp {
    char text[28];
} DmiTimestamp;

// The value of an attribute: a type code and a union wide enough for a 64-bit integer, so the
// value sits at offset 8 of the union on every build.
typedef struct DmiDataUnion {
    DmiUnsigned type;
    union alignas(8) {
        DmiUnsigned counter;
        uint64_t counter64;
        DmiUnsigned gauge;
        int32_t integer;
        int64_t integer64;
        DmiOctetString* octetstring;
        DmiString* str;
        DmiTimestamp* date;
        uint32_t words[2];
    } value;
} DmiDataUnion;

// One attribute's id and value; also the element of key lists and of a row's values.
typedef struct DmiAttributeData {
    DmiId id;
    DmiDataUnion data;
} DmiAttributeData;

typedef struct DmiAttributeValues {
    DmiUnsigned size;
    DmiAttributeData* list;
} DmiAttributeValues;

// One row of a group: what a multi-row record (an event, a GetMultiple reply) carries.
typedef struct DmiRowData {
    DmiId compId;
    DmiId groupId;
    DmiString* className;
    DmiAttributeValues* keyList;
    DmiAttributeValues* values;
} DmiRowData;

typedef struct DmiMultiRowData {
    DmiUnsigned size;
    DmiRowData* list;
} DmiMultiRowData;

// A request for rows, the counterpart of DmiMultiRowData in GetMultiple.
typedef struct DmiRowRequest {
    DmiId compId;
    DmiId groupId;
    DmiUnsigned requestMode;
    DmiAttributeValues* keyList;
    DmiId attributeId;
} DmiRowRequest;

typedef struct DmiMultiRowRequest {
    DmiUnsigned size;
    DmiRowRequest* list;
} DmiMultiRowRequest;

typedef struct DmiFileDataInfo {
    DmiUnsigned fileType;
    DmiOctetString* fileData;
} DmiFileDataInfo;

typedef struct DmiFileDataList {
    DmiUnsigned size;
    DmiFileDataInfo* list;
} DmiFileDataList;

typedef struct DmiFileTypeList {
    DmiUnsigned size;
    DmiUnsigned* list;
} DmiFileTypeList;

typedef struct DmiComponentInfo {
    DmiId id;
    DmiString* name;
    DmiString* description;
    DmiBoolean exactMatch;
} DmiComponentInfo;

typedef struct DmiComponentList {
    DmiUnsigned size;
    DmiComponentInfo* list;
} DmiComponentList;

typedef struct DmiClassNameInfo {
    DmiId id;
    DmiString* className;
} DmiClassNameInfo;

typedef struct DmiClassNameList {
    DmiUnsigned size;
    DmiClassNameInfo* list;
} DmiClassNameList;

typedef struct DmiGroupInfo {
    DmiId id;
    DmiString* name;
    DmiString* pragma;
    DmiString* className;
    DmiString* description;
    DmiAttributeValues* keyList;
} DmiGroupInfo;

typedef struct DmiGroupList {
    DmiUnsigned size;
    DmiGroupInfo* list;
} DmiGroupList;

typedef struct DmiAttributeInfo {
    DmiId id;
    DmiString* name;
    DmiString* pragma;
    DmiString* description;
    DmiUnsigned storage;
    DmiUnsigned access;
    DmiUnsigned type;
    DmiUnsigned maxSize;
} DmiAttributeInfo;

typedef struct DmiAttributeList {
    DmiUnsigned size;
    DmiAttributeInfo* list;
} DmiAttributeList;

typedef struct DmiStringList {
    DmiUnsigned size;
    DmiString** list;
} DmiStringList;

// A node address as DmiNewNodeAddress makes it; the agent only passes it on.
typedef struct DmiNodeAddress {
    DmiString* address;
    DmiString* rpc;
    DmiString* transport;
} DmiNodeAddress;

// One (group, attribute) pair that an instrumentation serves; attribute 0 means all.
typedef struct DmiAccessData {
    DmiId groupId;
    DmiId attributeId;
} DmiAccessData;

typedef struct DmiAccessDataList {
    DmiUnsigned size;
    DmiAccessData* list;
} DmiAccessDataList;

// The direct-interface callbacks of a component instrumentation.
typedef DmiErrorStatus (*DmiCiGetAttributeFn)(DmiId compId, DmiId groupId, DmiId attribId,
                                              DmiString* language, DmiAttributeValues* keyList,
                                              DmiAttributeData** value);
typedef DmiErrorStatus (*DmiCiGetNextAttributeFn)(DmiId compId, DmiId groupId, DmiId attribId,
                                                  DmiString* language,
                                                  DmiAttributeValues* keyList,
                                                  DmiAttributeData** value);
typedef DmiErrorStatus (*DmiCiReserveAttributeFn)(DmiUnsigned, DmiUnsigned, DmiUnsigned,
                                                  DmiUnsigned, DmiUnsigned);
typedef DmiErrorStatus (*DmiCiReleaseAttributeFn)(DmiUnsigned, DmiUnsigned, DmiUnsigned,
                                                  DmiUnsigned, DmiUnsigned);
typedef DmiErrorStatus (*DmiCiSetAttributeFn)(DmiId compId, DmiId groupId, DmiId attribId,
                                              DmiString* language, DmiAttributeValues* keyList,
                                              DmiAttributeData* value);
typedef DmiErrorStatus (*DmiCiAddRowFn)(DmiUnsigned);
typedef DmiErrorStatus (*DmiCiDeleteRowFn)(DmiUnsigned);

// The registration record handed to DmiRegisterCi.
typedef struct DmiRegisterInfo {
    DmiId compId;
    DmiCiGetAttributeFn ciGetAttribute;
    DmiCiGetNextAttributeFn ciGetNextAttribute;
    DmiCiReserveAttributeFn ciReserveAttribute;
    DmiCiReleaseAttributeFn ciReleaseAttribute;
    DmiCiSetAttributeFn ciSetAttribute;
    DmiCiAddRowFn ciAddRow;
    DmiCiDeleteRowFn ciDeleteRow;
    DmiAccessDataList* accessData;
} DmiRegisterInfo;

// Management-side indication callbacks (event delivery to a management application).
typedef void (*DmiIndicationFn)(DmiHandle handle, DmiMultiRowData* event, void* context);

// ---- The 57 entry points, in the order the agent resolves them ----------------------------

#define KORVO_DMI_ENTRY_POINTS(X)                                                              \
    X(DmiRemoteRegister, DmiErrorStatus, (DmiNodeAddress * node, DmiHandle * handle))          \
    X(DmiUnregister, DmiErrorStatus, (DmiHandle handle))                                       \
    X(DmiGetVersion, DmiErrorStatus,                                                           \
      (DmiHandle handle, DmiString * *dmiSpecLevel, DmiString * *description,                  \
       DmiFileTypeList * *fileTypes))                                                          \
    X(DmiListComponents, DmiErrorStatus,                                                       \
      (DmiHandle handle, DmiUnsigned requestMode, DmiUnsigned maxCount, DmiBoolean getPragma,  \
       DmiBoolean getDescription, DmiId compId, DmiComponentList * *reply))                    \
    X(DmiListComponentsByClass, DmiErrorStatus,                                                \
      (DmiHandle handle, DmiUnsigned requestMode, DmiUnsigned maxCount, DmiBoolean getPragma,  \
       DmiBoolean getDescription, DmiId compId, DmiString * className,                        \
       DmiAttributeValues * keyList, DmiComponentList * *reply))                               \
    X(DmiListClassNames, DmiErrorStatus,                                                       \
      (DmiHandle handle, DmiUnsigned requestMode, DmiUnsigned maxCount, DmiId compId,          \
       DmiClassNameList * *reply))                                                             \
    X(DmiListGroups, DmiErrorStatus,                                                           \
      (DmiHandle handle, DmiUnsigned requestMode, DmiUnsigned maxCount, DmiBoolean getPragma,  \
       DmiBoolean getDescription, DmiId compId, DmiId groupId, DmiGroupList * *reply))         \
    X(DmiListAttributes, DmiErrorStatus,                                                       \
      (DmiHandle handle, DmiUnsigned requestMode, DmiUnsigned maxCount, DmiBoolean getPragma,  \
       DmiBoolean getDescription, DmiId compId, DmiId groupId, DmiId attribId,                 \
       DmiAttributeList * *reply))                                                             \
    X(DmiAddRow, DmiErrorStatus, (DmiHandle handle, DmiRowData * row))                         \
    X(DmiDeleteRow, DmiErrorStatus, (DmiHandle handle, DmiRowData * row))                      \
    X(DmiGetAttribute, DmiErrorStatus,                                                         \
      (DmiHandle handle, DmiId compId, DmiId groupId, DmiId attribId,                          \
       DmiAttributeValues * keyList, DmiDataUnion * *value))                                   \
    X(DmiGetMultiple, DmiErrorStatus,                                                          \
      (DmiHandle handle, DmiMultiRowRequest * request, DmiMultiRowData * *rowData))            \
    X(DmiSetAttribute, DmiErrorStatus,                                                         \
      (DmiHandle handle, DmiId compId, DmiId groupId, DmiId attribId, DmiUnsigned setMode,     \
       DmiAttributeValues * keyList, DmiDataUnion * value))                                    \
    X(DmiSetIndicationCallbacks, DmiErrorStatus,                                               \
      (DmiHandle handle, DmiIndicationFn onEvent, void* context))                              \
    X(DmiIndicationListen, DmiErrorStatus, (DmiHandle handle))                                 \
    X(DmiStopIndicationListening, DmiErrorStatus, (DmiHandle handle))                          \
    X(DmiGetSubscriptionAddress, DmiErrorStatus, (DmiHandle handle, DmiString * *address))     \
    X(DmiSetConfig, DmiErrorStatus, (DmiHandle handle, DmiString * language))                  \
    X(DmiGetConfig, DmiErrorStatus, (DmiHandle handle, DmiString * *language))                 \
    X(DmiListLanguages, DmiErrorStatus,                                                        \
      (DmiHandle handle, DmiUnsigned maxCount, DmiId compId, DmiStringList * *reply))          \
    X(DmiSetDefaultNode, DmiErrorStatus, (DmiNodeAddress * node, DmiUnsigned * reserved))      \
    X(DmiGetClientMemDsc, DmiMemDsc, (DmiUnsigned reserved))                                   \
    X(DmiNewTimestamp, DmiTimestamp*, (DmiMemDsc md, DmiErrorStatus * status))                 \
    X(DmiFreeTimestamp, void, (DmiTimestamp * timestamp, DmiMemDsc md))                        \
    X(DmiNewString, DmiString*, (const char* text, DmiMemDsc md, DmiErrorStatus* status))      \
    X(DmiFreeString, void, (DmiString * str, DmiMemDsc md))                                    \
    X(DmiNewOctetString, DmiOctetString*,                                                      \
      (DmiUnsigned size, const void* bytes, DmiMemDsc md, DmiErrorStatus* status))             \
    X(DmiFreeOctetString, void, (DmiOctetString * str, DmiMemDsc md))                          \
    X(DmiNewDataUnion, DmiDataUnion*, (DmiMemDsc md, DmiErrorStatus * status))                 \
    X(DmiFreeDataUnion, void, (DmiDataUnion * value, DmiMemDsc md))                            \
    X(DmiNewRowData, DmiRowData*, (DmiMemDsc md, DmiErrorStatus * status))                     \
    X(DmiFreeRowData, void, (DmiRowData * row, DmiMemDsc md))                                  \
    X(DmiNewAttributeValues, DmiAttributeValues*,                                              \
      (DmiUnsigned size, DmiMemDsc md, DmiErrorStatus * status))                               \
    X(DmiFreeAttributeValues, void, (DmiAttributeValues * values, DmiMemDsc md))               \
    X(DmiFreeAttributeList, void, (DmiAttributeList * list, DmiMemDsc md))                     \
    X(DmiFreeGroupList, void, (DmiGroupList * list, DmiMemDsc md))                             \
    X(DmiFreeComponentList, void, (DmiComponentList * list, DmiMemDsc md))                     \
    X(DmiFreeClassNameList, void, (DmiClassNameList * list, DmiMemDsc md))                     \
    X(DmiNewMultiRowRequest, DmiMultiRowRequest*,                                              \
      (DmiUnsigned size, DmiMemDsc md, DmiErrorStatus * status))                               \
    X(DmiFreeMultiRowRequest, void, (DmiMultiRowRequest * request, DmiMemDsc md))              \
    X(DmiFreeMultiRowData, void, (DmiMultiRowData * rows, DmiMemDsc md))                       \
    X(DmiNewNodeAddress, DmiNodeAddress*,                                                      \
      (const char* address, const char* rpc, const char* transport, DmiMemDsc md,              \
       DmiErrorStatus* status))                                                                \
    X(DmiFreeNodeAddress, void, (DmiNodeAddress * node, DmiMemDsc md))                         \
    X(DmiRegister, DmiErrorStatus, (DmiHandle * handle))                                       \
    X(DmiAddComponent, DmiErrorStatus,                                                         \
      (DmiHandle handle, DmiFileDataList * files, DmiId * compId, DmiStringList * *errors))    \
    X(DmiNewMultiRowData, DmiMultiRowData*,                                                    \
      (DmiUnsigned size, DmiMemDsc md, DmiErrorStatus * status))                               \
    X(DmiGetSysMemDsc, DmiMemDsc, (DmiUnsigned reserved))                                      \
    X(DmiAlloc, void*, (DmiUnsigned size, DmiMemDsc md, DmiErrorStatus * status))             \
    X(DmiFree, void, (void* block, DmiMemDsc md))                                              \
    X(DmiRegisterCi, DmiErrorStatus,                                                           \
      (DmiRegisterInfo * registration, DmiHandle * handle, DmiString * *dmiSpecLevel))         \
    X(DmiUnregisterCi, DmiErrorStatus, (DmiHandle handle))                                     \
    X(DmiOriginateEvent, DmiErrorStatus,                                                       \
      (DmiId compId, DmiString * language, DmiTimestamp * timestamp, DmiMultiRowData * rows))  \
    X(DmiNewFileTypeList, DmiFileTypeList*,                                                    \
      (DmiUnsigned size, DmiMemDsc md, DmiErrorStatus * status))                               \
    X(DmiFreeFileTypeList, void, (DmiFileTypeList * list, DmiMemDsc md))                       \
    X(DmiNewFileDataList, DmiFileDataList*,                                                    \
      (DmiUnsigned size, DmiMemDsc md, DmiErrorStatus * status))                               \
    X(DmiNewAttributeData, DmiAttributeData*, (DmiMemDsc md, DmiErrorStatus * status))         \
    X(DmiFreeAttributeData, void, (DmiAttributeData * data, DmiMemDsc md))

// A function-pointer type per entry point: DmiRegisterFn, DmiNewStringFn, ...
#define KORVO_DMI_DECLARE_FN_TYPE(name, result, params) typedef result(*name##Fn) params;
KORVO_DMI_ENTRY_POINTS(KORVO_DMI_DECLARE_FN_TYPE)
#undef KORVO_DMI_DECLARE_FN_TYPE

}  // extern "C"

// ---- Layout on the 32-bit target ------------------------------------------------------------

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(DmiString) == 8 && offsetof(DmiString, body) == 4);
static_assert(sizeof(DmiDataUnion) == 16 && offsetof(DmiDataUnion, value) == 8);
static_assert(sizeof(DmiAttributeData) == 24);
static_assert(offsetof(DmiAttributeData, id) == 0);
static_assert(offsetof(DmiAttributeData, data) + offsetof(DmiDataUnion, type) == 8);
static_assert(offsetof(DmiAttributeData, data) + offsetof(DmiDataUnion, value) == 16);
static_assert(sizeof(DmiAttributeValues) == 8 && offsetof(DmiAttributeValues, list) == 4);
static_assert(sizeof(DmiMultiRowData) == 8 && offsetof(DmiMultiRowData, list) == 4);
static_assert(sizeof(DmiFileDataList) == 8 && offsetof(DmiFileDataList, list) == 4);
static_assert(sizeof(DmiComponentList) == 8 && offsetof(DmiComponentList, list) == 4);
static_assert(sizeof(DmiAccessDataList) == 8 && offsetof(DmiAccessDataList, list) == 4);
static_assert(sizeof(DmiFileDataInfo) == 8 && offsetof(DmiFileDataInfo, fileData) == 4);
static_assert(offsetof(DmiComponentInfo, id) == 0);
static_assert(sizeof(DmiRowData) == 20);
static_assert(offsetof(DmiRowData, compId) == 0 && offsetof(DmiRowData, groupId) == 4);
static_assert(offsetof(DmiRowData, className) == 8 && offsetof(DmiRowData, keyList) == 12);
static_assert(offsetof(DmiRowData, values) == 16);
static_assert(sizeof(DmiAccessData) == 8 && offsetof(DmiAccessData, attributeId) == 4);
static_assert(sizeof(DmiRegisterInfo) == 36);
static_assert(offsetof(DmiRegisterInfo, compId) == 0);
static_assert(offsetof(DmiRegisterInfo, ciGetAttribute) == 4);
static_assert(offsetof(DmiRegisterInfo, ciGetNextAttribute) == 8);
static_assert(offsetof(DmiRegisterInfo, ciReserveAttribute) == 12);
static_assert(offsetof(DmiRegisterInfo, ciReleaseAttribute) == 16);
static_assert(offsetof(DmiRegisterInfo, ciSetAttribute) == 20);
static_assert(offsetof(DmiRegisterInfo, ciAddRow) == 24);
static_assert(offsetof(DmiRegisterInfo, ciDeleteRow) == 28);
static_assert(offsetof(DmiRegisterInfo, accessData) == 32);
#else
// Every build keeps the attribute-data layout: id at 0, type at 8, value at 16.
static_assert(sizeof(DmiAttributeData) == 24);
static_assert(offsetof(DmiAttributeData, data) + offsetof(DmiDataUnion, value) == 16);
static_assert(sizeof(DmiString) == 16 && offsetof(DmiString, body) == 8);
#endif
