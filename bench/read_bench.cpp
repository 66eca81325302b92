// korvo_bench_read: each kind of read through ReadAttribute beside the bare control-device
// exchange that read makes, against the simulated adapter in its own process. Repetitions of
// all benchmarks run interleaved at random so that the machine's noise falls on reads and
// exchanges alike; the summary gives the median real time of each and their ratio. A third
// benchmark per kind alternates one read and one exchange call by call and times each: on a
// shared, noisy machine its ratio is the steadier of the two. Last, the exchange beside its
// floor: a bare client and server doing the same connect, request, reply and close.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "heap_dmi.h"
#include "read_kinds.h"
#include "simulated_adapter.h"
#include "socket_floor.h"

namespace {

using korvo::bench::KindRunner;

// The goals: a read costs at most this many times the exchange it makes, and an exchange at
// most this many times its floor.
constexpr double kRatioGoal = 1.05;
constexpr double kFloorGoal = 1.5;

// Flags given before the user's own, which therefore win.
constexpr const char* kDefaultFlags[] = {
    "--benchmark_repetitions=15",
    "--benchmark_enable_random_interleaving=true",
    "--benchmark_min_time=0.1",
};

std::string ReadName(const KindRunner& runner) {
    return "read/" + std::string(runner.kind().name);
}
std::string ExchangeName(const KindRunner& runner) {
    return "exchange/" + std::string(runner.kind().name);
}
std::string PairName(const KindRunner& runner) {
    return "pair/" + std::string(runner.kind().name);
}

constexpr char kReadCounter[] = "read_ns";
constexpr char kExchangeCounter[] = "exchange_ns";
constexpr char kFloorCounter[] = "floor_ns";
constexpr char kFloorName[] = "floor";
constexpr char kHopName[] = "hop";
// The kind whose exchange stands beside the floor: a 40-byte request and a 32-byte reply.
constexpr std::string_view kHopKind = "driver-integer";

void RunReads(benchmark::State& state, KindRunner* runner) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(runner->Read());
    }
}

void RunExchanges(benchmark::State& state, KindRunner* runner) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(runner->Exchange());
    }
}

// The middle value of `values` (reordered).
double Median(std::vector<double>& values) {
    if (values.empty()) {
        return 0;
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Two calls per iteration, each timed on its own; the order swaps every iteration so that
// neither call always follows the other. The counters are the median call of each: a call that
// the machine holds up for milliseconds moves a median no more than any other call, where it
// would move a mean by its whole delay.
template <typename First, typename Second>
void TimePairs(benchmark::State& state, First first, const char* firstCounter, Second second,
               const char* secondCounter) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> firsts;
    std::vector<double> seconds;
    firsts.reserve(state.max_iterations);
    seconds.reserve(state.max_iterations);
    auto nanoseconds = [](Clock::duration duration) {
        return static_cast<double>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count());
    };
    bool firstFirst = true;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (firstFirst) {
            benchmark::DoNotOptimize(first());
        } else {
            benchmark::DoNotOptimize(second());
        }
        const auto middle = Clock::now();
        if (firstFirst) {
            benchmark::DoNotOptimize(second());
        } else {
            benchmark::DoNotOptimize(first());
        }
        const auto end = Clock::now();
        firsts.push_back(nanoseconds(firstFirst ? middle - start : end - middle));
        seconds.push_back(nanoseconds(firstFirst ? end - middle : middle - start));
        firstFirst = !firstFirst;
    }
    state.counters[firstCounter] = Median(firsts);
    state.counters[secondCounter] = Median(seconds);
}

// A read and the exchange it makes.
void RunPairs(benchmark::State& state, KindRunner* runner) {
    TimePairs(
        state, [runner] { return runner->Read(); }, kReadCounter,
        [runner] { return runner->Exchange(); }, kExchangeCounter);
}

void RunFloor(benchmark::State& state, const korvo::bench::SocketFloor* floor) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(floor->Exchange());
    }
}

// An exchange with the simulated adapter and the floor's bare exchange.
void RunHop(benchmark::State& state, KindRunner* runner, const korvo::bench::SocketFloor* floor) {
    TimePairs(
        state, [runner] { return runner->Exchange(); }, kExchangeCounter,
        [floor] { return floor->Exchange(); }, kFloorCounter);
}

// The console report, aggregates only when there are any, while the figures of every
// repetition are kept for the summary: the time per iteration, and for a pair the read's
// share over the exchange's.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    SummaryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown;
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate || run.repetitions <= 1) {
                shown.push_back(run);
            }
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            const std::string& name = run.run_name.function_name;
            samples_[name].push_back(run.GetAdjustedRealTime());
            samples_[name + "#cpu"].push_back(run.GetAdjustedCPUTime());
            // A pair's ratio: the read over its exchange, or the exchange over its floor.
            const auto read = run.counters.find(kReadCounter);
            const auto exchange = run.counters.find(kExchangeCounter);
            const auto floor = run.counters.find(kFloorCounter);
            const auto over = read != run.counters.end() ? exchange : floor;
            const auto above = read != run.counters.end() ? read : exchange;
            if (above != run.counters.end() && over != run.counters.end() &&
                over->second.value > 0) {
                samples_[name + "#" + above->first].push_back(above->second.value);
                samples_[name + "#" + over->first].push_back(over->second.value);
                samples_[name + "#ratio"].push_back(above->second.value / over->second.value);
            }
        }
        if (!shown.empty()) {
            ConsoleReporter::ReportRuns(shown);
        }
    }

    // Median and interquartile range of the repetitions' figures.
    struct Figures {
        double median = 0;
        double spread = 0;
        size_t repetitions = 0;
    };
    Figures FiguresOf(const std::string& name) const {
        const auto found = samples_.find(name);
        if (found == samples_.end() || found->second.empty()) {
            return {};
        }
        std::vector<double> values = found->second;
        std::sort(values.begin(), values.end());
        auto quantile = [&values](double q) {
            const double position = q * static_cast<double>(values.size() - 1);
            const auto low = static_cast<size_t>(position);
            const size_t high = std::min(low + 1, values.size() - 1);
            return values[low] +
                   (values[high] - values[low]) * (position - static_cast<double>(low));
        };
        return {quantile(0.5), quantile(0.75) - quantile(0.25), values.size()};
    }

  private:
    std::map<std::string, std::vector<double>> samples_;
};

std::string Time(double nanoseconds) {
    char text[32];
    if (std::fabs(nanoseconds) >= 1000) {
        std::snprintf(text, sizeof text, "%.2f us", nanoseconds / 1000);
    } else {
        std::snprintf(text, sizeof text, "%.1f ns", nanoseconds);
    }
    return text;
}

std::string Ratio(double numerator, double denominator) {
    if (numerator <= 0 || denominator <= 0) {
        return "-";
    }
    char text[16];
    std::snprintf(text, sizeof text, "%.3f", numerator / denominator);
    return text;
}

void PrintSummary(const SummaryReporter& reporter,
                  const std::vector<std::unique_ptr<KindRunner>>& runners) {
    using Figures = SummaryReporter::Figures;
    auto timeText = [](const Figures& figures, double value) {
        return figures.repetitions != 0 ? Time(value) : std::string("-");
    };
    auto ratioText = [](const Figures& figures, double value) {
        return figures.repetitions != 0 ? Ratio(value, 1) : std::string("-");
    };

    std::printf(
        "\nSeparate benchmarks: medians over the repetitions of the real time per call\n"
        "(IQR: interquartile range); ratio: read / exchange; cpu: the same for the benchmark\n"
        "thread's CPU time (user and kernel), which leaves out the driver's side and the waits.\n");
    std::printf("%-15s %11s %11s %11s %11s %8s %8s\n", "kind", "read", "read IQR", "exchange",
                "exch. IQR", "ratio", "cpu");
    for (const auto& runner : runners) {
        const auto read = reporter.FiguresOf(ReadName(*runner));
        const auto exchange = reporter.FiguresOf(ExchangeName(*runner));
        if (read.repetitions == 0 && exchange.repetitions == 0) {
            continue;  // filtered out
        }
        std::printf(
            "%-15s %11s %11s %11s %11s %8s %8s\n", runner->kind().name.data(),
            timeText(read, read.median).c_str(), timeText(read, read.spread).c_str(),
            runner->kind().asksDriver ? timeText(exchange, exchange.median).c_str() : "none",
            timeText(exchange, exchange.spread).c_str(),
            Ratio(read.median, exchange.median).c_str(),
            Ratio(reporter.FiguresOf(ReadName(*runner) + "#cpu").median,
                  reporter.FiguresOf(ExchangeName(*runner) + "#cpu").median)
                .c_str());
    }

    std::printf(
        "\nPairs, a read and an exchange call by call: medians over the repetitions of each\n"
        "repetition's median read call, median exchange call, and their ratio (with its IQR).\n");
    std::printf("%-15s %11s %11s %8s %8s\n", "kind", "read", "exchange", "ratio", "IQR");
    std::string verdict = "met";
    for (const auto& runner : runners) {
        if (!runner->kind().asksDriver) {
            continue;
        }
        const std::string pair = PairName(*runner);
        const auto ratio = reporter.FiguresOf(pair + "#ratio");
        const auto read = reporter.FiguresOf(ReadName(*runner));
        const auto exchange = reporter.FiguresOf(ExchangeName(*runner));
        // The paired ratio judges the goal where it was measured: it is the steadier one.
        double judged = 0;
        if (ratio.repetitions != 0) {
            judged = ratio.median;
            const auto pairRead = reporter.FiguresOf(pair + "#" + kReadCounter);
            const auto pairExchange = reporter.FiguresOf(pair + "#" + kExchangeCounter);
            std::printf("%-15s %11s %11s %8s %8s\n", runner->kind().name.data(),
                        timeText(pairRead, pairRead.median).c_str(),
                        timeText(pairExchange, pairExchange.median).c_str(),
                        ratioText(ratio, ratio.median).c_str(),
                        ratioText(ratio, ratio.spread).c_str());
        } else if (read.repetitions != 0 && exchange.repetitions != 0) {
            judged = read.median / exchange.median;
        }
        if (judged == 0) {
            verdict = verdict == "met" ? "not measured for every kind" : verdict;
        } else if (judged > kRatioGoal) {
            verdict = "not met in this run";
        }
    }
    std::printf(
        "Goal: read / exchange <= %.2f for every kind that asks the driver (the paired\n"
        "ratio where measured): %s\n",
        kRatioGoal, verdict.c_str());

    const auto floor = reporter.FiguresOf(kFloorName);
    const auto hop = reporter.FiguresOf(std::string(kHopName) + "#ratio");
    if (floor.repetitions == 0 && hop.repetitions == 0) {
        return;
    }
    const auto hopExchange = reporter.FiguresOf(std::string(kHopName) + "#" + kExchangeCounter);
    const auto hopFloor = reporter.FiguresOf(std::string(kHopName) + "#" + kFloorCounter);
    std::printf(
        "\nThe device hop beside its floor (%s: CreateFileA, DeviceIoControl, CloseHandle\n"
        "against the simulated adapter; floor: a bare client and one-thread server doing the\n"
        "same connect, 40-byte request, 32-byte reply and close), paired call by call:\n",
        kHopKind.data());
    std::printf("%11s %11s %8s %8s %14s\n", "exchange", "floor", "ratio", "IQR", "floor alone");
    std::printf("%11s %11s %8s %8s %14s\n", timeText(hopExchange, hopExchange.median).c_str(),
                timeText(hopFloor, hopFloor.median).c_str(), ratioText(hop, hop.median).c_str(),
                ratioText(hop, hop.spread).c_str(), timeText(floor, floor.median).c_str());
    std::printf("Goal: exchange / floor <= %.2f: %s\n", kFloorGoal,
                hop.repetitions == 0       ? "not measured"
                : hop.median <= kFloorGoal ? "met"
                                           : "not met in this run");
}

int Run(int argc, char** argv) {
    std::vector<char*> arguments{argv[0]};
    for (const char* flag : kDefaultFlags) {
        arguments.push_back(const_cast<char*>(flag));
    }
    arguments.insert(arguments.end(), argv + 1, argv + argc);
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) {
        return 2;
    }

    korvo::bench::SimulatedAdapter adapter;
    korvo::bench::HeapDmi dmi;
    std::vector<std::unique_ptr<KindRunner>> runners;
    for (const auto& kind : korvo::bench::kReadKinds) {
        runners.push_back(std::make_unique<KindRunner>(kind));
        runners.back()->Check();
    }
    for (const auto& runner : runners) {
        benchmark::RegisterBenchmark(ReadName(*runner).c_str(), RunReads, runner.get())
            ->Unit(benchmark::kNanosecond);
        if (runner->kind().asksDriver) {
            benchmark::RegisterBenchmark(ExchangeName(*runner).c_str(), RunExchanges, runner.get())
                ->Unit(benchmark::kNanosecond);
            benchmark::RegisterBenchmark(PairName(*runner).c_str(), RunPairs, runner.get())
                ->Unit(benchmark::kNanosecond);
        }
    }
    const korvo::bench::SocketFloor floor(std::getenv("KORVO_ROOT"));
    benchmark::RegisterBenchmark(kFloorName, RunFloor, &floor)->Unit(benchmark::kNanosecond);
    for (const auto& runner : runners) {
        if (runner->kind().name == kHopKind) {
            benchmark::RegisterBenchmark(kHopName, RunHop, runner.get(), &floor)
                ->Unit(benchmark::kNanosecond);
        }
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    PrintSummary(reporter, runners);
    if (korvo::bench::HeapDmi::Outstanding() != 0) {
        std::fprintf(stderr, "korvo_bench_read: %zu DMI blocks were not freed\n",
                     korvo::bench::HeapDmi::Outstanding());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvo_bench_read: %s\n", error.what());
        return 1;
    }
}
