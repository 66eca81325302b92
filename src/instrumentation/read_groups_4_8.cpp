// Reads of groups 4 to 8. Not answered yet: every attribute leaves the record with its id.
#include "instrumentation/read_rules.h"

DmiErrorStatus ReadGroup4(ReadCall&) { return DMIERR_NO_ERROR; }
DmiErrorStatus ReadGroup5(ReadCall&) { return DMIERR_NO_ERROR; }
DmiErrorStatus ReadGroup6(ReadCall&) { return DMIERR_NO_ERROR; }
DmiErrorStatus ReadGroup7(ReadCall&) { return DMIERR_NO_ERROR; }
DmiErrorStatus ReadGroup8(ReadCall&) { return DMIERR_NO_ERROR; }
