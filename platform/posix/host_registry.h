// The host's registry: the REGEDIT4 text that stands for HKEY_LOCAL_MACHINE turned into a tree
// of keys and values. Parsing is a pure function of the text (no files, no global state), so it
// can be tested and fuzzed on its own; the registry calls in registry.cpp wrap it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korvo::host {

struct RegistryValue {
    uint32_t type = 0;          // REG_SZ, REG_DWORD, REG_BINARY, or the N of hex(N)
    std::vector<uint8_t> data;  // strings hold their NUL
};

// One key: its subkeys in the order in which they first appear in the file, and its values.
// Names compare without regard to the case of ASCII letters.
struct RegistryKey {
    std::string name;  // as first written
    std::vector<std::unique_ptr<RegistryKey>> subkeys;

    const RegistryKey* FindSubkey(std::string_view subkeyName) const;
    const RegistryValue* FindValue(std::string_view valueName) const;  // "" is the default value

    // Finds the subkey or appends it; sets (or replaces) a value.
    RegistryKey& AddSubkey(std::string_view subkeyName);
    void SetValue(std::string_view valueName, RegistryValue value);

  private:
    std::map<std::string, size_t> subkeyIndex_;    // folded name -> position in `subkeys`
    std::map<std::string, RegistryValue> values_;  // folded name -> value
};

struct RegistryParse {
    std::unique_ptr<RegistryKey> root;  // HKEY_LOCAL_MACHINE; null when the text is unusable
    std::string error;                  // why not, and on which line
};

// Parses the text of a registry file as the registry editor exports it: the header line
// "REGEDIT4"; sections [HKEY_LOCAL_MACHINE\...]; values "Name"=dword:0000000b, =hex:01,02,
// =hex(N):..., ="text", with @ for the default value; a line ending in a backslash continues
// on the next; ; comments and blank lines. Sections of other hives are skipped.
RegistryParse ParseRegistryText(std::string_view text);

// How many keys are open now (handles given out by RegOpenKeyExA and not yet closed), so
// tests can see that a caller closes every key it opens.
size_t OpenRegistryKeyCount();

// ASCII lower case, the form in which names are compared.
std::string FoldRegistryName(std::string_view name);

}  // namespace korvo::host
