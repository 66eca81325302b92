// The simulated adapter for the benchmarks: the korvo-adapter program serving a private
// KORVO_ROOT in a process of its own, as the driver is outside the agent's process. Profiling
// the benchmark process then counts the agent and its exchange, not the driver.
#pragma once

#include <sys/types.h>

#include "support/private_root.h"

namespace korvo::bench {

class SimulatedAdapter {
  public:
    // Starts `korvo-adapter serve --quiet` and waits until the driver answers the probe.
    // Throws std::runtime_error saying what went wrong when it does not.
    SimulatedAdapter();
    ~SimulatedAdapter();  // ends the simulator and removes the private root
    SimulatedAdapter(const SimulatedAdapter&) = delete;
    SimulatedAdapter& operator=(const SimulatedAdapter&) = delete;

  private:
    void Stop();

    test::PrivateRoot root_;  // first: KORVO_ROOT is set before the simulator starts
    pid_t pid_ = -1;
};

}  // namespace korvo::bench
