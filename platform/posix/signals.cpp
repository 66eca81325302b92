// The signals by which Linux asks a process to end, turned into the messages a Windows session
// sends its windows: SIGTERM becomes WM_ENDSESSION (the session ends) and SIGINT becomes
// WM_CLOSE, each posted to every top-level window. The handler only writes the signal number
// to a pipe; a thread reads it and posts, since posting takes locks a handler must not take.
// SIGTERM also cuts short every device exchange in progress, and a process that has not ended
// kEndSessionGraceMs later is ended, whatever its threads are waiting for.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "host_tuning.h"
#include "platform.h"
#include "window_internal.h"

namespace {

std::mutex installing;
std::atomic<pid_t> handlingProcess{0};
std::atomic<int> signalWriteEnd{-1};
std::atomic<int> endSessionGraceMs{korvo::host::kEndSessionGraceMs};

void OnSessionSignal(int number) {
    const int savedErrno = errno;
    if (getpid() != handlingProcess.load()) {
        // A forked child without windows of its own: the signal keeps its usual meaning.
        signal(number, SIG_DFL);
        raise(number);
    } else {
        const auto byte = static_cast<unsigned char>(number);
        if (write(signalWriteEnd.load(), &byte, 1) < 0) {
            // A full pipe already holds enough undelivered signals.
        }
    }
    errno = savedErrno;
}

void PostSessionMessages(int readEnd) {
    for (;;) {
        unsigned char number;
        const ssize_t got = read(readEnd, &number, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return;
        }
        if (number == SIGTERM) {
            korvo::host::MarkSessionEnding();
            korvo::host::PostToEveryWindow(WM_ENDSESSION, TRUE, 0);
            if (const int grace = korvo::host::EndSessionGraceMs(); grace >= 0) {
                std::thread([grace] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(grace));
                    korvo::host::RemoveWindowSockets();
                    _exit(0);
                }).detach();
            }
        } else if (number == SIGINT) {
            korvo::host::PostToEveryWindow(WM_CLOSE, 0, 0);
        }
    }
}

}  // namespace

namespace korvo::host {

int EndSessionGraceMs() {
    return endSessionGraceMs.load();
}
void SetEndSessionGraceMs(int milliseconds) {
    endSessionGraceMs.store(milliseconds);
}

void InstallSessionSignals() {
    std::lock_guard lock(installing);
    if (handlingProcess.load() == getpid()) {
        return;
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return;
    }
    fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK);
    signalWriteEnd.store(ends[1]);
    handlingProcess.store(getpid());
    std::thread(PostSessionMessages, ends[0]).detach();

    struct sigaction action {};
    action.sa_handler = OnSessionSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace korvo::host
