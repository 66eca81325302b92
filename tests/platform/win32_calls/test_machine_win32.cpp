// Windows's machine for the Win32 calls program: the real registry, written with the calls an
// installer uses, and the simulated adapter's driver, which the run has installed and started.
#include <windows.h>

#include "test_machine.h"

namespace korvo::calls {

bool PrepareMachine(std::string* error) {
    HANDLE device = CreateFileA(kDevicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        *error =
            "the korvodmi driver is not started (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    CloseHandle(device);
    return true;
}

void EndMachine() {}

bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

const char* MachineName() {
    return UnderWine() ? "Wine" : "Windows";
}

bool WriteRegistry(std::span<const RegistryValue> values, std::string* error) {
    for (const RegistryValue& value : values) {
        HKEY key = nullptr;
        LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, value.key, 0, nullptr, 0, KEY_WRITE,
                                         nullptr, &key, nullptr);
        if (status == ERROR_SUCCESS && value.name != nullptr) {
            status = RegSetValueExA(key, value.name, 0, value.type, value.data.data(),
                                    static_cast<DWORD>(value.data.size()));
        }
        if (key != nullptr) {
            RegCloseKey(key);
        }
        if (status != ERROR_SUCCESS) {
            *error = std::string("cannot write HKLM\\") + value.key + ": error " +
                     std::to_string(status);
            return false;
        }
    }
    return true;
}

}  // namespace korvo::calls
