// vornet-control: stands in for the Control Panel. Loads a control-panel library, sends
// it the Control Panel's messages (initialise, count, inquire for each applet), shows
// each applet's icon, name and description, opens an applet on request (select, then
// double-click) and ends with stop for each applet and exit.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "platform/win32/cpl.h"

namespace {

const char* const kUsage =
    "usage: vornet-control [--open] LIBRARY\n"
    "  --open   open the first applet at once, and end when it closes\n"
    "  without --open: type an applet's number to open it, q to end\n";

int fail(const std::string& message)
{
    std::fprintf(stderr, "vornet-control: %s\n", message.c_str());
    return 2;
}

struct Applet {
    std::string name, info;
    LONG_PTR data = 0;
    intptr_t icon = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    bool open_first = false;
    std::string library;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--open") {
            open_first = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            std::fputs(kUsage, stderr);
            return fail("unknown option " + a);
        } else if (library.empty()) {
            library = a;
        } else {
            std::fputs(kUsage, stderr);
            return fail("one library only");
        }
    }
    if (library.empty()) {
        std::fputs(kUsage, stderr);
        return fail("no library given");
    }
    void* lib = dlopen(library.find('/') == std::string::npos ? ("./" + library).c_str() : library.c_str(), RTLD_NOW);
    if (lib == nullptr) return fail("cannot load " + library + ": " + dlerror());
    auto entry = reinterpret_cast<APPLET_PROC>(dlsym(lib, "CPlApplet"));
    if (entry == nullptr) {
        dlclose(lib);
        return fail(library + " exports no CPlApplet: it is not a control-panel library");
    }
    HWND window = nullptr;  // no Control Panel window of our own
    if (entry(window, CPL_INIT, 0, 0) == 0) {
        dlclose(lib);
        return fail(library + " refused to initialise");
    }
    LONG count = entry(window, CPL_GETCOUNT, 0, 0);
    if (count < 0 || count > 64) count = 0;
    std::vector<Applet> applets;
    for (LONG i = 0; i < count; i++) {
        Applet a;
        CPLINFO old{};
        entry(window, CPL_INQUIRE, i, reinterpret_cast<LPARAM>(&old));
        NEWCPLINFOA info{};
        entry(window, CPL_NEWINQUIRE, i, reinterpret_cast<LPARAM>(&info));
        if (info.dwSize != 0) {
            a.name.assign(info.szName, strnlen(info.szName, sizeof info.szName));
            a.info.assign(info.szInfo, strnlen(info.szInfo, sizeof info.szInfo));
            a.data = info.lData;
            a.icon = reinterpret_cast<intptr_t>(info.hIcon);
        } else {
            a.name = "name resource " + std::to_string(old.idName);
            a.info = "information resource " + std::to_string(old.idInfo);
            a.data = old.lData;
            a.icon = old.idIcon;
        }
        std::printf("applet %ld: %s - %s (icon %ld)\n", static_cast<long>(i), a.name.c_str(), a.info.c_str(),
                    static_cast<long>(a.icon));
        applets.push_back(a);
    }
    std::fflush(stdout);
    auto open = [&](size_t i) {
        std::printf("opening applet %zu: %s\n", i, applets[i].name.c_str());
        std::fflush(stdout);
        entry(window, CPL_SELECT, static_cast<LPARAM>(i), applets[i].data);
        entry(window, CPL_DBLCLK, static_cast<LPARAM>(i), applets[i].data);
        std::printf("applet %zu closed\n", i);
        std::fflush(stdout);
    };
    int status = 0;
    if (applets.empty()) {
        std::fprintf(stderr, "vornet-control: %s has no applet\n", library.c_str());
        status = 1;
    } else if (open_first) {
        open(0);
    } else {
        std::string line;
        while (std::printf("open which applet (0-%zu, q to end)? ", applets.size() - 1), std::fflush(stdout),
               std::getline(std::cin, line)) {
            if (line == "q") break;
            char* end = nullptr;
            unsigned long n = std::strtoul(line.c_str(), &end, 10);
            if (line.empty() || *end != 0 || n >= applets.size()) {
                std::printf("no applet %s\n", line.c_str());
                continue;
            }
            open(n);
        }
    }
    for (size_t i = 0; i < applets.size(); i++) entry(window, CPL_STOP, static_cast<LPARAM>(i), applets[i].data);
    entry(window, CPL_EXIT, 0, 0);
    dlclose(lib);
    return status;
}
