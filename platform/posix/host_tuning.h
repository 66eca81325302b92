// What a test may tune in the Win32 stand-in: the deadline of a device exchange, the scale of
// every timer, and the grace a process has after SIGTERM.
#pragma once

#include "korvo_host.h"

namespace korvo::host {

// The one deadline of a whole DeviceIoControl exchange, and of connecting to the device:
// kSocketDeadlineMs. Tests of a device that never answers shorten it.
int DeviceReplyTimeoutMs();
void SetDeviceReplyTimeoutMs(int milliseconds);

// Every SetTimer interval is multiplied by this factor before it is armed, so that a test can
// run the agent's 30-second retry timer in milliseconds: SetTimerScale(0.001) in a test, or
// KORVO_TIMER_SCALE=0.001 in the environment of an agent started by an end-to-end test. The
// factor set by SetTimerScale wins; when none is set (or it was set to a value that is not a
// positive number), KORVO_TIMER_SCALE decides at each SetTimer if it holds a positive number,
// and otherwise the factor is 1. A scaled interval is at least one millisecond; timers already
// armed keep their interval until they are set again.
double TimerScale();
void SetTimerScale(double factor);

// How long a process has to end by itself after SIGTERM before it is ended (800 ms); a
// negative value never ends it, for tests that raise SIGTERM in their own process.
int EndSessionGraceMs();
void SetEndSessionGraceMs(int milliseconds);

}  // namespace korvo::host
