// The one DmiApi table of the process, empty until the library is loaded.
#include "dmi/dmi_api.h"

DmiApiTable DmiApi{};
