// DmiApi: the table of the DMI client library's 57 entry points, resolved by name at run time.
// Every DMI call of the agent goes through it; an entry stays null until resolved.
#pragma once

#include "dmi/dmi.h"

struct DmiApiTable {
#define KORVO_DMI_TABLE_ENTRY(name, result, params) name##Fn name;
    KORVO_DMI_ENTRY_POINTS(KORVO_DMI_TABLE_ENTRY)
#undef KORVO_DMI_TABLE_ENTRY
};

extern DmiApiTable DmiApi;

// The exported names, in the order in which they are resolved.
inline constexpr const char* DmiEntryPointNames[] = {
#define KORVO_DMI_ENTRY_NAME(name, result, params) #name,
    KORVO_DMI_ENTRY_POINTS(KORVO_DMI_ENTRY_NAME)
#undef KORVO_DMI_ENTRY_NAME
};
inline constexpr int DmiEntryPointCount = sizeof DmiEntryPointNames / sizeof DmiEntryPointNames[0];
static_assert(DmiEntryPointCount == 57);
static_assert(sizeof(DmiApiTable) == DmiEntryPointCount * sizeof(void*));
