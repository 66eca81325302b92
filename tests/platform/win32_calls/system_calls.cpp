// The Win32 calls the agent makes beside its window, checked on the Linux host's stand-in and on
// 32-bit Windows (run under Wine): files, the control device, the registry, critical sections and
// interlocked words, text formatting and the library search. Its cases run after those of
// window_calls.cpp.
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "korvo/driver_protocol.h"
#include "platform.h"
#include "test_machine.h"

namespace korvo::calls {
namespace {

using namespace std::chrono_literals;

// ---- Files -----------------------------------------------------------------------------------

HANDLE OpenExisting(const char* path) {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

CALLS_CASE(FilesOpenByAnyCaseAndFailWithTheWin32Errors) {
    std::filesystem::create_directories("calls-files");
    std::ofstream("calls-files/Data.bin", std::ios::binary) << std::string(1234, 'x');

    for (const char* path : {"calls-files\\Data.bin", "CALLS-FILES\\data.BIN"}) {
        HANDLE file = OpenExisting(path);
        if (!CHECK(file != INVALID_HANDLE_VALUE)) {
            Fail(__FILE__, __LINE__, std::string("cannot open ") + path);
            continue;
        }
        DWORD high = 99;
        CHECK_EQ(GetFileSize(file, &high), 1234u);
        CHECK_EQ(high, 0u);
        CHECK(CloseHandle(file));
        CHECK(!CloseHandle(file));  // a handle closes once
        CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    const struct {
        const char* path;
        DWORD error;
    } failures[] = {
        {"calls-files\\missing.bin", ERROR_FILE_NOT_FOUND},
        {"no-such-directory\\Data.bin", ERROR_PATH_NOT_FOUND},
        {"calls-files", ERROR_ACCESS_DENIED},  // a directory is not opened as a file
    };
    for (const auto& f : failures) {
        SetLastError(0);
        if (!CHECK_EQ(OpenExisting(f.path), INVALID_HANDLE_VALUE) ||
            !CHECK_EQ(GetLastError(), f.error)) {
            Fail(__FILE__, __LINE__, std::string("for ") + f.path);
        }
    }
    CHECK_EQ(GetFileSize(INVALID_HANDLE_VALUE, nullptr), INVALID_FILE_SIZE);
    std::filesystem::remove_all("calls-files");
}

// ---- The control device ----------------------------------------------------------------------

HANDLE OpenDevice(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

struct Exchange {
    BOOL result;
    DWORD error;
    DWORD bytesReturned;
    std::array<uint8_t, driver::kRecordSize> record;
};

// One exchange as the agent makes it: the control word in, the 24-byte record in and out.
Exchange Ask(HANDLE device, uint32_t controlCode, uint32_t controlWord, uint16_t requestCode,
             size_t recordSize = driver::kRecordSize) {
    Exchange exchange{};
    exchange.record.fill(0);
    driver::PutU16(&exchange.record[driver::kCodeOffset], requestCode);
    exchange.bytesReturned = 0xEEEE;
    SetLastError(0);
    exchange.result = DeviceIoControl(device, controlCode, &controlWord, sizeof controlWord,
                                      exchange.record.data(), static_cast<DWORD>(recordSize),
                                      &exchange.bytesReturned, nullptr);
    exchange.error = GetLastError();
    return exchange;
}

CALLS_CASE(TheControlDeviceAnswersAndFailsWithTheWin32Results) {
    SetLastError(0);
    CHECK_EQ(OpenDevice("\\\\.\\korvo-no-such-device"), INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    HANDLE device = OpenDevice(kDevicePath);
    REQUIRE(device != INVALID_HANDLE_VALUE);
    // Request 1, the first adapter's address: the record comes back with the address in its
    // data bytes, and all 24 bytes are returned.
    const Exchange address =
        Ask(device, driver::kQueryGlobalStatsCode, driver::kRequestControlWord, 1);
    CHECK_EQ(address.result, TRUE);
    CHECK_EQ(address.bytesReturned, driver::kRecordSize);
    const uint8_t expected[] = {0x02, 0x4B, 0x4F, 0x52, 0x56, 0x01};
    CHECK(std::memcmp(address.record.data() + driver::kDataOffset, expected, sizeof expected) == 0);

    // A record of the wrong size fails the call: FALSE, ERROR_GEN_FAILURE, and the count of
    // bytes returned left as it was.
    const Exchange shortRecord =
        Ask(device, driver::kQueryGlobalStatsCode, driver::kRequestControlWord, 1, 8);
    CHECK_EQ(shortRecord.result, FALSE);
    CHECK_EQ(shortRecord.error, ERROR_GEN_FAILURE);
    CHECK_EQ(shortRecord.bytesReturned, 0xEEEEu);
    CHECK(CloseHandle(device));

    // A regular file is no device: it has no control codes.
    std::ofstream("calls-plain.bin") << "x";
    HANDLE file = OpenExisting("calls-plain.bin");
    REQUIRE(file != INVALID_HANDLE_VALUE);
    const Exchange onFile =
        Ask(file, driver::kQueryGlobalStatsCode, driver::kRequestControlWord, 1);
    CHECK_EQ(onFile.result, FALSE);
    CloseHandle(file);
    std::filesystem::remove("calls-plain.bin");
}

// ---- The registry ----------------------------------------------------------------------------

constexpr char kKey[] = "SOFTWARE\\KorvoCalls";
constexpr char kSlotsKey[] = "SOFTWARE\\KorvoCalls\\Slots";

LSTATUS OpenStatus(const char* path) {
    HKEY key = nullptr;
    const LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (status == ERROR_SUCCESS) {
        RegCloseKey(key);
    }
    return status;
}

CALLS_CASE(TheRegistryAnswersWithTheWin32Codes) {
    const std::vector<uint8_t> hello = {'h', 'e', 'l', 'l', 'o', 0};
    const RegistryValue values[] = {
        {kKey, "Text", REG_SZ, hello},
        {"SOFTWARE\\KorvoCalls\\Slots\\5", "Slot", REG_DWORD, {11, 0, 0, 0}},
        {"SOFTWARE\\KorvoCalls\\Slots\\6", "Slot", REG_DWORD, {12, 0, 0, 0}},
    };
    std::string error;
    if (!WriteRegistry(values, &error)) {
        Fail(__FILE__, __LINE__, error);
        return;
    }
    HKEY key = nullptr;
    REQUIRE_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\KORVOCALLS", 0, KEY_READ, &key),
               ERROR_SUCCESS);
    DWORD type = 0;
    uint8_t data[16] = {};
    DWORD size = sizeof data;
    CHECK_EQ(RegQueryValueExA(key, "TEXT", nullptr, &type, data, &size), ERROR_SUCCESS);
    CHECK_EQ(type, REG_SZ);
    CHECK_EQ(size, hello.size());
    CHECK(std::memcmp(data, hello.data(), hello.size()) == 0);
    size = 3;  // too small: the size it needs
    CHECK_EQ(RegQueryValueExA(key, "Text", nullptr, &type, data, &size), ERROR_MORE_DATA);
    CHECK_EQ(size, hello.size());
    size = 0;  // no buffer: the size alone
    CHECK_EQ(RegQueryValueExA(key, "Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    CHECK_EQ(size, hello.size());
    size = sizeof data;
    CHECK_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, data, &size), ERROR_FILE_NOT_FOUND);
    CHECK_EQ(RegCloseKey(key), ERROR_SUCCESS);
    CHECK_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

    CHECK_EQ(OpenStatus("SOFTWARE\\KorvoCalls\\Missing"), ERROR_FILE_NOT_FOUND);
    HKEY none = nullptr;
    CHECK_EQ(RegOpenKeyExA(key, "Slots", 0, KEY_READ, &none), ERROR_INVALID_HANDLE);

    // Subkeys made in ascending order of name enumerate in that order, then stop.
    HKEY slots = nullptr;
    REQUIRE_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSlotsKey, 0, KEY_READ, &slots), ERROR_SUCCESS);
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[16];
        DWORD length = sizeof name;
        const LSTATUS status =
            RegEnumKeyExA(slots, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            CHECK_EQ(status, ERROR_NO_MORE_ITEMS);
            break;
        }
        names.emplace_back(name, length);
    }
    CHECK(names == (std::vector<std::string>{"5", "6"}));
    char tiny[1];
    DWORD tinyLength = sizeof tiny;  // no room for the name's NUL
    CHECK_EQ(RegEnumKeyExA(slots, 0, tiny, &tinyLength, nullptr, nullptr, nullptr, nullptr),
             ERROR_MORE_DATA);

    HKEY six = nullptr;
    REQUIRE_EQ(RegOpenKeyExA(slots, "6", 0, KEY_READ, &six), ERROR_SUCCESS);
    DWORD slot = 0;
    size = sizeof slot;
    CHECK_EQ(RegQueryValueExA(six, "slot", nullptr, &type, reinterpret_cast<BYTE*>(&slot), &size),
             ERROR_SUCCESS);
    CHECK(type == REG_DWORD && size == 4u && slot == 12u);
    RegCloseKey(six);
    RegCloseKey(slots);
}

// ---- Critical sections and interlocked words -----------------------------------------------

CALLS_CASE(ACriticalSectionIsReenteredByItsOwnerAndKeepsOtherThreadsOut) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);  // the owner enters again without blocking
    LONG entered = 0;
    std::thread other([&] {
        EnterCriticalSection(&section);
        InterlockedExchange(&entered, 1);
        LeaveCriticalSection(&section);
    });
    std::this_thread::sleep_for(50ms);
    CHECK_EQ(InterlockedExchange(&entered, 0), 0);
    LeaveCriticalSection(&section);  // entered twice: still held
    std::this_thread::sleep_for(50ms);
    CHECK_EQ(InterlockedExchange(&entered, 0), 0);
    LeaveCriticalSection(&section);
    other.join();
    CHECK_EQ(InterlockedExchange(&entered, 0), 1);

    // Threads that change a plain record only inside the section lose none of the changes.
    uint32_t total = 0;
    std::vector<std::thread> adders;
    for (int t = 0; t < 4; ++t) {
        adders.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                EnterCriticalSection(&section);
                total = total + 1;
                LeaveCriticalSection(&section);
            }
        });
    }
    for (std::thread& adder : adders) {
        adder.join();
    }
    CHECK_EQ(total, 80000u);
    DeleteCriticalSection(&section);
}

CALLS_CASE(InterlockedCallsChangeAWordWhole) {
    volatile LONG word = 5;
    const auto value = [&word] { return static_cast<LONG>(word); };
    CHECK_EQ(InterlockedExchange(&word, 9), 5);  // the previous value
    CHECK_EQ(value(), 9);
    // Windows 95 answers Increment and Decrement with the sign of the result only.
    word = -1;
    CHECK_EQ(InterlockedIncrement(&word), 0);
    CHECK(InterlockedIncrement(&word) > 0);
    CHECK_EQ(value(), 1);
    CHECK(InterlockedDecrement(&word) == 0);
    CHECK(InterlockedDecrement(&word) < 0);
    CHECK_EQ(value(), -1);

    word = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&word, up = t % 2 == 0] {
            for (int i = 0; i < 20000; ++i) {
                if (up) {
                    InterlockedIncrement(&word);
                    InterlockedIncrement(&word);
                } else {
                    InterlockedDecrement(&word);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    CHECK_EQ(value(), 40000);
}

// ---- Text ----------------------------------------------------------------------------------

CALLS_CASE(WsprintfFormatsIntegersAndStringsWithinItsLimit) {
    char text[32];
    CHECK_EQ(wsprintfA(text, "Adapter %d", static_cast<int>(-2147483647 - 1)), 19);
    CHECK_EQ(std::string(text), "Adapter -2147483648");
    CHECK_EQ(wsprintfA(text, "%s", "Adapter 2"), 9);
    CHECK_EQ(std::string(text), "Adapter 2");
    CHECK_EQ(wsprintfA(text, "%u|%lu|%x|%c|%%", 4000000000u, 7ul, 0xBEEFu, 'k'), 21);
    CHECK_EQ(std::string(text), "4000000000|7|beef|k|%");

    // Nothing is written past the 1024th byte, however long the result would be.
    const std::string along(2000, 'a');
    std::vector<char> wide(4096, '#');
    CHECK(wsprintfA(wide.data(), "%s", along.c_str()) <= 1024);
    CHECK(std::string(wide.data(), 1023) == along.substr(0, 1023));
    CHECK(wide[1024] == '#');
}

// ---- Libraries -------------------------------------------------------------------------------

// Where each copy of the probe library was put (see probe_library.c and the build).
constexpr int32_t kBesideTheProgram = 1;
constexpr int32_t kInTheCurrentDirectory = 2;

using ProbeWhere = int32_t (*)();

// ERROR_DLL_NOT_FOUND: what LoadLibraryA of a missing file leaves on Windows 95, 98 and ME.
constexpr DWORD kErrorDllNotFound9x = 1157;

std::optional<int32_t> LoadProbe(const char* name) {
    HMODULE module = LoadLibraryA(name);
    if (module == nullptr) {
        return std::nullopt;
    }
    const auto where = reinterpret_cast<ProbeWhere>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "KorvoProbeWhere")));
    return where == nullptr ? -1 : where();
}

CALLS_CASE(LoadLibrarySearchesTheProgramsDirectoryThenTheCurrentOne) {
    // The program runs from its own directory; its probe-cwd subdirectory holds the copies
    // that the current directory offers.
    char before[MAX_PATH] = {};
    REQUIRE(GetCurrentDirectoryA(sizeof before, before) != 0);
    REQUIRE(SetCurrentDirectoryA("probe-cwd"));
    CHECK(LoadProbe("KorvoProbe.dll") == kBesideTheProgram);
    CHECK(LoadProbe("korvocwdonly.DLL") == kInTheCurrentDirectory);

    SetLastError(0);
    CHECK_EQ(LoadLibraryA("KorvoNoSuchLibrary.dll"), nullptr);
    // Windows 95, 98 and ME say the same thing with their own code.
    const DWORD notFound = GetLastError();
    CHECK(notFound == ERROR_MOD_NOT_FOUND || notFound == kErrorDllNotFound9x);
    HMODULE module = LoadLibraryA("KorvoProbe.dll");
    REQUIRE(module != nullptr);
    CHECK(GetProcAddress(module, "KorvoNoSuchFunction") == nullptr);
    CHECK_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    CHECK(SetCurrentDirectoryA(before));
}

// The agent looks RegisterServiceProcess up in KERNEL32 at run time: Windows 95, 98 and ME
// export it, NT-based Windows does not. GetModuleHandleA finds KERNEL32 by any spelling, and a
// module LoadLibraryA loaded by its file name.
CALLS_CASE(Kernel32OffersRegisterServiceProcessByName) {
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    REQUIRE(kernel != nullptr);
    CHECK(GetModuleHandleA("kernel32") == kernel);
    using RegisterServiceProcessFn = DWORD(WINAPI*)(DWORD, DWORD);
    const auto registerServiceProcess = reinterpret_cast<RegisterServiceProcessFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "RegisterServiceProcess")));
    REQUIRE(registerServiceProcess != nullptr);
    CHECK(registerServiceProcess(0, 1) != 0);  // registered
    CHECK(registerServiceProcess(0, 0) != 0);  // and undone

    HMODULE probe = LoadLibraryA("KorvoProbe.dll");
    REQUIRE(probe != nullptr);
    CHECK(GetModuleHandleA("korvoprobe.DLL") == probe);
    SetLastError(0);
    CHECK(GetModuleHandleA("KorvoNoSuchLibrary.dll") == nullptr);
    CHECK_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

}  // namespace
}  // namespace korvo::calls
