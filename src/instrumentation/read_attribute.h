// The read handler behind the get and get-next callbacks, and the text formatting it shares.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dmi/dmi.h"

enum : uint32_t { ReadModeGet = 0, ReadModeGetNext = 1 };

// Answers one get (mode 0) or get-next (mode 1) of an attribute of the adapter component:
// creates the attribute-data record, hands it out through `value`, and fills it from the
// driver. Returns the DMI status for the service provider.
DmiErrorStatus ReadAttribute(DmiId componentId, DmiId groupId, DmiId attributeId,
                             DmiString* language, DmiAttributeValues* keyList,
                             DmiAttributeData** value, uint32_t mode);

// Writes the hexadecimal text of `count` bytes (upper case, high nibble first) and a NUL:
// 2 * count + 1 bytes.
void FormatHex(char* out, const uint8_t* bytes, size_t count);

// Writes one part of a driver version given the three version bytes (reply offsets 4, 5, 6):
// mode -1, -2, -3 give the pair of version byte 2, 1, 0 and a NUL; a count mode n >= 1 writes
// the pairs of bytes 2, 1 and 0 at positions 0, 3 and 6 of a 9-byte text, each followed by its
// NUL, for as many parts as n asks; 0 and other negative modes write nothing.
void FormatVersion(char* out, const uint8_t* versionBytes, int mode);
