// Fuzzes the host registry: ParseRegistryText on any text, and then the registry calls on that
// text as a registry file. A parse either gives a tree or says on which line it failed; the tree
// keeps the limits on names and nesting; the calls show the same keys and values the tree holds
// (or ERROR_BADDB for text that does not parse), close every key they open, and the agent's PCI
// slot walk runs over the file without harm.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

#include "agent_fuzz_input.h"
#include "driver/pci_slot.h"
#include "host_registry.h"
#include "platform.h"

namespace {

using korvo::fuzz::Check;
using korvo::host::RegistryKey;
using korvo::host::RegistryValue;

constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxKeyDepth = 512;
// Each open reads and parses the file afresh: the walk stops after this many keys.
constexpr int kMaxKeysWalked = 48;
constexpr const char* kValueNames[] = {"", "Bus", "Slot"};

void CheckTree(const RegistryKey& key, size_t depth) {
    Check(depth <= kMaxKeyDepth, "keys nest deeper than the limit");
    for (const auto& subkey : key.subkeys) {
        Check(!subkey->name.empty() && subkey->name.size() <= kMaxKeyNameLength,
              "a key name outside 1 to 255 characters");
        Check(key.FindSubkey(subkey->name) == subkey.get(), "a subkey that its name does not find");
        Check(key.FindSubkey(korvo::host::FoldRegistryName(subkey->name)) == subkey.get(),
              "a subkey that its folded name does not find");
        CheckTree(*subkey, depth + 1);
    }
}

void CheckValues(HKEY handle, const RegistryKey& key) {
    for (const char* name : kValueNames) {
        const RegistryValue* expected = key.FindValue(name);
        uint8_t buffer[64];
        DWORD type = 0;
        DWORD length = sizeof buffer;
        const LSTATUS status = RegQueryValueExA(handle, name, nullptr, &type, buffer, &length);
        if (expected == nullptr) {
            Check(status == ERROR_FILE_NOT_FOUND, "a value the tree lacks was found");
            continue;
        }
        Check(type == expected->type, "a value's type differs from the tree's");
        if (expected->data.size() > sizeof buffer) {
            Check(status == ERROR_MORE_DATA && length == expected->data.size(),
                  "a value too long for the buffer was not refused with its size");
            continue;
        }
        Check(status == ERROR_SUCCESS && length == expected->data.size() &&
                  (length == 0 || std::memcmp(buffer, expected->data.data(), length) == 0),
              "a value's data differs from the tree's");
    }
}

// Walks the keys through the registry calls, depth first, comparing with the tree.
void WalkKey(HKEY handle, const RegistryKey& key, int& budget) {
    CheckValues(handle, key);
    for (DWORD index = 0;; ++index) {
        char name[kMaxKeyNameLength + 1];
        DWORD length = sizeof name;
        const LSTATUS status =
            RegEnumKeyExA(handle, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (index == key.subkeys.size()) {
            Check(status == ERROR_NO_MORE_ITEMS, "more subkeys listed than the tree has");
            return;
        }
        const RegistryKey& subkey = *key.subkeys[index];
        Check(status == ERROR_SUCCESS && std::string_view(name, length) == subkey.name,
              "a listed subkey differs from the tree's");
        if (--budget <= 0) {
            return;
        }
        HKEY opened = nullptr;
        Check(RegOpenKeyExA(handle, name, 0, KEY_READ, &opened) == ERROR_SUCCESS,
              "a listed subkey cannot be opened");
        WalkKey(opened, subkey, budget);
        Check(RegCloseKey(opened) == ERROR_SUCCESS, "an open key cannot be closed");
    }
}

const std::string& RegistryFile() {
    static const std::string path = [] {
        std::string made = korvo::fuzz::PrepareSimulatedMachine().root + "/fuzzed.reg";
        setenv("KORVO_REGISTRY", made.c_str(), 1);
        return made;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const korvo::host::RegistryParse parsed = korvo::host::ParseRegistryText(text);
    if (parsed.root == nullptr) {
        Check(parsed.error.rfind("line ", 0) == 0, "a failed parse that names no line");
    } else {
        Check(parsed.error.empty(), "a parse that gave a tree and an error");
        CheckTree(*parsed.root, 0);
    }

    {
        std::ofstream file(RegistryFile(), std::ios::binary | std::ios::trunc);
        file.write(text.data(), static_cast<std::streamsize>(text.size()));
        Check(static_cast<bool>(file), "cannot write the registry file");
    }
    HKEY root = nullptr;
    const LSTATUS opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &root);
    if (parsed.root == nullptr) {
        Check(opened == ERROR_BADDB, "a registry file that does not parse was opened");
    } else {
        Check(opened == ERROR_SUCCESS, "a registry file that parses could not be opened");
        int budget = kMaxKeysWalked;
        WalkKey(root, *parsed.root, budget);
        Check(RegCloseKey(root) == ERROR_SUCCESS, "the root key cannot be closed");
        // The agent's walk of the slot table: adapters on bus 0 and elsewhere.
        (void)FindPciSlot(11, 0);
        (void)FindPciSlot(14, 2);
    }
    Check(korvo::host::OpenRegistryKeyCount() == 0, "a registry key was left open");
    return 0;
}
