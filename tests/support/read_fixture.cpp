// ReadFixture: replies per request code, reads through ReadAttribute, cleanup and leak check.
#include "support/read_fixture.h"

#include "dmi/dmi_api.h"
#include "instrumentation/read_attribute.h"
#include "state/service_state.h"

namespace korvo::test {

uint64_t ReadResult::u64() const {
    return uint64_t(record->data.value.words[1]) << 32 | record->data.value.words[0];
}

std::string ReadResult::text() const {
    const DmiString* str = record->data.value.str;
    return str == nullptr ? std::string() : std::string(str->body, str->size);
}

ReadFixture::ReadFixture() {
    ResetServiceState();
    serviceState.memoryDescriptor = FakeDmi::memoryDescriptor();
    device.SetHandler([this](const FakeDevice::Exchange& exchange, Record& record) {
        std::function<void(Record&)> reply;
        FakeDevice::Reply how{};
        {
            std::lock_guard lock(mutex_);
            if (auto failure = failures_.find(exchange.requestCode()); failure != failures_.end()) {
                how = failure->second;
            }
            if (auto found = replies_.find(exchange.requestCode()); found != replies_.end()) {
                reply = found->second;
            }
        }
        if (reply) {
            reply(record);
        }
        return how;
    });
}

void ReadFixture::TearDown() {
    for (DmiAttributeData* record : handedOut_) {
        DmiApi.DmiFreeAttributeData(record, serviceState.memoryDescriptor);
    }
    handedOut_.clear();
    EXPECT_EQ(dmi.outstanding(), 0) << "blocks left outstanding after the reads";
    EXPECT_EQ(dmi.badFrees(), 0);
    ResetServiceState();
}

void ReadFixture::OnRequest(uint16_t code, std::function<void(Record&)> reply) {
    std::lock_guard lock(mutex_);
    replies_[code] = std::move(reply);
}

void ReadFixture::FailRequest(uint16_t code, FakeDevice::Reply how) {
    std::lock_guard lock(mutex_);
    failures_[code] = how;
}

void ReadFixture::ReplyValue(uint16_t code, uint32_t value, uint32_t high) {
    OnRequest(code, [value, high](Record& r) {
        FakeDevice::PutWord(r, 16, value);
        FakeDevice::PutWord(r, 20, high);
    });
}

void ReadFixture::PutBytes(Record& record, size_t offset, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        record.at(offset + i) = bytes[i];
    }
}

ReadResult ReadFixture::Read(DmiId group, DmiId attribute, DmiAttributeValues* keys,
                             uint32_t mode) {
    DmiAttributeData* record = nullptr;
    const DmiErrorStatus status = ReadAttribute(42, group, attribute, nullptr, keys, &record, mode);
    if (record != nullptr) {
        handedOut_.push_back(record);
    }
    return {status, record};
}

std::vector<uint16_t> ReadFixture::SentCodes() {
    std::vector<uint16_t> codes;
    for (const auto& exchange : device.exchanges()) {
        codes.push_back(exchange.requestCode());
    }
    device.ClearExchanges();
    return codes;
}

}  // namespace korvo::test
