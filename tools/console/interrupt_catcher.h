// Ctrl-C for the console's commands that go on until interrupted (watch, events --follow,
// log --follow): it ends the command's loop instead of the process, so that the command
// finishes its output and exits with its own status.
#pragma once

#include <signal.h>

#include <chrono>

namespace korvo::console {

// While it lives, SIGINT is noted instead of ending the process.
class InterruptCatcher {
  public:
    InterruptCatcher();
    ~InterruptCatcher();
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;

    // Sleeps for `duration` in short steps; false when interrupted meanwhile.
    static bool Sleep(std::chrono::steady_clock::duration duration);

  private:
    struct sigaction previous_ {};
};

}  // namespace korvo::console
