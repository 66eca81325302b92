// Failover change detection: one request 56 per check, the slot of the active adapter looked
// up from its PCI location, and the active adapter number compared with the one last seen.
#include "dmi/dmi_api.h"
#include "driver/driver_channel.h"
#include "driver/pci_slot.h"
#include "failover/failover.h"
#include "state/service_state.h"

using namespace korvo::driver;

bool CheckFailover() {
    DriverRequest request = MakeDriverRequest(code::kFailoverStatus);
    if (!SendDriverRequest(kRequestControlWord, &request)) {
        return false;  // a driver that does not answer tells nothing: no change to report
    }
    serviceState.activeSlot =
        FindPciSlot(RequestWord(request, kValueOffset), RequestByte(request, kFailoverBusOffset));
    const int32_t active = RequestByte(request, kDataOffset);
    if (active == serviceState.lastActiveAdapter) {
        return false;
    }
    serviceState.lastActiveAdapter = active;
    return true;
}

void RunFailoverCheck() {
    if (serviceState.libraryLoaded == 0 || !CheckFailover()) {
        return;
    }
    DmiMultiRowData* event = nullptr;
    if (BuildFailoverEvent(&event) != DMIERR_NO_ERROR) {
        return;  // construction released whatever it had made
    }
    if (FillFailoverEvent(event) == DMIERR_NO_ERROR) {
        DmiApi.DmiOriginateEvent(serviceState.componentId, nullptr, nullptr, event);
    }
    // Originated or not, the event is released whole: a part-filled one too.
    DmiApi.DmiFreeMultiRowData(event, serviceState.memoryDescriptor);
}
