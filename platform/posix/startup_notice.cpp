// The notice of a start-up that waits: what the Win32 calls could not reach, written once per
// different thing to standard error when the retry timer is armed or fires again.
#include "startup_notice.h"

#include <errno.h>  // program_invocation_short_name

#include <cstdio>
#include <mutex>
#include <set>

namespace korvo::host {

namespace {

struct Notice {
    std::mutex lock;
    std::string unreached;       // since the last ForgetUnreached
    std::set<std::string> told;  // what has been announced
};

Notice& TheNotice() {
    static Notice notice;
    return notice;
}

std::string Interval(std::chrono::steady_clock::duration interval) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(interval).count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

void NoteUnreached(std::string what) {
    Notice& notice = TheNotice();
    std::lock_guard guard(notice.lock);
    notice.unreached = std::move(what);
}

void ForgetUnreached() {
    Notice& notice = TheNotice();
    std::lock_guard guard(notice.lock);
    notice.unreached.clear();
}

void AnnounceRetry(std::chrono::steady_clock::duration interval) {
    Notice& notice = TheNotice();
    std::lock_guard guard(notice.lock);
    const std::string& what = notice.unreached;
    if (!notice.told.insert(what).second) {
        return;
    }
    if (what.empty()) {
        // Nothing this layer could not reach: a step the program says itself (a message box)
        // or one it does not.
        std::fprintf(stderr, "%s: start-up did not complete; it tries again every %s\n",
                     program_invocation_short_name, Interval(interval).c_str());
    } else {
        std::fprintf(stderr, "%s: start-up is waiting for %s; it tries again every %s\n",
                     program_invocation_short_name, what.c_str(), Interval(interval).c_str());
    }
    std::fflush(stderr);
}

}  // namespace korvo::host
