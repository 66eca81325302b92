// A private KORVO_ROOT per test, and scoped environment variables.
#include "support/private_root.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

namespace korvo::test {

PrivateRoot::PrivateRoot() {
    char pattern[] = "/tmp/korvo-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("cannot create a private KORVO_ROOT under /tmp");
    }
    path_ = pattern;
    if (const char* old = getenv("KORVO_ROOT")) {
        previous_ = old;
        hadPrevious_ = true;
    }
    setenv("KORVO_ROOT", path_.c_str(), 1);
}

PrivateRoot::~PrivateRoot() {
    if (hadPrevious_) {
        setenv("KORVO_ROOT", previous_.c_str(), 1);
    } else {
        unsetenv("KORVO_ROOT");
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) {
        previous_ = old;
        hadPrevious_ = true;
    }
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (hadPrevious_) {
        setenv(name_.c_str(), previous_.c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

}  // namespace korvo::test
