// The process-wide state record, zero at start but for the adapter assumed active.
#include "state/service_state.h"

ServiceState serviceState;

void ResetServiceState() {
    serviceState = ServiceState{};
}
