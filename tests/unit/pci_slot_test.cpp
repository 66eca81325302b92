// The slot lookup against registry tables written for each case: the first subkey whose "Bus"
// and "Slot" match gives the slot, any registry failure ends the walk, and the device number
// stands in for the slot when nothing matches.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "driver/pci_slot.h"
#include "host_registry.h"
#include "support/private_root.h"

namespace {

using korvo::test::PrivateRoot;
using korvo::test::ScopedEnv;

// A slot subkey of the table, with its values as registry lines.
std::string Slot(const std::string& name, const std::string& values) {
    return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QEV\\Slots\\PCI\\" + name + "]\n" + values;
}

std::string BusAndDevice(uint32_t bus, uint32_t device) {
    char text[64];
    std::snprintf(text, sizeof text, "\"Bus\"=dword:%08x\n\"Slot\"=dword:%08x\n", bus, device);
    return text;
}

struct SlotCase {
    const char* what;
    std::string table;  // the registry file's text after its header; null for no file
    uint32_t device;
    uint32_t bus;
    int32_t expected;
};

TEST(FindPciSlot, WalksTheSlotTable) {
    const std::string header = "REGEDIT4\n";
    const SlotCase cases[] = {
        {"a match gives the subkey's name", Slot("12", BusAndDevice(0, 11)), 11, 0, 12},
        {"no match gives the device number", Slot("12", BusAndDevice(0, 11)), 7, 0, 7},
        {"no table", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QEV\\Slots]\n", 11, 0, 11},
        {"a table without subkeys", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QEV\\Slots\\PCI]\n", 11, 0, 11},
        {"bus-only and device-only matches are passed over",
         Slot("1", BusAndDevice(2, 99)) + Slot("2", BusAndDevice(99, 11)) +
             Slot("3", BusAndDevice(2, 11)),
         11, 2, 3},
        {"a missing Bus ends the walk before a later match",
         Slot("1", "\"Slot\"=dword:0000000b\n") + Slot("2", BusAndDevice(0, 11)), 11, 0, 11},
        {"a missing Slot ends it too",
         Slot("1", "\"Bus\"=dword:00000000\n") + Slot("2", BusAndDevice(0, 11)), 11, 0, 11},
        {"a value longer than 4 bytes ends it",
         Slot("1", "\"Bus\"=hex:00,00,00,00,00\n\"Slot\"=dword:0000000b\n") +
             Slot("2", BusAndDevice(0, 11)),
         11, 0, 11},
        {"a four-character name ends the walk at its index",
         Slot("1234", BusAndDevice(0, 11)) + Slot("5", BusAndDevice(0, 11)), 11, 0, 11},
        {"a three-character name fits", Slot("123", BusAndDevice(0, 11)), 11, 0, 123},
        {"a name of a blank and 7", Slot(" 7", BusAndDevice(0, 11)), 11, 0, 7},
        {"a name that starts with a letter", Slot("A1", BusAndDevice(0, 11)), 11, 0, 0},
        {"a signed name", Slot("-5", BusAndDevice(0, 11)), 11, 0, -5},
        {"digits up to the first non-digit", Slot("4x2", BusAndDevice(0, 11)), 11, 0, 4},
        {"the first of two matches wins",
         Slot("9", BusAndDevice(1, 3)) + Slot("4", BusAndDevice(1, 3)), 3, 1, 9},
        {"a 2-byte value fills the low bytes",
         Slot("6", "\"Bus\"=hex:01,00\n\"Slot\"=hex(4):0b,00\n"), 11, 1, 6},
        {"a 2-byte value leaves the high bytes zero",
         Slot("6", "\"Bus\"=hex:01,01\n\"Slot\"=dword:0000000b\n"), 11, 1, 11},
        {"value types are not examined", Slot("8", "\"Bus\"=\"\"\n\"Slot\"=hex:0b\n"), 11, 0, 8},
        {"the values' case does not matter",
         Slot("5", "\"BUS\"=dword:00000000\n\"slot\"=dword:0000000b\n"), 11, 0, 5},
    };
    for (const SlotCase& c : cases) {
        PrivateRoot root;
        ScopedEnv noOverride("KORVO_REGISTRY", nullptr);
        std::ofstream(root.path() + "/registry.reg") << header << c.table;
        const size_t openBefore = korvo::host::OpenRegistryKeyCount();
        EXPECT_EQ(FindPciSlot(c.device, c.bus), c.expected) << c.what;
        EXPECT_EQ(korvo::host::OpenRegistryKeyCount(), openBefore) << c.what << ": keys left open";
    }
}

TEST(FindPciSlot, AnUnreadableRegistryGivesTheDeviceNumber) {
    PrivateRoot root;
    ScopedEnv noOverride("KORVO_REGISTRY", nullptr);
    EXPECT_EQ(FindPciSlot(11, 0), 11) << "no registry file at all";
    std::ofstream(root.path() + "/registry.reg") << "not a registry file\n";
    EXPECT_EQ(FindPciSlot(11, 0), 11);
}

TEST(FindPciSlot, AChangedTableCountsAtTheNextLookup) {
    PrivateRoot root;
    ScopedEnv noOverride("KORVO_REGISTRY", nullptr);
    const std::string path = root.path() + "/registry.reg";
    std::ofstream(path) << "REGEDIT4\n" << Slot("3", BusAndDevice(0, 11));
    EXPECT_EQ(FindPciSlot(11, 0), 3);
    std::ofstream(path, std::ios::trunc) << "REGEDIT4\n" << Slot("4", BusAndDevice(0, 11));
    EXPECT_EQ(FindPciSlot(11, 0), 4);
}

}  // namespace
