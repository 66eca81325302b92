// What the Win32 calls program needs from the machine it runs on: on the Linux host a private
// simulated machine with the adapter's control device served in the process, on Windows the
// real one, where the run has installed the simulated adapter's driver.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "korvo/driver_protocol.h"
#include "platform.h"

namespace korvo::calls {

// The control device both machines offer: the simulated adapter's.
using driver::kDevicePath;

bool PrepareMachine(std::string* error);
void EndMachine();
const char* MachineName();  // "the Linux host", "Wine", "Windows"
// Where Wine is known to answer otherwise than Windows, the checks keep Windows's answer and
// skip it under Wine.
bool UnderWine();

struct RegistryValue {
    const char* key;  // below HKEY_LOCAL_MACHINE
    const char* name;
    DWORD type;
    std::vector<uint8_t> data;
};
// Makes the keys (in the order given) and sets the values; a key with a null name is only made.
bool WriteRegistry(std::span<const RegistryValue> values, std::string* error);

}  // namespace korvo::calls
