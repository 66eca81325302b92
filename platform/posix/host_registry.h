// The host's registry: the REGEDIT4 text that stands for HKEY_LOCAL_MACHINE turned into a tree
// of keys and values. Parsing is a pure function of the text (no files, no global state), so it
// can be tested and fuzzed on its own; the registry calls in registry.cpp wrap it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvo::host {

struct RegistryValue {
    uint32_t type = 0;  // REG_SZ, REG_DWORD, REG_BINARY, or the N of hex(N)
    std::string data;   // the bytes; strings hold their NUL. Short data is kept inline.
};

// One key: its subkeys in the order in which they first appear in the file, and its values.
// Names compare without regard to the case of ASCII letters. A parsed tree is compact: sorted
// vectors, no per-entry index nodes, so that it takes a few times the file's size.
struct RegistryKey {
    std::string name;  // as first written
    std::vector<std::unique_ptr<RegistryKey>> subkeys;

    const RegistryKey* FindSubkey(std::string_view subkeyName) const;
    const RegistryValue* FindValue(std::string_view valueName) const;  // "" is the default value

    // While the tree is built: the subkey named so if it is the last one added, else a new one;
    // sets a value (the last one set of a name wins). Finish() then merges the subkeys that
    // share a name and sorts the indexes, throughout the tree; lookups need it done.
    RegistryKey& AddSubkey(std::string_view subkeyName);
    void SetValue(std::string_view valueName, RegistryValue value);
    void Finish();

  private:
    std::vector<uint32_t> subkeyOrder_;  // positions in `subkeys`, by folded name
    std::vector<std::pair<std::string, RegistryValue>> values_;  // by folded name
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
