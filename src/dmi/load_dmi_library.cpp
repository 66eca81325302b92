// LoadDmiLibrary: the library is found by file name through the platform's search, after the
// service provider's bin directory has been made current, and never unloaded.
#include "dmi/load_dmi_library.h"

#include <cstring>

#include "dmi/dmi_api.h"
#include "platform.h"
#include "state/service_state.h"

namespace {

constexpr char BinSuffix[] = "\\bin";

// Makes $WIN32DMIPATH\bin the current directory. A value too long for the directory buffer
// leaves the current directory as it is rather than being cut short.
void EnterServiceProviderDirectory() {
    char directory[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("WIN32DMIPATH", directory, sizeof directory);
    if (length == 0 || length + sizeof BinSuffix > sizeof directory) {
        return;
    }
    std::memcpy(directory + length, BinSuffix, sizeof BinSuffix);
    (void)SetCurrentDirectoryA(directory);
}

}  // namespace

int LoadDmiLibrary() {
    if (serviceState.libraryModule != nullptr) {
        return 0;
    }
    EnterServiceProviderDirectory();
    HMODULE module = LoadLibraryA(DmiLibraryName);
    serviceState.libraryModule = module;
    if (module == nullptr) {
        return 0;
    }
    // A name the library does not export leaves its entry null.
#define KORVO_RESOLVE_ENTRY(name, result, params) \
    DmiApi.name = reinterpret_cast<name##Fn>(     \
        reinterpret_cast<void (*)(void)>(GetProcAddress(module, #name)));
    KORVO_DMI_ENTRY_POINTS(KORVO_RESOLVE_ENTRY)
#undef KORVO_RESOLVE_ENTRY
    return 1;
}

int DmiApiIsComplete() {
    const void* called[] = {
        reinterpret_cast<const void*>(DmiApi.DmiGetSysMemDsc),
        reinterpret_cast<const void*>(DmiApi.DmiNewNodeAddress),
        reinterpret_cast<const void*>(DmiApi.DmiSetDefaultNode),
        reinterpret_cast<const void*>(DmiApi.DmiRegister),
        reinterpret_cast<const void*>(DmiApi.DmiGetVersion),
        reinterpret_cast<const void*>(DmiApi.DmiFreeFileTypeList),
        reinterpret_cast<const void*>(DmiApi.DmiNewString),
        reinterpret_cast<const void*>(DmiApi.DmiFreeString),
        reinterpret_cast<const void*>(DmiApi.DmiListComponentsByClass),
        reinterpret_cast<const void*>(DmiApi.DmiFreeComponentList),
        reinterpret_cast<const void*>(DmiApi.DmiNewFileDataList),
        reinterpret_cast<const void*>(DmiApi.DmiAddComponent),
        reinterpret_cast<const void*>(DmiApi.DmiNewOctetString),
        reinterpret_cast<const void*>(DmiApi.DmiUnregister),
        reinterpret_cast<const void*>(DmiApi.DmiRegisterCi),
        reinterpret_cast<const void*>(DmiApi.DmiUnregisterCi),
        reinterpret_cast<const void*>(DmiApi.DmiAlloc),
        reinterpret_cast<const void*>(DmiApi.DmiFree),
        reinterpret_cast<const void*>(DmiApi.DmiNewAttributeData),
        reinterpret_cast<const void*>(DmiApi.DmiNewMultiRowData),
        reinterpret_cast<const void*>(DmiApi.DmiNewAttributeValues),
        reinterpret_cast<const void*>(DmiApi.DmiOriginateEvent),
        reinterpret_cast<const void*>(DmiApi.DmiFreeMultiRowData),
    };
    for (const void* entry : called) {
        if (entry == nullptr) {
            return 0;
        }
    }
    return 1;
}
