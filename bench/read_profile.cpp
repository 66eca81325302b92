// korvo_bench_profile: N reads of one kind, or N of the bare exchanges that read makes, in
// functions of their own, for callgrind to count:
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect='Profiled*'
//            korvo_bench_profile KIND read|exchange [N]
// scripts/bench-micro runs it for every kind and splits the counts.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "heap_dmi.h"
#include "read_kinds.h"
#include "simulated_adapter.h"

using korvo::bench::KindRunner;

// Named so that callgrind can collect inside them alone. Every read and exchange must succeed.
[[gnu::noinline]] long ProfiledReads(KindRunner& runner, long count) {
    long failed = 0;
    for (long i = 0; i < count; ++i) {
        failed += runner.Read() != DMIERR_NO_ERROR ? 1 : 0;
    }
    return failed;
}

[[gnu::noinline]] long ProfiledExchanges(KindRunner& runner, long count) {
    long failed = 0;
    for (long i = 0; i < count; ++i) {
        failed += runner.Exchange() ? 0 : 1;
    }
    return failed;
}

namespace {

constexpr long kDefaultCount = 1000;
constexpr int kExitUsage = 2;

int Usage() {
    std::fprintf(stderr, "usage: korvo_bench_profile KIND read|exchange [N]\n  KIND:");
    for (const auto& kind : korvo::bench::kReadKinds) {
        std::fprintf(stderr, " %s", kind.name.data());
    }
    std::fprintf(stderr, "\n  N: how many calls (default %ld)\n", kDefaultCount);
    return kExitUsage;
}

int Run(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        return Usage();
    }
    const auto* kind = korvo::bench::FindReadKind(argv[1]);
    const std::string mode = argv[2];
    const long count = argc == 4 ? std::strtol(argv[3], nullptr, 10) : kDefaultCount;
    if (kind == nullptr || (mode != "read" && mode != "exchange") || count <= 0) {
        return Usage();
    }
    if (mode == "exchange" && !kind->asksDriver) {
        std::fprintf(stderr, "korvo_bench_profile: a %s read makes no exchange\n",
                     kind->name.data());
        return kExitUsage;
    }
    korvo::bench::SimulatedAdapter adapter;
    korvo::bench::HeapDmi dmi;
    KindRunner runner(*kind);
    runner.Check();  // also makes the first calls, which set up what later ones reuse
    const long failed =
        mode == "read" ? ProfiledReads(runner, count) : ProfiledExchanges(runner, count);
    if (failed != 0) {
        std::fprintf(stderr, "korvo_bench_profile: %ld of %ld calls failed\n", failed, count);
        return 1;
    }
    std::printf("%ld %s calls of kind %s\n", count, mode.c_str(), kind->name.data());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvo_bench_profile: %s\n", error.what());
        return 1;
    }
}
