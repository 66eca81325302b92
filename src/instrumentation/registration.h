// The registration record handed to the DMI service provider, and the seven direct-interface
// callbacks it names.
#pragma once

#include "dmi/dmi.h"

// The callbacks, as the service provider calls them. Each passes its arguments to its handler
// and returns the handler's status unchanged.
DmiErrorStatus OnCiGetAttribute(DmiId componentId, DmiId groupId, DmiId attributeId,
                                DmiString* language, DmiAttributeValues* keyList,
                                DmiAttributeData** value);
DmiErrorStatus OnCiGetNextAttribute(DmiId componentId, DmiId groupId, DmiId attributeId,
                                    DmiString* language, DmiAttributeValues* keyList,
                                    DmiAttributeData** value);
DmiErrorStatus OnCiReserveAttribute(DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned,
                                    DmiUnsigned);
DmiErrorStatus OnCiReleaseAttribute(DmiUnsigned, DmiUnsigned, DmiUnsigned, DmiUnsigned,
                                    DmiUnsigned);
DmiErrorStatus OnCiSetAttribute(DmiId componentId, DmiId groupId, DmiId attributeId,
                                DmiString* language, DmiAttributeValues* keyList,
                                DmiAttributeData* value);
DmiErrorStatus OnCiAddRow(DmiUnsigned);
DmiErrorStatus OnCiDeleteRow(DmiUnsigned);

// Builds the registration record (record, access list, entry array, all from DmiAlloc with
// the memory descriptor) and stores it in serviceState.registration. Returns 1, or 0 when an
// allocation fails, in which case nothing built so far is left allocated and both the record
// and serviceState.registration are null.
int BuildCiRegistration(DmiRegisterInfo** record);
