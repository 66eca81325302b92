// korvo-mif-scaling: how the MIF reader's time grows with the file. Parses the large file of
// tests/service_provider/large_mif.h at a size and at four times that size, best of a few runs
// each, and prints both times and their ratio: about 4 when the reader is linear, 16 when some
// check is quadratic. Figures only; the machine's load moves the times, hardly the ratio.
//
//   korvo-mif-scaling [ITEMS [RUNS]]     (ITEMS: the smaller enumeration, 75000 unless given)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "mif_parser.h"
#include "service_provider/large_mif.h"

namespace {

double BestSeconds(int items, int runs) {
    const std::string text = korvo::mif::test::LargeMifText(items, items / 100);
    double best = 1e30;
    for (int run = 0; run < runs; ++run) {
        const auto started = std::chrono::steady_clock::now();
        const korvo::mif::ParseResult result = korvo::mif::ParseMifText(text, "large.mif");
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        if (!result) {
            std::fprintf(stderr, "korvo-mif-scaling: %s\n", result.error.Describe().c_str());
            std::exit(1);
        }
        best = std::min(best, took.count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int items = argc > 1 ? std::atoi(argv[1]) : 75000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    if (items < 100 || runs < 1) {
        std::fprintf(stderr, "usage: korvo-mif-scaling [ITEMS (at least 100) [RUNS]]\n");
        return 2;
    }
    const double small = BestSeconds(items, runs);
    const double large = BestSeconds(4 * items, runs);
    std::printf("%8d items, %6d groups: %8.3f s\n", items, items / 100, small);
    std::printf("%8d items, %6d groups: %8.3f s\n", 4 * items, 4 * items / 100, large);
    std::printf("four times the file takes %.2f times as long (linear: 4, quadratic: 16)\n",
                large / small);
    return 0;
}
