// The lookup of an adapter's physical slot number from its PCI bus and device numbers, in the
// registry's table of slots under HKEY_LOCAL_MACHINE\SOFTWARE\QEV\Slots\PCI.
#pragma once

#include <cstdint>

// The slot number of the first subkey whose "Bus" and "Slot" values equal the bus and device
// numbers; the device number itself when no subkey matches or the table cannot be read.
int32_t FindPciSlot(uint32_t deviceNumber, uint32_t busNumber);
