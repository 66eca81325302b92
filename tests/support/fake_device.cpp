// The fake control device: a listening socket, a thread per connection, a log of exchanges.
#include "support/fake_device.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "korvo/driver_protocol.h"
#include "korvo_host.h"

namespace korvo::test {

using driver::GetU32;
using driver::PutU32;

uint32_t FakeDevice::Exchange::controlWord() const {
    return input.size() >= driver::kControlWordSize ? GetU32(input.data()) : 0;
}

uint32_t FakeDevice::Exchange::word(size_t offset) const {
    return GetU32(&record.at(offset));
}

void FakeDevice::PutWord(Record& record, size_t offset, uint32_t value) {
    PutU32(&record.at(offset), value);
}

FakeDevice::FakeDevice() {
    listenFd_ = host::ListenUnix(host::DevicePath(driver::kDeviceName));
    if (listenFd_ < 0 || pipe(wakePipe_) != 0) {
        throw std::runtime_error("fake device: cannot listen under " + root_.path());
    }
    handler_ = [](const Exchange&, Record&) { return Reply{}; };
    acceptThread_ = std::thread([this] { Serve(); });
}

FakeDevice::~FakeDevice() {
    stopping_ = true;
    const char wake = 1;
    (void)!write(wakePipe_[1], &wake, 1);
    acceptThread_.join();
    for (std::thread& thread : connectionThreads_) {
        thread.join();
    }
    close(listenFd_);
    close(wakePipe_[0]);
    close(wakePipe_[1]);
}

void FakeDevice::SetHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<FakeDevice::Exchange> FakeDevice::exchanges() const {
    std::lock_guard lock(mutex_);
    return exchanges_;
}

void FakeDevice::ClearExchanges() {
    std::lock_guard lock(mutex_);
    exchanges_.clear();
}

int FakeDevice::WaitForCloses(int expected) const {
    std::unique_lock lock(mutex_);
    closed_.wait_for(lock, std::chrono::seconds(2), [&] { return closes_ >= expected; });
    return closes_;
}

void FakeDevice::Serve() {
    while (!stopping_) {
        pollfd waits[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (poll(waits, 2, -1) <= 0) {
            continue;
        }
        if (waits[1].revents != 0) {
            break;
        }
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        ++connections_;
        connectionThreads_.emplace_back([this, fd] { ServeConnection(fd); });
    }
}

void FakeDevice::ServeConnection(int fd) {
    for (;;) {
        pollfd waits[2] = {{fd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (poll(waits, 2, -1) <= 0 || waits[1].revents != 0) {
            break;
        }
        uint8_t header[driver::kRequestHeaderSize];
        if (!host::ReadFull(fd, header, sizeof header, 1000)) {
            break;
        }
        const auto [controlCode, inLength, outLength] = driver::DecodeRequestHeader(header);
        if (inLength > 4096 || outLength > 4096) {
            break;
        }
        std::vector<uint8_t> input(inLength);
        std::vector<uint8_t> output(outLength);
        if ((inLength != 0 && !host::ReadFull(fd, input.data(), inLength, 1000)) ||
            (outLength != 0 && !host::ReadFull(fd, output.data(), outLength, 1000))) {
            break;
        }
        Exchange exchange;
        exchange.controlCode = controlCode;
        exchange.input = input;
        std::memcpy(exchange.record.data(), output.data(),
                    std::min<size_t>(output.size(), exchange.record.size()));
        Record reply = exchange.record;
        Handler handler;
        {
            std::lock_guard lock(mutex_);
            exchanges_.push_back(exchange);
            handler = handler_;
        }
        const Reply answer = handler(exchange, reply);
        if (answer.hangUp) {
            break;
        }
        if (answer.silent) {
            // Never answer; wait for the client to give up and hang up (or for teardown).
            pollfd hold[2] = {{fd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
            poll(hold, 2, -1);
            break;
        }
        std::memcpy(output.data(), reply.data(), std::min<size_t>(output.size(), reply.size()));
        std::vector<uint8_t> message(driver::kReplyHeaderSize + output.size());
        driver::EncodeReplyHeader({answer.success, answer.bytesReturned}, message.data());
        std::memcpy(message.data() + driver::kReplyHeaderSize, output.data(), output.size());
        if (!host::WriteFull(fd, message.data(), message.size())) {
            break;
        }
    }
    close(fd);
    std::lock_guard lock(mutex_);
    ++closes_;
    closed_.notify_all();
}

}  // namespace korvo::test
