// korvo_bench_read: each kind of read through ReadAttribute beside the bare control-device
// exchange that read makes, against the simulated adapter in its own process. Repetitions of
// all benchmarks run interleaved at random so that the machine's noise falls on reads and
// exchanges alike; the summary gives the median real time of each and their ratio. A third
// benchmark per kind alternates one read and one exchange call by call and times each: on a
// shared, noisy machine its ratio is the steadier of the two.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "heap_dmi.h"
#include "read_kinds.h"
#include "simulated_adapter.h"

namespace {

using korvo::bench::KindRunner;

// The goal: a read costs at most this many times the exchange it makes.
constexpr double kRatioGoal = 1.05;

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

// One read and one exchange per iteration, each timed on its own; the order swaps every
// iteration so that neither call always follows the other. The counters are the median call
// of each: a call that the machine holds up for milliseconds moves a median no more than any
// other call, where it would move a mean by its whole delay.
void RunPairs(benchmark::State& state, KindRunner* runner) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> reads;
    std::vector<double> exchanges;
    reads.reserve(state.max_iterations);
    exchanges.reserve(state.max_iterations);
    auto nanoseconds = [](Clock::duration duration) {
        return static_cast<double>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count());
    };
    bool readFirst = true;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (readFirst) {
            benchmark::DoNotOptimize(runner->Read());
        } else {
            benchmark::DoNotOptimize(runner->Exchange());
        }
        const auto middle = Clock::now();
        if (readFirst) {
            benchmark::DoNotOptimize(runner->Exchange());
        } else {
            benchmark::DoNotOptimize(runner->Read());
        }
        const auto end = Clock::now();
        reads.push_back(nanoseconds(readFirst ? middle - start : end - middle));
        exchanges.push_back(nanoseconds(readFirst ? end - middle : middle - start));
        readFirst = !readFirst;
    }
    state.counters[kReadCounter] = Median(reads);
    state.counters[kExchangeCounter] = Median(exchanges);
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
            const auto read = run.counters.find(kReadCounter);
            const auto exchange = run.counters.find(kExchangeCounter);
            if (read != run.counters.end() && exchange != run.counters.end() &&
                exchange->second.value > 0) {
                samples_[name + "#read"].push_back(read->second.value);
                samples_[name + "#exchange"].push_back(exchange->second.value);
                samples_[name + "#ratio"].push_back(read->second.value / exchange->second.value);
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
            const auto pairRead = reporter.FiguresOf(pair + "#read");
            const auto pairExchange = reporter.FiguresOf(pair + "#exchange");
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
