// A host without Qt loads a library built on the layer; the library makes the Qt
// application itself and runs its sheet.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// LeakSanitizer reads its suppressions from the executable only: the host carries the one
// the layer needs (fontconfig's caches, kept by Qt's font database for the process).
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

TEST(MfcModule, SheetRunsInsideASharedLibraryWhoseHostHasNoQt)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    void* module = dlopen(VORNET_MFC_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto run = reinterpret_cast<int (*)(const char*)>(dlsym(module, "SampleModuleRun"));
    ASSERT_NE(run, nullptr);
    std::remove("mfc_module_sheet.png");
    EXPECT_EQ(run("mfc_module_sheet.png"), 1);  // IDOK
    FILE* f = std::fopen("mfc_module_sheet.png", "rb");
    EXPECT_NE(f, nullptr) << "no picture of the sheet";
    if (f) std::fclose(f);
    EXPECT_EQ(run("mfc_module_sheet.png"), 1) << "a second run in the same host";
}

}  // namespace
