// The PCI slot lookup: walks the registry's table of slots, one subkey per slot named by its
// number, and returns the first slot whose "Bus" and "Slot" values name the adapter. Every
// registry failure ends the walk with what was found so far; every key opened is closed.
#include "driver/pci_slot.h"

#include <cstring>

#include "platform.h"

namespace {

constexpr char SlotTableKey[] = "SOFTWARE\\QEV\\Slots\\PCI";
constexpr char BusValueName[] = "Bus";
constexpr char DeviceValueName[] = "Slot";
// Slot names have at most three characters; a longer one doesn't fit and ends the walk.
constexpr DWORD SlotNameBufferSize = 4;
constexpr DWORD SlotValueSize = 4;

// Reads a value of the slot's key into a 4-byte buffer, taken in the machine's byte order. A
// shorter value fills the low bytes and leaves the rest 0.
bool ReadSlotValue(HKEY slotKey, const char* valueName, uint32_t& value) {
    BYTE buffer[SlotValueSize] = {};
    DWORD size = SlotValueSize;
    if (RegQueryValueExA(slotKey, valueName, nullptr, nullptr, buffer, &size) != ERROR_SUCCESS) {
        return false;
    }
    std::memcpy(&value, buffer, sizeof value);
    return true;
}

// The slot name as a decimal number: leading white space, an optional sign, then digits up to
// the first non-digit; 0 when no digit leads.
int32_t SlotNumberFromName(const char* name) {
    while (*name == ' ' || (*name >= '\t' && *name <= '\r')) {
        ++name;
    }
    const bool negative = *name == '-';
    if (*name == '-' || *name == '+') {
        ++name;
    }
    int32_t number = 0;
    for (; *name >= '0' && *name <= '9'; ++name) {
        number = number * 10 + (*name - '0');  // at most three characters: no overflow
    }
    return negative ? -number : number;
}

}  // namespace

int32_t FindPciSlot(uint32_t deviceNumber, uint32_t busNumber) {
    HKEY table = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SlotTableKey, 0, KEY_READ, &table) != ERROR_SUCCESS) {
        return static_cast<int32_t>(deviceNumber);
    }
    int32_t slot = static_cast<int32_t>(deviceNumber);
    for (DWORD index = 0;; ++index) {
        char name[SlotNameBufferSize] = {};
        DWORD nameSize = SlotNameBufferSize;
        if (RegEnumKeyExA(table, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        // The slot's key is opened by its full path, not relative to the table's key.
        char path[sizeof SlotTableKey + 1 + SlotNameBufferSize] = {};
        std::memcpy(path, SlotTableKey, sizeof SlotTableKey - 1);
        path[sizeof SlotTableKey - 1] = '\\';
        std::memcpy(path + sizeof SlotTableKey, name, SlotNameBufferSize);
        HKEY slotKey = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &slotKey) != ERROR_SUCCESS) {
            break;
        }
        uint32_t bus = 0;
        uint32_t device = 0;
        const bool read = ReadSlotValue(slotKey, BusValueName, bus) &&
                          ReadSlotValue(slotKey, DeviceValueName, device);
        RegCloseKey(slotKey);
        if (!read) {
            break;
        }
        if (bus == busNumber && device == deviceNumber) {
            slot = SlotNumberFromName(name);
            break;
        }
    }
    RegCloseKey(table);
    return slot;
}
