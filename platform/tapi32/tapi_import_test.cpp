// The line entries as an application links them: TAPI32 loaded on first use, a missing
// library or entry answered with LINEERR_OPERATIONUNAVAIL.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/tapi32/tapi.h"

namespace {

LONG every_entry_but_initialise()
{
    HLINE line = 0;
    DWORD version = 0;
    LINEDEVCAPS caps{};
    caps.dwTotalSize = sizeof caps;
    for (LONG r : {lineNegotiateAPIVersion(1, 0, 0x10004, 0x20000, &version, nullptr),
                   lineOpenA(1, 0, &line, 0x20000, 0, 0, 1, 4, nullptr), lineGetDevCapsA(1, 0, 0x20000, 0, &caps),
                   lineGetDevCaps(1, 0, 0x20000, 0, &caps), lineClose(1)})
        if (r != (LONG)LINEERR_OPERATIONUNAVAIL) return r;
    return (LONG)LINEERR_OPERATIONUNAVAIL;
}

int without_library()
{
    setenv("VORNET_LIBRARY_PATH", "/nonexistent", 1);
    HLINEAPP app = 0;
    DWORD devices = 0, version = 0x20000;
    bool all = lineInitializeExA(&app, nullptr, nullptr, "t", &devices, &version, nullptr) ==
                   (LONG)LINEERR_OPERATIONUNAVAIL &&
               lineShutdown(app) == (LONG)LINEERR_OPERATIONUNAVAIL &&
               every_entry_but_initialise() == (LONG)LINEERR_OPERATIONUNAVAIL;
    return all ? 0 : 1;
}

// Runs first, in a child of its own, before this process has looked for the library.
TEST(TapiImport, AMissingLibraryAnswersOperationUnavailableFromEveryEntry)
{
    EXPECT_EXIT(std::exit(without_library()), ::testing::ExitedWithCode(0), "");
}

TEST(TapiImport, TheLibraryIsCalledThroughAndAMissingEntryAnswersOperationUnavailable)
{
    setenv("VORNET_LIBRARY_PATH", FAKE_TAPI32_DIR, 1);
    HLINEAPP app = 0;
    DWORD devices = 0, version = 0x20000;
    ASSERT_EQ(lineInitializeExA(&app, nullptr, nullptr, "t", &devices, &version, nullptr), 0);
    EXPECT_EQ(app, 0x77u);
    EXPECT_EQ(devices, 3u);
    EXPECT_EQ(every_entry_but_initialise(), (LONG)LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineShutdown(app), 0);
}

}  // namespace
