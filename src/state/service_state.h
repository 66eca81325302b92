// The agent's one process-wide state record and the constant tables its subsystems share.
// The window thread writes the start-up fields before the callbacks are registered; the
// callbacks, which run on the service provider's threads, only read them, except
// driverVariant, which a read may set to 1 and nothing sets back.
#pragma once

#include <cstdint>

#include "dmi/dmi.h"
#include "platform.h"

struct ServiceState {
    HINSTANCE instance = nullptr;
    HWND mainWindow = nullptr;
    HWND timerWindow = nullptr;

    HMODULE libraryModule = nullptr;  // 0 until the DMI library is loaded; never reset
    uint32_t libraryLoaded = 0;
    DmiMemDsc memoryDescriptor = nullptr;
    DmiHandle dmiHandle = 0;  // the management registration's, then the CI registration's
    uint32_t managementRegistered = 0;
    uint32_t ciRegistered = 0;
    DmiId componentId = 0;
    DmiRegisterInfo* registration = nullptr;  // only while the CI registration step runs
    char mifPath[100] = {};
    // Made by the first start-up attempt that needs them and kept for the life of the process,
    // so that retried attempts reuse them rather than leave one more behind each time.
    DmiNodeAddress* nodeAddress = nullptr;
    DmiFileDataList* mifFiles = nullptr;  // the MIF file handed over to install the component
    uint32_t startupRunning = 0;          // 1 while a start-up attempt runs
    uint32_t shownBoxes = 0;              // the start-up message boxes shown so far, one bit each
    uint32_t startupWait = 0;             // what the last failed attempt waits for (StartupWait)
    uint32_t announcedWaits = 0;          // the StartupWait lines written so far, one bit each
    uint32_t serviceProcess = 0;          // 1 once registered as a service process

    // 0: NDIS 4.0 driver, 1: NDIS 5.0 driver. One aligned word, written only with
    // InterlockedExchange; a read of it is a single load (see DriverVariant()).
    volatile LONG driverVariant = 0;
    int32_t lastActiveAdapter = 1;  // active adapter number last seen
    int32_t activeSlot = 0;         // physical slot from the last successful check
};

extern ServiceState serviceState;

// Puts every field back to the value the record declares for process start. Called between
// tests only, when no other thread uses the record (so driverVariant is stored plainly here).
void ResetServiceState();

// The driver's file names and descriptions, indexed by driverVariant.
inline constexpr char DriverFileNames[2][13] = {"KORVOm4.SYS", "KORVOm5.SYS"};
inline constexpr char DriverDescriptions[2][29] = {"NDIS 4.0 Miniport", "NDIS 5.0 Miniport"};

// The names of the two adapters of a failover pair.
inline constexpr char AdapterLabels[2][10] = {"Adapter 1", "Adapter 2"};
