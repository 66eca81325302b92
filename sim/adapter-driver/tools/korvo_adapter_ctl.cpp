// korvo-adapter-ctl: talks to the simulated adapter's kernel driver through its control device.
// "probe" and "request" make the agent's own exchange and print the reply, which shows the
// driver stack end to end; any other words are a simulator control command ("failover 2",
// "fail 56 silent", "status", ...) that the driver carries out on its model.
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter_model.h"
#include "control_command.h"
#include "device_protocol.h"

namespace {

namespace adapter = korvo::adapter;
namespace driver = korvo::driver;

using driver::kDevicePath;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void Usage() {
    std::fprintf(
        stderr,
        "usage: korvo-adapter-ctl probe\n"
        "       korvo-adapter-ctl request CODE [ROW [VALUE]]\n"
        "       korvo-adapter-ctl COMMAND...   (failover 1|2, fail CODE|probe|all MODE,\n"
        "                                      heal CODE|probe|all, stop, start, log [N],\n"
        "                                      status, set KEY=VALUE)\n");
}

std::string SystemMessage(DWORD error) {
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return "error " + std::to_string(error) + (message.empty() ? "" : " (" + message + ")");
}

class Device {
  public:
    Device()
        : handle_(CreateFileA(kDevicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~Device() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Handle() const { return handle_; }

  private:
    HANDLE handle_;
};

std::optional<uint32_t> ParseNumber(const char* text) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (*text == '\0' || *end != '\0' || value > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

// One exchange as the agent makes it: the control word in, the record as the output buffer.
int Exchange(uint32_t controlWord, adapter::Record record) {
    Device device;
    if (!device.Open()) {
        std::fprintf(stderr,
                     "korvo-adapter-ctl: cannot open %s: %s (is the korvodmi driver "
                     "started? sc start korvodmi)\n",
                     kDevicePath, SystemMessage(GetLastError()).c_str());
        return kExitFailed;
    }
    std::array<uint8_t, driver::kControlWordSize> word{};
    driver::PutU32(word.data(), controlWord);
    DWORD bytesReturned = 0;
    const BOOL called = DeviceIoControl(device.Handle(), driver::kQueryGlobalStatsCode, word.data(),
                                        static_cast<DWORD>(word.size()), record.data(),
                                        static_cast<DWORD>(record.size()), &bytesReturned, nullptr);
    if (!called) {
        std::printf("call failed: %s\n", SystemMessage(GetLastError()).c_str());
        return kExitFailed;
    }
    const unsigned status = driver::GetU16(&record[driver::kStatusOffset]);
    std::printf("call succeeded, %lu bytes returned, status 0x%04X, record", bytesReturned, status);
    for (uint8_t byte : record) {
        std::printf(" %02X", byte);
    }
    std::printf("\n");
    return bytesReturned != 0 && status != driver::kStatusFailed ? 0 : kExitFailed;
}

int Probe() {
    return Exchange(driver::kProbeControlWord, adapter::Record{});
}

int Request(int argc, char** argv) {
    if (argc < 3 || argc > 5) {
        Usage();
        return kExitUsage;
    }
    const auto requestCode = ParseNumber(argv[2]);
    const auto row = argc > 3 ? ParseNumber(argv[3]) : std::optional<uint32_t>(0);
    const auto value = argc > 4 ? ParseNumber(argv[4]) : row;
    if (!requestCode || *requestCode > 0xFFFF || !row || *row > 0xFF || !value) {
        std::fprintf(stderr,
                     "korvo-adapter-ctl: CODE is 0 to 65535, ROW 0 to 255 and VALUE a "
                     "32-bit number\n");
        return kExitUsage;
    }
    // A read carries its row in byte 11 and in the value; a write carries the new value.
    adapter::Record record{};
    driver::PutU16(&record[driver::kCodeOffset], static_cast<uint16_t>(*requestCode));
    record[driver::kIndexOffset] = static_cast<uint8_t>(*row);
    driver::PutU32(&record[driver::kValueOffset], *value);
    return Exchange(driver::kRequestControlWord, record);
}

int Command(int argc, char** argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    std::string error;
    const auto command = adapter::ParseControlCommand(words, error);
    if (!command) {
        std::fprintf(stderr, "korvo-adapter-ctl: %s\n", error.c_str());
        Usage();
        return kExitUsage;
    }
    const std::string line = adapter::FormatControlCommand(*command);
    Device device;
    if (!device.Open()) {
        std::fprintf(stderr,
                     "korvo-adapter-ctl: cannot open %s: %s (is the korvodmi driver "
                     "started? sc start korvodmi)\n",
                     kDevicePath, SystemMessage(GetLastError()).c_str());
        return kExitFailed;
    }
    std::vector<char> reply(KORVO_REPLY_CAPACITY);
    DWORD bytesReturned = 0;
    if (!DeviceIoControl(device.Handle(), KORVO_CONTROL_COMMAND_CODE,
                         const_cast<char*>(line.data()), static_cast<DWORD>(line.size()),
                         reply.data(), static_cast<DWORD>(reply.size()), &bytesReturned, nullptr) ||
        bytesReturned == 0) {
        std::fprintf(stderr, "korvo-adapter-ctl: the driver did not take '%s': %s\n", line.c_str(),
                     SystemMessage(GetLastError()).c_str());
        return kExitFailed;
    }
    const bool done = static_cast<uint8_t>(reply[0]) == KORVO_COMMAND_DONE;
    std::fwrite(reply.data() + 1, 1, bytesReturned - 1, done ? stdout : stderr);
    std::fputc('\n', done ? stdout : stderr);
    return done ? 0 : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage();
        return kExitUsage;
    }
    const std::string_view verb = argv[1];
    if (verb == "probe") {
        return argc == 2 ? Probe() : (Usage(), kExitUsage);
    }
    if (verb == "request") {
        return Request(argc, argv);
    }
    return Command(argc, argv);
}
