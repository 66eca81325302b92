// The read handler behind the get and get-next callbacks.
#pragma once

#include <cstdint>

#include "dmi/dmi.h"
#include "instrumentation/read_rules.h"

// Answers one get (mode ReadModeGet) or get-next (ReadModeGetNext) of an attribute of the
// adapter component: creates the attribute-data record, hands it out through `value`, tags it
// with the attribute id and lets the group's reader fill it. Returns the DMI status for the
// service provider.
DmiErrorStatus ReadAttribute(DmiId componentId, DmiId groupId, DmiId attributeId,
                             DmiString* language, DmiAttributeValues* keyList,
                             DmiAttributeData** value, uint32_t mode);
