// Reads of groups 10 to 16, 20 and 21. Not answered yet: every attribute leaves the record
// with its id.
#include "instrumentation/read_rules.h"

DmiErrorStatus ReadGroup10(ReadCall&) { return DMIERR_NO_ERROR; }
DmiErrorStatus ReadGroup11(ReadCall&) { return DMIERR_NO_ERROR; }
DmiErrorStatus ReadGroup12(ReadCall&) { return DMIERR_NO_ERROR; }
DmiErrorStatus ReadGroup13(ReadCall&) { return DMIERR_NO_ERROR; }
DmiErrorStatus ReadGroup14(ReadCall&) { return DMIERR_NO_ERROR; }
DmiErrorStatus ReadGroup15(ReadCall&) { return DMIERR_NO_ERROR; }
DmiErrorStatus ReadGroup16(ReadCall&) { return DMIERR_NO_ERROR; }
DmiErrorStatus ReadGroup20(ReadCall&) { return DMIERR_NO_ERROR; }
DmiErrorStatus ReadGroup21(ReadCall&) { return DMIERR_NO_ERROR; }
