// The fixture for read-handler tests: a fake device whose replies are set per request code,
// a fake DMI library, and helpers that run ReadAttribute and look at the record it handed out.
// Every record is freed at the end of the test, and nothing may be left outstanding.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "dmi/dmi.h"
#include "support/fake_device.h"
#include "support/fake_dmi.h"

namespace korvo::test {

struct ReadResult {
    DmiErrorStatus status;
    DmiAttributeData* record;  // null when none was handed out

    DmiUnsigned type() const { return record->data.type; }
    uint32_t u32() const { return record->data.value.words[0]; }
    uint64_t u64() const;
    std::string text() const;  // the counted string's bytes, all `size` of them
};

class ReadFixture : public testing::Test {
  protected:
    using Record = FakeDevice::Record;

    ReadFixture();
    void TearDown() override;

    // The reply to request `code`: the handler edits the record the device sends back.
    void OnRequest(uint16_t code, std::function<void(Record&)> reply);
    // Every request with this code fails the given way.
    void FailRequest(uint16_t code, FakeDevice::Reply how);
    // The reply to request `code` carries `value` at offset 16 and `high` at offset 20.
    void ReplyValue(uint16_t code, uint32_t value, uint32_t high = 0);
    // Writes `bytes` into the record from `offset` on.
    static void PutBytes(Record& record, size_t offset, const std::vector<uint8_t>& bytes);

    ReadResult Read(DmiId group, DmiId attribute, DmiAttributeValues* keys = nullptr,
                    uint32_t mode = 0);
    ReadResult ReadNext(DmiId group, DmiId attribute, DmiAttributeValues* keys = nullptr) {
        return Read(group, attribute, keys, 1);
    }

    // The request codes the device saw since the last call, in order.
    std::vector<uint16_t> SentCodes();

    FakeDevice device;
    FakeDmi dmi;

  private:
    std::mutex mutex_;
    std::map<uint16_t, std::function<void(Record&)>> replies_;
    std::map<uint16_t, FakeDevice::Reply> failures_;
    std::vector<DmiAttributeData*> handedOut_;
};

}  // namespace korvo::test
