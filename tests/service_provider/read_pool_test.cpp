// The service provider's read pool on its own: its size from the setting or the processor
// count, every task run once with the caller waiting for all, at most the pool's size at once
// yet really side by side, callers that outnumber its threads, and a task that throws.
#include "read_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace korvo::sp {
namespace {

TEST(ReadPool, SizeComesFromTheSettingElseTheProcessorCount) {
    struct Case {
        const char* setting;
        unsigned processors;
        unsigned size;
        bool refused;
    };
    const Case cases[] = {
        {nullptr, 1, 2, false},
        {nullptr, 2, 4, false},
        {nullptr, 64, kDefaultReadThreadsCap, false},
        {nullptr, 0, 2, false},
        {"1", 2, 1, false},
        {"16", 2, 16, false},
        {"0", 2, 4, true},
        {"17", 2, 4, true},
        {"", 2, 4, true},
        {"-1", 2, 4, true},
        {" 2", 2, 4, true},
        {"2x", 2, 4, true},
        {"99999999999999999999", 2, 4, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting != nullptr ? c.setting : "(unset)");
        std::string error;
        EXPECT_EQ(ReadThreads(c.setting, c.processors, &error), c.size);
        EXPECT_EQ(!error.empty(), c.refused) << error;
        if (c.refused) {
            EXPECT_NE(error.find(kReadThreadsVariable), std::string::npos) << error;
        }
    }
}

// Several callers at once, more than the pool has threads: each task of each call runs
// exactly once, and a call returns only after all of its own have.
TEST(ReadPool, EveryTaskRunsOnceBeforeItsCallReturns) {
    for (const unsigned size : {1u, 2u, 4u}) {
        SCOPED_TRACE("size " + std::to_string(size));
        ReadPool pool(size);
        constexpr int kCallers = 6;
        constexpr size_t kTasks = 200;
        std::vector<std::vector<std::atomic<int>>> runs(kCallers);
        std::vector<int> unfinishedAtReturn(kCallers, -1);
        std::vector<std::thread> callers;
        for (int caller = 0; caller < kCallers; ++caller) {
            runs[caller] = std::vector<std::atomic<int>>(kTasks);
            callers.emplace_back([&, caller] {
                for (int round = 0; round < 5; ++round) {
                    pool.Run(kTasks, [&](size_t i) { ++runs[caller][i]; });
                    int unfinished = 0;
                    for (const auto& count : runs[caller]) {
                        unfinished += count.load() != round + 1 ? 1 : 0;
                    }
                    unfinishedAtReturn[caller] = std::max(unfinishedAtReturn[caller], unfinished);
                }
            });
        }
        for (std::thread& caller : callers) {
            caller.join();
        }
        for (int caller = 0; caller < kCallers; ++caller) {
            EXPECT_EQ(unfinishedAtReturn[caller], 0) << "caller " << caller;
        }
        pool.Run(0, [](size_t) { FAIL() << "a call of no tasks ran one"; });
    }
}

// Tasks that each wait until `size` of them run at once: they meet only when the pool runs
// them side by side, and never more than `size` are running.
TEST(ReadPool, RunsUpToItsSizeSideBySideAndNoMore) {
    for (const unsigned size : {2u, 3u}) {
        SCOPED_TRACE("size " + std::to_string(size));
        ReadPool pool(size);
        std::mutex mutex;
        std::condition_variable changed;
        unsigned running = 0;
        unsigned most = 0;
        unsigned met = 0;  // tasks that found `size` running while they waited
        pool.Run(size * 4, [&](size_t) {
            std::unique_lock lock(mutex);
            most = std::max(most, ++running);
            changed.notify_all();
            // A generous bound: a pool that runs one at a time would wait here for ever.
            if (changed.wait_for(lock, std::chrono::seconds(20),
                                 [&] { return running >= size || met > 0; })) {
                ++met;
            }
            --running;
        });
        EXPECT_EQ(most, size);
        EXPECT_GT(met, 0u);
    }

    ReadPool one(1);
    const auto caller = std::this_thread::get_id();
    std::atomic<int> elsewhere = 0;
    one.Run(20, [&](size_t) { elsewhere += std::this_thread::get_id() != caller ? 1 : 0; });
    EXPECT_EQ(elsewhere, 0) << "a pool of one reads on the caller's thread alone";
}

TEST(ReadPool, AFailingTaskIsRethrownAfterTheRestHaveRun) {
    for (const unsigned size : {1u, 3u}) {
        ReadPool pool(size);
        std::atomic<int> ran = 0;
        EXPECT_THROW(pool.Run(50,
                              [&](size_t i) {
                                  ++ran;
                                  if (i == 7) {
                                      throw std::runtime_error("task 7");
                                  }
                              }),
                     std::runtime_error);
        EXPECT_EQ(ran, 50) << "size " << size;
        // The pool goes on serving.
        ran = 0;
        pool.Run(10, [&](size_t) { ++ran; });
        EXPECT_EQ(ran, 10);
    }
}

}  // namespace
}  // namespace korvo::sp
