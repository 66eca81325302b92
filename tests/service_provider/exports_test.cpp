// The library as the agent finds it: a file named Wcdmi.dll that exports every entry point the
// agent resolves, by name, with C linkage.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "dmi/dmi.h"

namespace {

TEST(ServiceProviderExports, AllFiftySevenEntryPointsResolveByName) {
    EXPECT_EQ(std::filesystem::path(KORVO_SP_LIBRARY).filename(), "Wcdmi.dll");
    void* library = dlopen(KORVO_SP_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    int resolved = 0;
#define KORVO_EXPECT_EXPORTED(name, result, params)                        \
    EXPECT_NE(dlsym(library, #name), nullptr) << #name " is not exported"; \
    ++resolved;
    KORVO_DMI_ENTRY_POINTS(KORVO_EXPECT_EXPORTED)
#undef KORVO_EXPECT_EXPORTED
    EXPECT_EQ(resolved, 57);
}

}  // namespace
