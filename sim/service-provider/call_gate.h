// The gate between calls into registered instrumentation and the removal of a registration.
// Any number of management threads may call callbacks at once; removing a registration waits
// until no call is in flight and lets no new call start meanwhile, so an instrumentation that
// has unregistered is never called again and may go away. A waiting removal goes before new
// calls, so a steady stream of requests cannot hold an agent's shutdown up for ever.
#pragma once

#include <condition_variable>
#include <mutex>

namespace korvo::sp {

class CallGate {
  public:
    // Shared: held for the whole of one call into an instrumentation.
    void lock_shared() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !removing_ && waitingRemovals_ == 0; });
        ++calls_;
    }
    void unlock_shared() {
        std::lock_guard lock(mutex_);
        if (--calls_ == 0) {
            changed_.notify_all();
        }
    }

    // Exclusive: held while a registration is removed.
    void lock() {
        std::unique_lock lock(mutex_);
        ++waitingRemovals_;
        changed_.wait(lock, [this] { return !removing_ && calls_ == 0; });
        --waitingRemovals_;
        removing_ = true;
    }
    void unlock() {
        std::lock_guard lock(mutex_);
        removing_ = false;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned calls_ = 0;
    unsigned waitingRemovals_ = 0;
    bool removing_ = false;
};

}  // namespace korvo::sp
