// Ctrl-C noted by a flag while a console command runs its loop.
#include "console/interrupt_catcher.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace korvo::console {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> interrupted{false};

void NoteInterrupt(int) {
    interrupted = true;
}

}  // namespace

InterruptCatcher::InterruptCatcher() {
    interrupted = false;
    struct sigaction action {};
    action.sa_handler = NoteInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous_);
}

InterruptCatcher::~InterruptCatcher() {
    sigaction(SIGINT, &previous_, nullptr);
}

bool InterruptCatcher::Sleep(Clock::duration duration) {
    const auto until = Clock::now() + duration;
    while (!interrupted && Clock::now() < until) {
        std::this_thread::sleep_for(
            std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(50)));
    }
    return !interrupted;
}

}  // namespace korvo::console
