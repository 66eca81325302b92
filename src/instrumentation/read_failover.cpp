// Reads of the failover groups: "Failover Group" (group 20) and "Failover Adapter Table" (group
// 21: the two adapters of the pair, each one's PCI slot found from the location the driver
// reports). The failover event, which also carries a row of group 21, is built in
// failover/failover_event.cpp.
#include "dmi/dmi_api.h"
#include "driver/pci_slot.h"
#include "instrumentation/component_groups.h"
#include "instrumentation/read_rules.h"
#include "state/service_state.h"

using namespace korvo::driver;

namespace {

constexpr uint32_t FailoverLastRow = 1;

constexpr char FailoverGroupName[] = "Failover Group 1";
constexpr uint32_t FailoverGroupNameLength = sizeof FailoverGroupName - 1;
constexpr uint32_t AdapterLabelLength = 9;  // "Adapter 1"

// The failover groups answer get of rows 0 and 1 only.
bool RefusedFailoverRow(const ReadCall& call) {
    return IsGetNext(call) || RowBeyond(call, FailoverLastRow);
}

// The label is whatever DmiNewOctetString made of the table slot: neither length nor body is
// touched afterwards.
DmiErrorStatus SetAdapterLabel(DmiAttributeData* record, uint32_t rowIndex) {
    DmiErrorStatus status = DMIERR_NO_ERROR;
    record->data.value.str = DmiApi.DmiNewOctetString(AdapterLabelLength, AdapterLabels[rowIndex],
                                                      serviceState.memoryDescriptor, &status);
    if (status != DMIERR_NO_ERROR) {
        return status;
    }
    record->data.type = MIF_DISPLAYSTRING;
    return DMIERR_NO_ERROR;
}

// The physical slot of one adapter of the pair, from the PCI location the driver reports.
DmiErrorStatus ReadAdapterSlot(DmiAttributeData* record, uint32_t row) {
    DriverRequest request = MakeDriverRequest(code::kAdapterLocation);
    SetRequestWord(request, kValueOffset, row - 1);
    if (!ExchangeWithDriver(request)) {
        return ValueUnknown;
    }
    const int32_t slot = FindPciSlot(ReplyValue(request), RequestByte(request, kDataOffset));
    SetInteger(record, static_cast<uint32_t>(slot));
    return DMIERR_NO_ERROR;
}

}  // namespace

DmiErrorStatus ReadFailoverGroup(ReadCall& call) {
    using namespace component::failover_group;
    if (RefusedFailoverRow(call)) {
        return RowNotFound;
    }
    switch (call.attributeId) {
        case kFailoverGroupName:
            return SetString(call.record, FailoverGroupName, FailoverGroupNameLength);
        case kFailoverGroupNumber:
            SetInteger(call.record, 1);
            break;
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadFailoverAdapterTable(ReadCall& call) {
    using namespace component::failover_adapter_table;
    if (RefusedFailoverRow(call)) {
        return RowNotFound;
    }
    const uint32_t row = RequestedRow(call);  // 0 or 1: get only
    switch (call.attributeId) {
        case kAdapterNumber:
            SetInteger(call.record, row);
            break;
        case kAdapterLabel:
            // Row 0 has no label: its index, -1, names no slot of the table.
            if (row == 0) {
                return RowNotFound;
            }
            return SetAdapterLabel(call.record, row - 1);
        case kFixedValueAttribute3:
        case kFixedValueAttribute5:
        case kFixedValueAttribute7:
            SetInteger(call.record, 1);
            break;
        case kPhysicalSlot:
            return ReadAdapterSlot(call.record, row);
        case kActiveAdapterNumber:
        case kFixedValueAttribute9:
        case kStandbyAdapterNumber:
            SetInteger(call.record, 0);
            break;
        case kDriverValue61:
            return SetReplyInteger(call.record, code::kDriverValue61);
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}
