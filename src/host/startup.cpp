// RunStartup and its steps: bind the library, take the memory descriptor, probe the driver,
// connect as a management application, find or install the component from its MIF file, end
// the management connection and register the callbacks; RunShutdown undoes what is in force.
// An attempt may be repeated until one succeeds: the library is bound once, a management
// registration a failed attempt left behind is undone first, the blocks kept for the process
// (the node address, the MIF file list) are made once, and each message box is shown once.
#include "host/startup.h"

#include <cstring>

#include "dmi/dmi_api.h"
#include "dmi/load_dmi_library.h"
#include "driver/driver_channel.h"
#include "korvo/driver_protocol.h"
#include "instrumentation/registration.h"
#include "state/service_state.h"

SleepFunction startupSleep = Sleep;
LoadLibraryStep startupLoadLibrary = LoadDmiLibrary;

namespace {

constexpr char CorruptedText[] = "DMI implementation corrupted";
constexpr char CorruptedCaption[] = "ERROR";
constexpr char BuildFailedText[] = "Registration failed";
constexpr char BuildFailedCaption[] = "abort";
constexpr char RegisterFailedText[] = "Could not register the direct interface code";
constexpr char RegisterFailedCaption[] = "ERROR";

// The boxes, each shown at most once for the life of the process: attempts repeated every
// 30 seconds that fail the same way stay quiet rather than ask the user again and again.
enum : uint32_t { CorruptedBox = 1, BuildFailedBox = 2, RegisterFailedBox = 4 };

void ShowError(uint32_t box, const char* text, const char* caption) {
    if ((serviceState.shownBoxes & box) != 0) {
        return;
    }
    serviceState.shownBoxes |= box;
    MessageBoxA(nullptr, text, caption, MB_OK);
}

int RunStartupAttempt() {
    serviceState.startupWait = WaitsForOtherStep;
    if (serviceState.libraryLoaded == 0) {
        if (startupLoadLibrary() == 0) {
            if (serviceState.libraryModule == nullptr) {
                serviceState.startupWait = WaitsForLibrary;
            }
            return 0;
        }
        if (DmiApiIsComplete() == 0) {
            // A library without an entry point the agent calls is never called through: the
            // attempt ends here, before anything (the failover check included) may use it.
            // The library stays loaded, so later attempts end at the load, without a box.
            ShowError(CorruptedBox, CorruptedText, CorruptedCaption);
            return 0;
        }
        serviceState.libraryLoaded = 1;
    }
    serviceState.memoryDescriptor = DmiApi.DmiGetSysMemDsc(0);

    bool probed = false;
    for (int attempt = 0; attempt < ProbeAttempts && !probed; ++attempt) {
        probed = ProbeDriver();
    }
    if (!probed) {
        serviceState.startupWait = WaitsForDriver;
        return 0;
    }
    if (serviceState.managementRegistered == 1) {
        // Left in force by a failed attempt. Whether or not the service provider still knows
        // the handle, it is given up before a new connection takes its place.
        (void)UnregisterManagement();
        serviceState.managementRegistered = 0;
    }
    if (ConnectToServiceProvider() == 0) {
        return 0;
    }
    serviceState.managementRegistered = 1;
    if (FindOrInstallComponent(ComponentClass) == 0) {
        ShowError(CorruptedBox, CorruptedText, CorruptedCaption);
        return 0;
    }
    if (UnregisterManagement() == 0) {
        return 0;
    }
    serviceState.managementRegistered = 0;
    if (RegisterCi() == 0) {
        ShowError(RegisterFailedBox, RegisterFailedText, RegisterFailedCaption);
        return 0;
    }
    serviceState.ciRegistered = 1;
    return 1;
}

}  // namespace

int RunStartup() {
    if (serviceState.ciRegistered == 1) {
        return 1;  // registered already: a repeated start changes nothing
    }
    // One attempt at a time: a modal box's message loop runs the retry timer, whose attempt
    // must not start over inside the one that shows the box.
    if (serviceState.startupRunning != 0) {
        return 0;  // called from within an attempt: that attempt decides
    }
    serviceState.startupRunning = 1;
    const int result = RunStartupAttempt();
    serviceState.startupRunning = 0;
    return result;
}

void AnnounceStartupWait(UINT retryIntervalMs) {
    const uint32_t wait = serviceState.startupWait;
    if (wait == 0 || (serviceState.announcedWaits & wait) != 0) {
        return;
    }
    serviceState.announcedWaits |= wait;
    char interval[16];
    if (retryIntervalMs % 1000 == 0) {
        wsprintfA(interval, "%u s", retryIntervalMs / 1000);
    } else {
        wsprintfA(interval, "%u ms", retryIntervalMs);
    }
    char text[MAX_PATH + 128];
    if (wait == WaitsForLibrary) {
        // Where the library is looked for: the service provider's bin directory, made current.
        char directory[MAX_PATH];
        const DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
        if (length == 0 || length >= sizeof directory) {
            directory[0] = '\0';
        }
        wsprintfA(text, "start-up is waiting for the library %s%s%s; it tries again every %s\n",
                  DmiLibraryName, directory[0] != '\0' ? " in " : "", directory, interval);
    } else if (wait == WaitsForDriver) {
        wsprintfA(text, "start-up is waiting for the control device %s; it tries again every %s\n",
                  korvo::driver::kDevicePath, interval);
    } else {
        wsprintfA(text, "start-up did not complete; it tries again every %s\n", interval);
    }
    OutputDebugStringA(text);
}

int ConnectToServiceProvider() {
    if (serviceState.nodeAddress == nullptr) {
        DmiErrorStatus status = DMIERR_NO_ERROR;
        DmiNodeAddress* node =
            DmiApi.DmiNewNodeAddress("", "local", "", serviceState.memoryDescriptor, &status);
        if (status == DMIERR_NO_ERROR) {
            serviceState.nodeAddress = node;  // kept for good
        }
    }
    if (serviceState.nodeAddress != nullptr) {
        DmiUnsigned reserved = 0;
        (void)DmiApi.DmiSetDefaultNode(serviceState.nodeAddress, &reserved);
    }

    DmiErrorStatus registered = DmiApi.DmiRegister(&serviceState.dmiHandle);
    for (int retry = 0; registered != DMIERR_NO_ERROR && retry < RegisterRetries; ++retry) {
        startupSleep(RegisterRetryPauseMs);
        registered = DmiApi.DmiRegister(&serviceState.dmiHandle);
    }
    if (registered != DMIERR_NO_ERROR) {
        return 0;
    }

    DmiString* level = nullptr;
    DmiString* description = nullptr;
    DmiFileTypeList* fileTypes = nullptr;
    if (DmiApi.DmiGetVersion(serviceState.dmiHandle, &level, &description, &fileTypes) !=
        DMIERR_NO_ERROR) {
        return 0;
    }
    DmiApi.DmiFreeString(level, serviceState.memoryDescriptor);
    DmiApi.DmiFreeString(description, serviceState.memoryDescriptor);
    DmiApi.DmiFreeFileTypeList(fileTypes, serviceState.memoryDescriptor);
    return 1;
}

int BuildMifPath(char* buffer) {
    char windir[sizeof serviceState.mifPath];
    const DWORD length = GetEnvironmentVariableA("windir", windir, sizeof windir);
    // Unset, or too long for the path and its terminator: the buffer is left as it is.
    if (length == 0 || length + sizeof MifFileSuffix > sizeof serviceState.mifPath) {
        return 1;
    }
    std::memcpy(buffer, windir, length);
    std::memcpy(buffer + length, MifFileSuffix, sizeof MifFileSuffix);
    return 1;
}

int FindOrInstallComponent(const char* classText) {
    DmiString* className = DmiApi.DmiNewString(classText, nullptr, nullptr);
    DmiComponentList* found = nullptr;
    (void)DmiApi.DmiListComponentsByClass(serviceState.dmiHandle, 1, 0, 0, 0, 0, className, nullptr,
                                          &found);
    if (className != nullptr) {
        DmiApi.DmiFreeString(className, serviceState.memoryDescriptor);
    }
    if (found != nullptr) {
        // A list with no entries names no component: it is released and the MIF installed.
        const bool listed = found->size != 0 && found->list != nullptr;
        if (listed) {
            serviceState.componentId = found->list[0].id;
        }
        DmiApi.DmiFreeComponentList(found, serviceState.memoryDescriptor);
        if (listed) {
            return 1;
        }
    }

    // The file list and its path string are made once and handed over again by later
    // attempts; the service provider does not keep them.
    if (serviceState.mifFiles == nullptr) {
        serviceState.mifFiles = DmiApi.DmiNewFileDataList(1, nullptr, nullptr);
        if (serviceState.mifFiles == nullptr) {
            return 0;
        }
        serviceState.mifFiles->list[0].fileData = nullptr;
    }
    DmiFileDataList* files = serviceState.mifFiles;
    if (files->list[0].fileData == nullptr) {
        BuildMifPath(serviceState.mifPath);
        files->list[0].fileType = DMI_MIF_FILE_NAME;
        files->list[0].fileData =
            DmiApi.DmiNewOctetString(static_cast<DmiUnsigned>(std::strlen(serviceState.mifPath)),
                                     serviceState.mifPath, nullptr, nullptr);
        if (files->list[0].fileData == nullptr) {
            return 0;
        }
    }
    DmiStringList* errors = nullptr;  // not read
    return DmiApi.DmiAddComponent(serviceState.dmiHandle, files, &serviceState.componentId,
                                  &errors) == DMIERR_NO_ERROR
               ? 1
               : 0;
}

int UnregisterManagement() {
    return DmiApi.DmiUnregister(serviceState.dmiHandle) == DMIERR_NO_ERROR ? 1 : 0;
}

int RegisterCi() {
    DmiRegisterInfo* record = nullptr;
    if (BuildCiRegistration(&record) == 0) {
        ShowError(BuildFailedBox, BuildFailedText, BuildFailedCaption);
        return 0;
    }
    DmiString* level = nullptr;
    const DmiErrorStatus status =
        DmiApi.DmiRegisterCi(serviceState.registration, &serviceState.dmiHandle, &level);
    if (status == DMIERR_NO_ERROR) {
        DmiApi.DmiFreeString(level, serviceState.memoryDescriptor);
    }
    DmiRegisterInfo* registration = serviceState.registration;
    DmiApi.DmiFree(registration->accessData->list, serviceState.memoryDescriptor);
    DmiApi.DmiFree(registration->accessData, serviceState.memoryDescriptor);
    DmiApi.DmiFree(registration, serviceState.memoryDescriptor);
    serviceState.registration = nullptr;
    return status == DMIERR_NO_ERROR ? 1 : 0;
}

DmiErrorStatus UnregisterCi() {
    return DmiApi.DmiUnregisterCi(serviceState.dmiHandle);
}

int RegisterAsServiceProcess() {
    using RegisterServiceProcessFn = DWORD(WINAPI*)(DWORD, DWORD);
    serviceState.serviceProcess = 0;
    const HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    const auto registerServiceProcess =
        kernel == nullptr ? nullptr
                          : reinterpret_cast<RegisterServiceProcessFn>(reinterpret_cast<void (*)()>(
                                GetProcAddress(kernel, "RegisterServiceProcess")));
    if (registerServiceProcess != nullptr && registerServiceProcess(0, RspSimpleService) != 0) {
        serviceState.serviceProcess = 1;
    }
    return static_cast<int>(serviceState.serviceProcess);
}

int SessionEndEndsAgent(LPARAM how) {
    const bool logOffOnly = (static_cast<DWORD>(how) & ENDSESSION_LOGOFF) != 0;
    return logOffOnly && serviceState.serviceProcess == 1 ? 0 : 1;
}

void RunShutdown() {
    if (serviceState.managementRegistered == 1) {
        (void)UnregisterManagement();
    }
    if (serviceState.ciRegistered == 1) {
        (void)UnregisterCi();
    }
}
