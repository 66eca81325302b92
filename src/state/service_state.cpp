// The process-wide state record, zero at start but for the adapter assumed active.
#include "state/service_state.h"

#include <cstring>

ServiceState serviceState;

void ResetServiceState() {
    serviceState.instance = nullptr;
    serviceState.mainWindow = nullptr;
    serviceState.timerWindow = nullptr;
    serviceState.libraryModule = nullptr;
    serviceState.libraryLoaded = 0;
    serviceState.memoryDescriptor = nullptr;
    serviceState.dmiHandle = 0;
    serviceState.managementRegistered = 0;
    serviceState.ciRegistered = 0;
    serviceState.componentId = 0;
    serviceState.registration = nullptr;
    std::memset(serviceState.mifPath, 0, sizeof serviceState.mifPath);
    serviceState.nodeAddress = nullptr;
    serviceState.mifFiles = nullptr;
    serviceState.startupRunning = 0;
    serviceState.shownBoxes = 0;
    serviceState.serviceProcess = 0;
    InterlockedExchange(&serviceState.driverVariant, 0);
    serviceState.lastActiveAdapter = 1;
    serviceState.activeSlot = 0;
}
