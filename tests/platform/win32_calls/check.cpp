// Runs every case of the Win32 calls program on the machine the program was built for and
// prints one line per case, the failed checks under it, and a summary; exit status 1 on any
// failure.
#include "check.h"

#include <cstdio>
#include <vector>

#include "test_machine.h"

namespace korvo::calls {
namespace {

struct Case {
    const char* name;
    CaseFunction run;
};

std::vector<Case>& Cases() {
    static std::vector<Case> cases;
    return cases;
}

std::vector<std::string> failures;

}  // namespace

CaseRegistration::CaseRegistration(const char* name, CaseFunction run) {
    Cases().push_back({name, run});
}

void Fail(const char* file, int line, const std::string& what) {
    std::string place = file;
    const size_t slash = place.find_last_of("/\\");
    failures.push_back(place.substr(slash == std::string::npos ? 0 : slash + 1) + ":" +
                       std::to_string(line) + ": " + what);
}

}  // namespace korvo::calls

int main() {
    using namespace korvo::calls;
    std::string error;
    if (!PrepareMachine(&error)) {
        std::printf("FAIL preparing the machine: %s\n", error.c_str());
        return 1;
    }
    size_t passed = 0;
    for (const Case& c : Cases()) {
        failures.clear();
        c.run();
        std::printf("%s %s\n", failures.empty() ? "ok  " : "FAIL", c.name);
        for (const std::string& failure : failures) {
            std::printf("  %s\n", failure.c_str());
        }
        passed += failures.empty() ? 1 : 0;
    }
    EndMachine();
    std::printf("win32 calls: %zu of %zu cases passed on %s\n", passed, Cases().size(),
                MachineName());
    return passed == Cases().size() ? 0 : 1;
}
