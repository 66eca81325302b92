// A fake adapter driver behind the control device \\.\korvodmi.vxd, on a private KORVO_ROOT.
// It speaks the host layer's exchange protocol, records every exchange it receives, and
// answers through a handler the test gives it (by default: success, 24 bytes, record as sent).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "korvo/driver_protocol.h"
#include "support/private_root.h"

namespace korvo::test {

class FakeDevice {
  public:
    using Record = std::array<uint8_t, driver::kRecordSize>;

    // What the device received in one exchange.
    struct Exchange {
        uint32_t controlCode = 0;
        std::vector<uint8_t> input;  // the control word's bytes, as sent
        Record record{};             // the output buffer as it came in
        uint16_t requestCode() const { return GetU16(&record[driver::kCodeOffset]); }
        uint32_t controlWord() const;
        uint8_t byte(size_t offset) const { return record.at(offset); }
        uint32_t word(size_t offset) const;
    };

    // How to answer one exchange. The handler edits `record` (the reply) in place.
    struct Reply {
        uint32_t success = 1;
        uint32_t bytesReturned = driver::kRecordSize;
        bool hangUp = false;  // close the connection without answering
        bool silent = false;  // keep the connection open and never answer
    };
    using Handler = std::function<Reply(const Exchange&, Record& record)>;

    FakeDevice();  // makes its own private KORVO_ROOT
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    void SetHandler(Handler handler);

    std::vector<Exchange> exchanges() const;
    void ClearExchanges();
    int connections() const { return connections_.load(); }
    // Waits (briefly) until every accepted connection has been closed by its client.
    int WaitForCloses(int expected) const;

    const std::string& root() const { return root_.path(); }

    // Helpers for handlers.
    static void PutWord(Record& record, size_t offset, uint32_t value);

  private:
    void Serve();
    void ServeConnection(int fd);

    PrivateRoot root_;
    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    std::thread acceptThread_;
    std::vector<std::thread> connectionThreads_;
    mutable std::mutex mutex_;
    mutable std::condition_variable closed_;
    Handler handler_;
    std::vector<Exchange> exchanges_;
    std::atomic<int> connections_{0};
    int closes_ = 0;
    std::atomic<bool> stopping_{false};
};

}  // namespace korvo::test
