// The driver's answers, key lists and windir taken from the fuzz input, and the simulated
// machine the agent's fuzz targets run on.
#include "agent_fuzz_input.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "scripted_device.h"
#include "support/private_root.h"

namespace korvo::fuzz {
namespace {

constexpr size_t kRecordSize = 24;
constexpr size_t kDataOffset = 4;
constexpr size_t kStatusOffset = 2;
constexpr uint8_t kFailedStatus = 0xFF;

// The low three bits of the byte that opens each exchange.
enum Outcome : uint8_t {
    kOpenFails = 7,
    kCallFails = 6,     // FALSE, nothing written
    kNoBytes = 5,       // TRUE, 0 bytes returned, nothing written
    kStatusFailed = 4,  // TRUE, 24 bytes, status 0xFFFF, nothing else written
};
constexpr uint8_t kOutcomeMask = 0x07;
constexpr uint8_t kAnyByteCount = 0x08;  // bytes returned taken from the input
constexpr uint8_t kWholeRecord = 0x10;   // code and status from the input too

// The largest made-up windir: past the 100-byte path buffer the agent builds in.
constexpr size_t kLongestWindowsDirectory = 150;

// Example slot table: two matching slots, a negative name, and a name too long for the
// agent's buffer that ends its walk.
constexpr char kRegistryText[] =
    "REGEDIT4\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QEV\\Slots\\PCI\\1]\n"
    "\"Bus\"=dword:00000000\n"
    "\"Slot\"=dword:0000000b\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QEV\\Slots\\PCI\\2]\n"
    "\"Bus\"=dword:00000000\n"
    "\"Slot\"=dword:0000000c\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QEV\\Slots\\PCI\\-3]\n"
    "\"Bus\"=hex:01\n"
    "\"Slot\"=dword:0000000d\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QEV\\Slots\\PCI\\1234]\n"
    "\"Bus\"=dword:00000002\n"
    "\"Slot\"=dword:0000000e\n";

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << contents;
    Check(static_cast<bool>(file), "cannot write the simulated machine's files");
}

uint32_t ConsumeKey(FuzzedDataProvider& input) {
    const auto kind = input.ConsumeIntegral<uint8_t>();
    if (kind < 0xE0) {
        return kind % 130;  // around every table's last row
    }
    return kind < 0xF0 ? 0xFFFFFFFFu : input.ConsumeIntegral<uint32_t>();
}

}  // namespace

void Check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

void AnswerDriverFromInput(FuzzedDataProvider& input) {
    // The byte read at the open decides the answer of the exchange on that handle.
    auto pending = std::make_shared<uint8_t>(0);
    DeviceScript script;
    script.open = [&input, pending] {
        if (input.remaining_bytes() == 0) {
            return false;
        }
        *pending = input.ConsumeIntegral<uint8_t>();
        return (*pending & kOutcomeMask) != kOpenFails;
    };
    script.answer = [&input, pending](const DeviceExchange&, uint8_t* output, size_t size) {
        const uint8_t how = *pending;
        switch (how & kOutcomeMask) {
            case kCallFails:
                return DeviceAnswer{false, 0};
            case kNoBytes:
                return DeviceAnswer{true, 0};
            case kStatusFailed:
                if (size >= kStatusOffset + 2) {
                    output[kStatusOffset] = kFailedStatus;
                    output[kStatusOffset + 1] = kFailedStatus;
                }
                return DeviceAnswer{true, static_cast<uint32_t>(size)};
            default:
                break;
        }
        const size_t first = (how & kWholeRecord) != 0 ? 0 : std::min(kDataOffset, size);
        const std::vector<uint8_t> reply = input.ConsumeBytes<uint8_t>(size - first);
        if (!reply.empty()) {
            std::memcpy(output + first, reply.data(), reply.size());
        }
        const uint32_t bytes = (how & kAnyByteCount) != 0 ? input.ConsumeIntegral<uint32_t>()
                                                          : static_cast<uint32_t>(kRecordSize);
        return DeviceAnswer{true, bytes};
    };
    SetDeviceScript(std::move(script));
}

uint32_t ConsumeId(FuzzedDataProvider& input, uint32_t usualMaximum) {
    const auto pick = input.ConsumeIntegral<uint8_t>();
    if (pick < 0xF0) {
        return pick % (usualMaximum + 1);
    }
    return input.ConsumeIntegral<uint32_t>();
}

FuzzedKeyList::FuzzedKeyList(FuzzedDataProvider& input) {
    enum : uint8_t { kNone, kEmpty, kCountOnly };
    const auto shape = input.ConsumeIntegralInRange<uint8_t>(0, 7);
    switch (shape) {
        case kNone:
            absent_ = true;
            return;
        case kEmpty:
            return;
        case kCountOnly:
            list_.size = input.ConsumeIntegralInRange<uint32_t>(1, 3);
            return;
        default:
            break;
    }
    const size_t count = shape - kCountOnly;  // 1 to 5 keys
    for (size_t i = 0; i < count; ++i) {
        DmiAttributeData key{};
        key.id = static_cast<DmiId>(i + 1);
        key.data.type = MIF_INTEGER;
        key.data.value.words[0] = ConsumeKey(input);
        entries_.push_back(key);
    }
    list_.size = static_cast<DmiUnsigned>(entries_.size());
    list_.list = entries_.data();
}

uint32_t FuzzedKeyList::firstKeyOr(uint32_t fallback) const {
    return absent_ || entries_.empty() ? fallback : entries_[0].data.value.words[0];
}

const SimulatedMachine& PrepareSimulatedMachine() {
    static test::PrivateRoot root;  // removed at exit
    static const SimulatedMachine machine = [] {
        SimulatedMachine made;
        made.root = root.path();
        made.windowsDirectory = made.root + "/windows";
        std::filesystem::create_directories(made.windowsDirectory + "/system");
        WriteFile(made.root + "/registry.reg", kRegistryText);
        const char* names[2] = {"/system/KORVOm4.SYS", "/system/KORVOm5.SYS"};
        for (size_t i = 0; i < 2; ++i) {
            WriteFile(made.windowsDirectory + names[i],
                      std::string(SimulatedMachine::kDriverFileSizes[i], 'x'));
        }
        return made;
    }();
    return machine;
}

void SetWindowsDirectoryFromInput(FuzzedDataProvider& input) {
    const auto choice = input.ConsumeIntegral<uint8_t>();
    if (choice < 0x40) {
        unsetenv("windir");
    } else if (choice < 0xC0) {
        setenv("windir", PrepareSimulatedMachine().windowsDirectory.c_str(), 1);
    } else {
        const size_t length = input.ConsumeIntegralInRange<size_t>(0, kLongestWindowsDirectory);
        setenv("windir", ("/" + std::string(length, 'w')).c_str(), 1);
    }
}

}  // namespace korvo::fuzz
