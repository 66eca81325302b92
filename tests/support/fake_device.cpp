// The fake control device: a listening socket, a thread per connection, a log of exchanges.
#include "support/fake_device.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "korvo_host.h"

namespace korvo::test {
namespace {

uint32_t Le32(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

void PutLe32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = uint8_t(value >> (8 * i));
    }
}

}  // namespace

uint32_t FakeDevice::Exchange::controlWord() const {
    return input.size() >= 4 ? Le32(input.data()) : 0;
}

uint32_t FakeDevice::Exchange::word(size_t offset) const { return Le32(&record.at(offset)); }

void FakeDevice::PutWord(Record& record, size_t offset, uint32_t value) {
    PutLe32(&record.at(offset), value);
}

FakeDevice::FakeDevice() {
    listenFd_ = host::ListenUnix(host::DevicePath("korvodmi.vxd"));
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
        uint8_t header[12];
        if (!host::ReadFull(fd, header, sizeof header, 1000)) {
            break;
        }
        const uint32_t inLength = Le32(header + 4);
        const uint32_t outLength = Le32(header + 8);
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
        exchange.controlCode = Le32(header);
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
        std::vector<uint8_t> message(8 + output.size());
        PutLe32(message.data(), answer.success);
        PutLe32(message.data() + 4, answer.bytesReturned);
        std::memcpy(message.data() + 8, output.data(), output.size());
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
