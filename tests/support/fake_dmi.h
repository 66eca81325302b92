// A fake DMI client library for unit tests: fills the agent's DmiApi table with functions that
// allocate through a tracker (every block counted, the Nth allocation made to fail on request,
// frees of unknown blocks counted) and log each call by name. The management calls
// (DmiRegister and friends) answer with configurable statuses.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "dmi/dmi.h"

namespace korvo::test {

class FakeDmi {
public:
    // The memory descriptor the fake hands out and expects.
    static DmiMemDsc memoryDescriptor();

    FakeDmi();   // installs the fakes, sets serviceState.memoryDescriptor
    ~FakeDmi();  // empties DmiApi again
    FakeDmi(const FakeDmi&) = delete;
    FakeDmi& operator=(const FakeDmi&) = delete;

    // Allocation failure injection: the Nth allocation from now on (1-based) fails with
    // DMIERR_OUT_OF_MEMORY and returns null; 0 turns it off.
    void FailAllocation(int n);
    int allocations() const;          // allocations made since construction
    int outstanding() const;          // blocks handed out and not yet freed
    int badFrees() const;             // frees of blocks never handed out, or freed twice
    std::vector<std::string> calls() const;  // entry points called, in order
    void ClearCalls();

    // Statuses the management calls answer with (default 0). registerFailures: how many
    // DmiRegister calls fail before one succeeds.
    int registerFailures = 0;
    DmiErrorStatus getVersionStatus = 0;
    DmiErrorStatus addComponentStatus = 0;
    DmiErrorStatus unregisterStatus = 0;
    DmiErrorStatus registerCiStatus = 0;
    DmiErrorStatus unregisterCiStatus = 0;
    DmiErrorStatus originateStatus = 0;
    DmiErrorStatus newNodeAddressStatus = 0;
    // DmiListComponentsByClass: ids to list; empty gives no list; `listEmpty` gives a list of
    // no entries.
    std::vector<DmiId> componentsByClass;
    bool listEmpty = false;
    DmiHandle managementHandle = 0x51;
    DmiHandle ciHandle = 0xC1;
    DmiId installedComponentId = 7;

    // What the calls received, for assertions.
    std::string listedClass;
    std::vector<uint8_t> addedMifPath;  // the bytes of the file-data entry's counted string
    DmiUnsigned addedFileType = 0;
    DmiRegisterInfo registeredInfo{};   // a copy of the record as DmiRegisterCi saw it
    std::vector<DmiAccessData> registeredAccess;
    void* registeredRecord = nullptr;   // the blocks DmiRegisterCi was handed
    void* registeredEntries = nullptr;
    std::vector<void*> freedBlocks;     // DmiFree's blocks, in order
    struct OriginatedEvent {
        DmiId compId;
        bool hadLanguage;
        bool hadTimestamp;
        DmiMultiRowData* rows;  // still owned by the agent until it frees it
    };
    std::vector<OriginatedEvent> originated;

    // Tracked allocation, for tests that build records the agent will free.
    void* Allocate(size_t size);
    bool IsLive(const void* block) const;
};

// A key list built in test memory: count and entries as the service provider would pass them.
class KeyList {
public:
    KeyList(std::initializer_list<uint32_t> keys);
    DmiAttributeValues* get() { return &list_; }

private:
    std::vector<DmiAttributeData> entries_;
    DmiAttributeValues list_{};
};

}  // namespace korvo::test
