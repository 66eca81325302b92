// RunStartup and its steps: bind the library, take the memory descriptor, probe the driver,
// connect as a management application, find or install the component from its MIF file, end
// the management connection and register the callbacks; RunShutdown undoes what is in force.
#include "host/startup.h"

#include <cstring>

#include "dmi/dmi_api.h"
#include "dmi/load_dmi_library.h"
#include "driver/driver_request.h"
#include "instrumentation/registration.h"
#include "state/service_state.h"

SleepFunction startupSleep = Sleep;
LoadLibraryStep startupLoadLibrary = LoadDmiLibrary;

namespace {

void ShowError(const char* text, const char* caption) {
    MessageBoxA(nullptr, text, caption, MB_OK);
}

constexpr char CorruptedText[] = "DMI implementation corrupted";
constexpr char CorruptedCaption[] = "ERROR";
constexpr char BuildFailedText[] = "Registration failed";
constexpr char BuildFailedCaption[] = "abort";
constexpr char RegisterFailedText[] = "Could not register the direct interface code";
constexpr char RegisterFailedCaption[] = "ERROR";

}  // namespace

int RunStartup() {
    if (startupLoadLibrary() == 0) {
        return 0;
    }
    if (DmiApiIsComplete() == 0) {
        // A library without an entry point the agent calls is never called through: the
        // attempt ends here, before anything (the failover check included) may use it.
        ShowError(CorruptedText, CorruptedCaption);
        return 0;
    }
    serviceState.libraryLoaded = 1;
    serviceState.memoryDescriptor = DmiApi.DmiGetSysMemDsc(0);

    bool probed = false;
    for (int attempt = 0; attempt < ProbeAttempts && !probed; ++attempt) {
        probed = ProbeDriver();
    }
    if (!probed) {
        return 0;
    }
    if (ConnectToServiceProvider() == 0) {
        return 0;
    }
    serviceState.managementRegistered = 1;
    if (FindOrInstallComponent(ComponentClass) == 0) {
        ShowError(CorruptedText, CorruptedCaption);
        return 0;
    }
    if (UnregisterManagement() == 0) {
        return 0;
    }
    serviceState.managementRegistered = 0;
    if (RegisterCi() == 0) {
        ShowError(RegisterFailedText, RegisterFailedCaption);
        return 0;
    }
    serviceState.ciRegistered = 1;
    return 1;
}

int ConnectToServiceProvider() {
    DmiErrorStatus status = DMIERR_NO_ERROR;
    DmiNodeAddress* node =
        DmiApi.DmiNewNodeAddress("", "local", "", serviceState.memoryDescriptor, &status);
    if (status == DMIERR_NO_ERROR) {
        DmiUnsigned reserved = 0;
        (void)DmiApi.DmiSetDefaultNode(node, &reserved);  // the node address is kept for good
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

    DmiFileDataList* files = DmiApi.DmiNewFileDataList(1, nullptr, nullptr);
    if (files == nullptr) {
        return 0;
    }
    BuildMifPath(serviceState.mifPath);
    files->list[0].fileType = DMI_MIF_FILE_NAME;
    files->list[0].fileData =
        DmiApi.DmiNewOctetString(static_cast<DmiUnsigned>(std::strlen(serviceState.mifPath)),
                                 serviceState.mifPath, nullptr, nullptr);
    if (files->list[0].fileData == nullptr) {
        return 0;
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
        ShowError(BuildFailedText, BuildFailedCaption);
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

void RunShutdown() {
    if (serviceState.managementRegistered == 1) {
        (void)UnregisterManagement();
    }
    if (serviceState.ciRegistered == 1) {
        (void)UnregisterCi();
    }
}
