// The two hosts as a user runs them: vornet-control with a control-panel library and
// setup-call with a setup library; libraries without the entries are refused.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct HostRun {
    int status = -1;
    std::string out;
};

HostRun run(const std::string& command)
{
    HostRun r;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int s = pclose(p);
    r.status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    return r;
}

struct HostCase {
    const char* name;
    std::string command;
    int status;
    std::string output;  // expected in what the host prints
};

TEST(Hosts, LoadLibrariesThatExportTheEntriesAndRefuseOthers)
{
    const std::string control = VORNET_CONTROL, setup = SETUP_CALL;
    const HostCase cases[] = {
        {"applets listed with icon and name", "echo q | " + control + " " CPL_APPLET_LIB, 0,
         "applet 0: Test applet 0 - Applet number 0 (icon 151)\napplet 1: Test applet 1 - Applet number 1 (icon 152)\n"},
        {"--open opens the first", control + " --open " CPL_APPLET_LIB, 0, "opening applet 0: Test applet 0\napplet 0 closed\n"},
        {"opened on request", "printf '1\\n7\\nq\\n' | " + control + " " CPL_APPLET_LIB, 0,
         "opening applet 1: Test applet 1\napplet 1 closed\nopen which applet (0-1, q to end)? no applet 7\n"},
        {"no CPlApplet", control + " --open " NO_ENTRIES_LIB, 2, "exports no CPlApplet"},
        {"no library", control + " /nonexistent/libx.so", 2, "cannot load /nonexistent/libx.so"},
        {"setup answer", setup + " " SETUP_PROCS_LIB " ConfigPriCard VORNET1 x", 0, "OK,2,VORNET1\n"},
        {"setup procedure reporting failure", setup + " " SETUP_PROCS_LIB " GetBusNumber a b 3", 1, "3\n"},
        {"no such procedure", setup + " " SETUP_PROCS_LIB " ConfigPriCardX", 2, "exports no procedure ConfigPriCardX"},
        {"setup library without procedures", setup + " " NO_ENTRIES_LIB " GetBusNumber", 2, "exports no procedure GetBusNumber"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostRun r = run(c.command);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_NE(r.out.find(c.output), std::string::npos) << r.out;
    }
}

TEST(Hosts, TheControlPanelSendsItsMessagesInOrder)
{
    char t[] = "/tmp/vornet-cpl-XXXXXX";
    ASSERT_NE(mkstemp(t), -1);
    std::string log = t;
    HostRun r = run("VORNET_TEST_LOG=" + log + " " VORNET_CONTROL " --open " CPL_APPLET_LIB);
    ASSERT_EQ(r.status, 0) << r.out;
    std::ifstream in(log);
    std::stringstream s;
    s << in.rdbuf();
    // init, count, inquire and new-inquire for both, select and double-click the first,
    // stop both, exit.
    EXPECT_EQ(s.str(), "1 0\n2 0\n3 0\n8 0\n3 1\n8 1\n4 0\n5 0\n6 0\n6 1\n7 0\n");
    std::remove(log.c_str());
}

}  // namespace
