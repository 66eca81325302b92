// What the agent's fuzz targets share: the driver's answers and the key lists taken from the fuzz
// input, a private simulated machine for the calls that reach files and the registry, and the
// checks every call must pass. A failed check prints what was wrong and aborts, so the fuzzer
// records the input.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dmi/dmi.h"

namespace korvo::fuzz {

// Makes the control device answer from `input`, one exchange at a time: whether it opens, the
// call's result and bytes-returned count, and the reply bytes (the data part only, or the whole
// record with code and status). When the input runs out the device can no longer be opened.
// `input` must outlive the calls.
void AnswerDriverFromInput(FuzzedDataProvider& input);

// Ids as the service provider passes them: mostly the small numbers the component uses, now
// and then any 32-bit value.
uint32_t ConsumeId(FuzzedDataProvider& input, uint32_t usualMaximum);

// A key list as the service provider may pass one: none, empty, a count without entries, or a
// few integer keys (mostly small row numbers, now and then 0xFFFFFFFF or any value).
class FuzzedKeyList {
  public:
    explicit FuzzedKeyList(FuzzedDataProvider& input);
    DmiAttributeValues* get() { return absent_ ? nullptr : &list_; }
    uint32_t firstKeyOr(uint32_t fallback) const;

  private:
    bool absent_ = false;
    std::vector<DmiAttributeData> entries_;
    DmiAttributeValues list_{};
};

// A directory made once per process and removed at exit: KORVO_ROOT points at it, and it holds
// a registry file with a table of PCI slots and a Windows directory with both driver files.
struct SimulatedMachine {
    std::string root;
    std::string windowsDirectory;  // holds system\KORVOm4.SYS and system\KORVOm5.SYS
    static constexpr uint32_t kDriverFileSizes[2] = {1234, 4321};
};
const SimulatedMachine& PrepareSimulatedMachine();

// Sets windir from the input: unset, the machine's Windows directory, or a made-up path of up
// to 150 characters (a small set of values, so the environment does not grow).
void SetWindowsDirectoryFromInput(FuzzedDataProvider& input);

// Prints the message and aborts when `holds` is false.
void Check(bool holds, const char* what);

}  // namespace korvo::fuzz
