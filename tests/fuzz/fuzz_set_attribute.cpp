// Fuzzes the write handler: the input picks the group, attribute, key list and value (none, or
// any type code with any 64 bits), then answers the driver exchange. A write sends at most one
// request, of one of the three write codes, for a row of its table and a value of its type,
// carrying the row the first key names and the value's first 32 bits; no handle stays open.
#include <cstddef>
#include <cstdint>

#include "agent_fuzz_input.h"
#include "driver/driver_channel.h"
#include "instrumentation/write_attribute.h"
#include "scripted_device.h"

using namespace korvo::driver;

namespace {

using korvo::fuzz::Check;

struct WriteCode {
    uint16_t code;
    uint32_t lastRow;
    bool anyNumber;  // counter, gauge or integer; otherwise integer only
};
constexpr WriteCode kWriteCodes[] = {{30, 125, true}, {32, 35, false}, {33, 35, false}};

void CheckWrite(const DmiAttributeData* value, uint32_t rowKey) {
    const auto& exchanges = korvo::fuzz::DeviceExchanges();
    Check(exchanges.size() <= 1, "one write sent more than one request");
    if (exchanges.empty()) {
        return;
    }
    const korvo::fuzz::DeviceExchange& sent = exchanges.front();
    Check(sent.controlCode == kQueryGlobalStatsCode && sent.input.size() == 4 &&
              sent.outputSize == sizeof(DriverRequest),
          "a write's exchange is not shaped as the driver expects");
    const uint16_t code = korvo::GetU16(&sent.record[kCodeOffset]);
    const WriteCode* write = nullptr;
    for (const WriteCode& writeCode : kWriteCodes) {
        write = code == writeCode.code ? &writeCode : write;
    }
    Check(write != nullptr, "a write sent a request code that is not a write's");
    Check(value != nullptr, "a write without a value reached the driver");
    Check(rowKey >= 1 && rowKey <= write->lastRow, "a write reached a row outside its table");
    const DmiUnsigned type = value->data.type;
    Check(type == MIF_INTEGER || (write->anyNumber && (type == MIF_COUNTER || type == MIF_GAUGE)),
          "a value of another type reached the driver");
    const uint32_t sentValue = korvo::GetU32(&sent.record[kValueOffset]);
    Check(sentValue == value->data.value.words[0], "the driver got another value");
    Check(sent.record[kIndexOffset] == static_cast<uint8_t>(rowKey - 1),
          "the driver got another row");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const DmiId group = korvo::fuzz::ConsumeId(input, 22);
    const DmiId attribute = korvo::fuzz::ConsumeId(input, 4);
    korvo::fuzz::FuzzedKeyList keys(input);
    DmiAttributeData value{};
    const bool hasValue = input.ConsumeIntegral<uint8_t>() >= 0x10;
    if (hasValue) {
        const auto typeKind = input.ConsumeIntegral<uint8_t>();
        value.id = attribute;
        value.data.type = typeKind < 0xC0 ? MIF_INTEGER : korvo::fuzz::ConsumeId(input, 12);
        value.data.value.words[0] = input.ConsumeIntegral<uint32_t>();
        value.data.value.words[1] = input.ConsumeIntegral<uint32_t>();
    }
    korvo::fuzz::AnswerDriverFromInput(input);

    const DmiErrorStatus status =
        CiSetAttribute(42, group, attribute, nullptr, keys.get(), hasValue ? &value : nullptr);

    Check(korvo::fuzz::OpenHandleCount() == 0, "a handle was left open");
    Check(status == DMIERR_NO_ERROR || status == WriteValueNotInteger ||
              status == DMIERR_ROW_NOT_FOUND || status == DMIERR_VALUE_UNKNOWN,
          "a write answered a status other than 0, wrong type, no such row or value unknown");
    uint32_t rowKey = keys.firstKeyOr(1);
    if (rowKey == 0xFFFFFFFFu) {
        rowKey = 1;
    }
    CheckWrite(hasValue ? &value : nullptr, rowKey);
    return 0;
}
