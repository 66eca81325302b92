// The write handler behind the set-attribute callback, and the four handlers that accept the
// reserve, release, add-row and delete-row callbacks and do nothing.
#pragma once

#include "dmi/dmi.h"

// Status for a value of the wrong type: group 13 attribute 1 takes a 32-bit number (counter,
// gauge or integer), group 14 an integer.
inline constexpr DmiErrorStatus WriteValueNotInteger = DMIERR_VALUE_EXCEEDS_MAXSIZE;

// Hands a new value of group 13 attribute 1 or group 14 attribute 1 or 2 to the driver, for
// the row the first key names (group 13 rows 1 to 125, group 14 rows 1 to 35). Returns
// WriteValueNotInteger for a value of the wrong type or none (for group 14, whatever the
// attribute), DMIERR_ROW_NOT_FOUND for a row outside the table, DMIERR_VALUE_UNKNOWN when the
// driver did not take the write, and 0 otherwise; other attributes are accepted and ignored.
DmiErrorStatus CiSetAttribute(DmiId componentId, DmiId groupId, DmiId attributeId,
                              DmiString* language, DmiAttributeValues* keyList,
                              DmiAttributeData* value);

DmiErrorStatus CiReserveAttribute(DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned);
DmiErrorStatus CiReleaseAttribute(DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned);
DmiErrorStatus CiAddRow(DmiUnsigned);
DmiErrorStatus CiDeleteRow(DmiUnsigned);
