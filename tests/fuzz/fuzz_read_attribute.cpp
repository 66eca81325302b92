// Fuzzes the read handler: the input picks the group, attribute, key list, mode, driver variant,
// windir and an allocation to fail, then answers every driver exchange. After each read the
// record is freed as the service provider frees it, and nothing may be left over: no block
// outstanding, no bad free, no handle open, and every exchange shaped as the driver expects.
#include <cstddef>
#include <cstdint>

#include "agent_fuzz_input.h"
#include "dmi/dmi_api.h"
#include "driver/driver_channel.h"
#include "instrumentation/read_attribute.h"
#include "scripted_device.h"
#include "state/service_state.h"
#include "support/fake_dmi.h"

using namespace korvo::driver;

namespace {

using korvo::fuzz::Check;

// The longest text any attribute of the component has.
constexpr uint32_t kLongestText = 32;
constexpr int kLastAllocationToFail = 3;

// Verify (group 1, attribute 6) asks the driver's probe; every other read asks for a value.
void CheckExchanges(DmiId group, DmiId attribute) {
    const uint32_t expectedWord =
        group == 1 && attribute == 6 ? kProbeControlWord : kRequestControlWord;
    for (const korvo::fuzz::DeviceExchange& exchange : korvo::fuzz::DeviceExchanges()) {
        Check(exchange.controlCode == kQueryGlobalStatsCode, "exchange with another control code");
        Check(exchange.outputSize == sizeof(DriverRequest), "output buffer is not one record");
        Check(exchange.input.size() == 4, "input is not one control word");
        Check(korvo::GetU32(exchange.input.data()) == expectedWord,
              "a read sent another control word");
    }
}

bool HoldsString(const DmiAttributeData& record) {
    return record.data.type == MIF_DISPLAYSTRING || record.data.type == MIF_OCTETSTRING;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static korvo::test::FakeDmi dmi;
    korvo::fuzz::PrepareSimulatedMachine();
    FuzzedDataProvider input(data, size);

    ResetServiceState();
    serviceState.memoryDescriptor = korvo::test::FakeDmi::memoryDescriptor();
    serviceState.driverVariant = input.ConsumeBool() ? 1 : 0;
    const DmiId group = korvo::fuzz::ConsumeId(input, 22);
    const DmiId attribute = korvo::fuzz::ConsumeId(input, 21);
    const auto modeKind = input.ConsumeIntegral<uint8_t>();
    const uint32_t mode = modeKind < 0xF0 ? modeKind & 1u : input.ConsumeIntegral<uint32_t>();
    korvo::fuzz::FuzzedKeyList keys(input);
    korvo::fuzz::SetWindowsDirectoryFromInput(input);
    dmi.FailAllocation(input.ConsumeIntegralInRange(0, kLastAllocationToFail));
    korvo::fuzz::AnswerDriverFromInput(input);

    DmiAttributeData* record = nullptr;
    const DmiErrorStatus status =
        ReadAttribute(42, group, attribute, nullptr, keys.get(), &record, mode);

    Check(korvo::fuzz::OpenHandleCount() == 0, "a handle was left open");
    CheckExchanges(group, attribute);
    Check(record != nullptr || status != DMIERR_NO_ERROR, "success without a record");
    if (record != nullptr) {
        Check(record->id == attribute, "the record does not carry the attribute id");
        if (HoldsString(*record)) {
            Check(record->data.value.str != nullptr, "a string value without its string");
            Check(record->data.value.str->size <= kLongestText,
                  "a text longer than any the "
                  "component has");
        }
        DmiApi.DmiFreeAttributeData(record, serviceState.memoryDescriptor);
    }
    dmi.FailAllocation(0);
    Check(dmi.outstanding() == 0, "blocks left outstanding after the record was freed");
    Check(dmi.badFrees() == 0, "a block freed that was never handed out");
    dmi.ClearCalls();
    dmi.freedBlocks.clear();
    return 0;
}
