// The read pool: a batch of indexed tasks handed out one index at a time to the caller's
// thread and the pool's threads, each task run outside the pool's lock.
#include "read_pool.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace korvo::sp {

unsigned ReadThreads(const char* setting, unsigned processors, std::string* error) {
    error->clear();
    const unsigned fallback = std::min(std::max(processors, 1u) * 2, kDefaultReadThreadsCap);
    if (setting == nullptr) {
        return fallback;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(setting, &end, 10);
    if (*setting < '0' || *setting > '9' || *end != '\0' || errno != 0 || value < 1 ||
        value > kMaxReadThreads) {
        *error = std::string(kReadThreadsVariable) + "=" + setting + " is not a number from 1 to " +
                 std::to_string(kMaxReadThreads) + "; " + std::to_string(fallback) +
                 " reads run at once";
        return fallback;
    }
    return static_cast<unsigned>(value);
}

ReadPool::ReadPool(unsigned size) : size_(std::max(size, 1u)) {}

ReadPool::~ReadPool() {
    if (threads_.empty()) {
        return;  // none started, or abandoned
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

void ReadPool::Abandon() {
    for (std::thread& thread : threads_) {
        thread.detach();
    }
    threads_.clear();
}

void ReadPool::Run(size_t count, const std::function<void(size_t)>& task) {
    auto batch = std::make_shared<Batch>();
    batch->task = &task;
    batch->count = count;
    batch->unfinished = count;
    std::unique_lock lock(mutex_);
    if (count > 1 && size_ > 1) {
        StartThreads();
        batches_.push_back(batch);
        const size_t helpers = std::min<size_t>(count - 1, threads_.size());
        for (size_t i = 0; i < helpers; ++i) {
            wake_.notify_one();
        }
    }
    size_t index = 0;
    while (Claim(batch, &index)) {
        RunClaimed(lock, *batch, index);
    }
    batch->finished.wait(lock, [&] { return batch->unfinished == 0; });
    if (batch->failure) {
        std::rethrow_exception(batch->failure);
    }
}

bool ReadPool::Claim(const std::shared_ptr<Batch>& batch, size_t* index) {
    if (batch->next == batch->count) {
        return false;
    }
    *index = batch->next++;
    if (batch->next == batch->count) {
        const auto queued = std::find(batches_.begin(), batches_.end(), batch);
        if (queued != batches_.end()) {
            batches_.erase(queued);
        }
    }
    return true;
}

void ReadPool::RunClaimed(std::unique_lock<std::mutex>& lock, Batch& batch, size_t index) {
    lock.unlock();
    std::exception_ptr failure;
    try {
        (*batch.task)(index);
    } catch (...) {
        failure = std::current_exception();
    }
    lock.lock();
    if (failure && !batch.failure) {
        batch.failure = failure;
    }
    if (--batch.unfinished == 0) {
        batch.finished.notify_all();
    }
}

void ReadPool::StartThreads() {
    if (started_) {
        return;
    }
    started_ = true;
    try {
        for (unsigned i = 1; i < size_; ++i) {
            threads_.emplace_back([this] { Work(); });
        }
    } catch (const std::system_error&) {
        // Fewer threads than asked (none at worst): the callers' own threads read the rest.
    }
}

void ReadPool::Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !batches_.empty(); });
        if (stopping_) {
            return;
        }
        const std::shared_ptr<Batch> batch = batches_.front();
        size_t index = 0;
        if (Claim(batch, &index)) {
            RunClaimed(lock, *batch, index);
        }
    }
}

}  // namespace korvo::sp
