// A raw client of the simulator's control device for tests: speaks the host layer's exchange
// protocol byte by byte, so that tests can also send what the host layer never would (wrong
// lengths, half a request) and wait for a reply that must not come.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "adapter_model.h"
#include "korvo_host.h"

namespace korvo::adapter::test {

// The request as the host layer frames it: the header, then the input and output bytes.
inline std::vector<uint8_t> FrameRequest(uint32_t controlCode, const std::vector<uint8_t>& input,
                                         const std::vector<uint8_t>& output) {
    // Sized once and filled in place: appending to the header's 12 bytes is what GCC 12's
    // optimiser takes for a write past them (-Warray-bounds).
    std::vector<uint8_t> frame(kRequestHeaderSize + input.size() + output.size());
    EncodeRequestHeader(
        {controlCode, static_cast<uint32_t>(input.size()), static_cast<uint32_t>(output.size())},
        frame.data());
    std::copy(input.begin(), input.end(), frame.begin() + kRequestHeaderSize);
    std::copy(output.begin(), output.end(),
              frame.begin() + static_cast<std::ptrdiff_t>(kRequestHeaderSize + input.size()));
    return frame;
}

inline std::vector<uint8_t> RequestRecord(uint16_t requestCode, uint8_t index = 0,
                                          uint32_t value = 0) {
    std::vector<uint8_t> record(kRecordSize, 0);
    PutU16(&record[kCodeOffset], requestCode);
    record[kIndexOffset] = index;
    PutU32(&record[kValueOffset], value);
    return record;
}

inline std::vector<uint8_t> ControlWord(uint32_t word) {
    std::vector<uint8_t> bytes(kControlWordSize);
    PutU32(bytes.data(), word);
    return bytes;
}

struct DeviceReply {
    uint32_t success = 0;
    uint32_t bytesReturned = 0;
    std::vector<uint8_t> output;
    // The record's status; throws (as at() does) when the reply is too short to hold it.
    uint16_t status() const {
        static_cast<void>(output.at(kStatusOffset + 1));
        return GetU16(output.data() + kStatusOffset);
    }
    uint32_t word(size_t offset) const { return GetU32(output.data() + offset); }
};

// One connection to the control device.
class DeviceClient {
  public:
    explicit DeviceClient(const std::string& path) : fd_(host::ConnectUnix(path)) {}
    ~DeviceClient() { Close(); }
    DeviceClient(const DeviceClient&) = delete;
    DeviceClient& operator=(const DeviceClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    void Close() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

    bool SendBytes(const std::vector<uint8_t>& bytes) {
        return host::WriteFull(fd_, bytes.data(), bytes.size());
    }

    // The reply to a request with an output buffer of `outputLength` bytes, if one comes within
    // `timeoutMs`.
    std::optional<DeviceReply> ReadReply(size_t outputLength, int timeoutMs = 2000) {
        std::vector<uint8_t> bytes(kReplyHeaderSize + outputLength);
        if (!host::ReadFull(fd_, bytes.data(), bytes.size(), timeoutMs)) {
            return std::nullopt;
        }
        const ReplyHeader header = DecodeReplyHeader(bytes.data());
        return DeviceReply{
            header.success, header.bytesReturned, {bytes.begin() + kReplyHeaderSize, bytes.end()}};
    }

    std::optional<DeviceReply> Exchange(uint32_t controlWord, const std::vector<uint8_t>& record,
                                        int timeoutMs = 2000) {
        if (!SendBytes(FrameRequest(kQueryGlobalStatsCode, ControlWord(controlWord), record))) {
            return std::nullopt;
        }
        return ReadReply(record.size(), timeoutMs);
    }

    std::optional<DeviceReply> Request(uint16_t requestCode, uint8_t index = 0,
                                       uint32_t value = 0) {
        return Exchange(kRequestControlWord, RequestRecord(requestCode, index, value));
    }

    // True when the server closed the connection within `timeoutMs` without sending anything.
    bool ClosedByPeer(int timeoutMs = 2000) {
        pollfd waiting{fd_, POLLIN, 0};
        if (poll(&waiting, 1, timeoutMs) != 1) {
            return false;
        }
        uint8_t byte = 0;
        return read(fd_, &byte, 1) <= 0;
    }

    // True when nothing at all arrives within `timeoutMs`, and the connection stays open.
    bool QuietFor(int timeoutMs) {
        pollfd waiting{fd_, POLLIN, 0};
        return poll(&waiting, 1, timeoutMs) == 0;
    }

  private:
    int fd_;
};

// Waits until something accepts connections at `path`.
inline bool WaitForSocket(const std::string& path, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = host::ConnectUnix(path);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace korvo::adapter::test
