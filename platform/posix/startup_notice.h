// The one line a program on the host layer writes to standard error when its start-up waits
// for something and tries again on a timer: the Win32 calls note what they could not reach,
// and the timer calls announce it. Internal to platform/posix.
#pragma once

#include <chrono>
#include <string>

namespace korvo::host {

// What a call could not reach, e.g. "the control device ... (nothing listens there)"; the
// latest note since the last ForgetUnreached is the one announced.
void NoteUnreached(std::string what);
void ForgetUnreached();

// A timer with a procedure is armed, or its procedure ran and the timer is still armed: the
// attempt it repeats failed. Writes "PROGRAM: start-up is waiting for WHAT; it tries again
// every INTERVAL" once for each different WHAT.
void AnnounceRetry(std::chrono::steady_clock::duration interval);

}  // namespace korvo::host
