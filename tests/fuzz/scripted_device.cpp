// The control device of the fuzz targets: a transport of the stand-in's device calls that
// answers in the process from the script, recording every exchange. Files open for real through
// the stand-in. A call on a connection that is not open aborts, so the fuzzer reports it.
#include "scripted_device.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "device_transport.h"
#include "korvo/driver_protocol.h"

namespace {

korvo::fuzz::DeviceScript script;
std::vector<korvo::fuzz::DeviceExchange> exchanges;
std::set<int> openConnections;
int nextConnection = 0;
size_t descriptorsAtScript = 0;

void CheckOpen(int connection, const char* call) {
    if (openConnections.count(connection) == 0) {
        std::fprintf(stderr, "scripted device: %s on a connection that is not open\n", call);
        std::abort();
    }
}

int OpenScripted(const char* name) {
    if (std::strcmp(name, korvo::driver::kDeviceName) != 0 || !script.open()) {
        return -1;
    }
    openConnections.insert(nextConnection);
    return nextConnection++;
}

korvo::host::DeviceCall ExchangeScripted(int connection, uint32_t controlCode, const void* input,
                                         uint32_t inputSize, void* output, uint32_t outputSize,
                                         uint32_t* bytesReturned) {
    CheckOpen(connection, "DeviceIoControl");
    korvo::fuzz::DeviceExchange exchange;
    exchange.controlCode = controlCode;
    const auto* in = static_cast<const uint8_t*>(input);
    exchange.input.assign(in, in + inputSize);
    exchange.outputSize = outputSize;
    if (output != nullptr) {
        std::memcpy(exchange.record.data(), output,
                    std::min<size_t>(outputSize, exchange.record.size()));
    }
    exchanges.push_back(exchange);

    const korvo::fuzz::DeviceAnswer answer =
        script.answer(exchange, static_cast<uint8_t*>(output), outputSize);
    *bytesReturned = answer.bytesReturned;
    return answer.success ? korvo::host::DeviceCall::Succeeded : korvo::host::DeviceCall::Failed;
}

void CloseScripted(int connection) {
    CheckOpen(connection, "CloseHandle");
    openConnections.erase(connection);
}

constexpr korvo::host::DeviceTransport kScripted{OpenScripted, ExchangeScripted, CloseScripted};

// The process's open descriptors: a file the agent opened and did not close stays among them.
size_t OpenDescriptors() {
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) {
        std::perror("scripted device: /proc/self/fd");
        std::abort();
    }
    size_t count = 0;
    while (readdir(directory) != nullptr) {
        ++count;
    }
    closedir(directory);
    return count;
}

}  // namespace

namespace korvo::fuzz {

void SetDeviceScript(DeviceScript replacement) {
    korvo::host::SetDeviceTransport(&kScripted);
    script = std::move(replacement);
    exchanges.clear();
    descriptorsAtScript = OpenDescriptors();
}

const std::vector<DeviceExchange>& DeviceExchanges() {
    return exchanges;
}

size_t OpenHandleCount() {
    const size_t descriptors = OpenDescriptors();
    return openConnections.size() +
           (descriptors > descriptorsAtScript ? descriptors - descriptorsAtScript : 0);
}

}  // namespace korvo::fuzz
