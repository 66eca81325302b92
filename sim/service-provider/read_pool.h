// The small bounded pool of threads on which the service provider runs the read callbacks of
// one multi-value request side by side, so that their device exchanges overlap: each read
// has its own record and its own device connection, and the answer is assembled in order
// afterwards. Its size comes from the processor count, or from KORVO_SP_READ_THREADS.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvo::sp {

// The environment variable that sets how many reads of one request run at once (1: one
// after another, on the thread that serves the request).
inline constexpr const char* kReadThreadsVariable = "KORVO_SP_READ_THREADS";
// The most it may set; the default is twice the processor count, at most kDefaultReadThreadsCap.
inline constexpr unsigned kMaxReadThreads = 16;
inline constexpr unsigned kDefaultReadThreadsCap = 4;

// How many reads run at once: `setting` (the variable's text, null when it is unset) when it
// is a number from 1 to kMaxReadThreads, else the default for `processors` (0: unknown).
// `error` says why a setting was not used, and is left empty otherwise.
unsigned ReadThreads(const char* setting, unsigned processors, std::string* error);

class ReadPool {
  public:
    // `size` reads at once: the caller's own thread and size - 1 threads of the pool, started
    // when a request first needs them.
    explicit ReadPool(unsigned size);
    ~ReadPool();  // call it when no Run is in progress

    // Lets the pool's threads go without waking or waiting for them: for a process that is
    // ending, whose other threads the system has already ended.
    void Abandon();
    ReadPool(const ReadPool&) = delete;
    ReadPool& operator=(const ReadPool&) = delete;

    unsigned size() const { return size_; }

    // Runs task(i) for each i below `count` and returns when every one has returned. The
    // caller's thread takes part, so a request always makes progress, even while other
    // requests keep the pool's threads busy. An exception from a task is rethrown here (the
    // first, after the rest have run).
    void Run(size_t count, const std::function<void(size_t)>& task);

  private:
    struct Batch {
        const std::function<void(size_t)>* task = nullptr;
        size_t count = 0;
        size_t next = 0;        // the next index to hand out
        size_t unfinished = 0;  // tasks handed out or waiting that have not returned
        std::exception_ptr failure;
        std::condition_variable finished;
    };

    // Claims the batch's next index (under mutex_); false when every one is handed out.
    bool Claim(const std::shared_ptr<Batch>& batch, size_t* index);
    // Runs one claimed index, with mutex_ released meanwhile.
    void RunClaimed(std::unique_lock<std::mutex>& lock, Batch& batch, size_t index);
    void StartThreads();  // under mutex_
    void Work();

    const unsigned size_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Batch>> batches_;  // those with indices still to hand out
    bool stopping_ = false;
    bool started_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace korvo::sp
