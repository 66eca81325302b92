// The write handler behind the set-attribute callback, and the four handlers that accept the
// reserve, release, add-row and delete-row callbacks and do nothing.
#pragma once

#include "dmi/dmi.h"

// Status for a value offered to the group 14 table that is not an integer.
inline constexpr DmiErrorStatus WriteValueNotInteger = DMIERR_VALUE_EXCEEDS_MAXSIZE;

// Hands a new value of group 13 attribute 1 or group 14 attribute 1 or 2 to the driver, for
// the row the first key names. Returns WriteValueNotInteger for a group 14 value that is not an
// integer (or is missing), and 0 for everything else: other attributes are accepted and
// ignored, and the outcome of the driver exchange is not looked at.
DmiErrorStatus CiSetAttribute(DmiId componentId, DmiId groupId, DmiId attributeId,
                              DmiString* language, DmiAttributeValues* keyList,
                              DmiAttributeData* value);

DmiErrorStatus CiReserveAttribute(DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned);
DmiErrorStatus CiReleaseAttribute(DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned);
DmiErrorStatus CiAddRow(DmiUnsigned);
DmiErrorStatus CiDeleteRow(DmiUnsigned);
