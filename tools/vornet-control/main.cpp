// vornet-control: stands in for the Control Panel. Loads a control-panel library, sends
// it the Control Panel's messages (initialise, count, inquire for each applet), shows
// each applet's icon, name and description, opens an applet on request (select, then
// double-click) and ends with stop for each applet and exit. With --page it opens one
// of the library's engineering pages on an adapter instead.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "platform/win32/cpl.h"

namespace {

const char* const kUsage =
    "usage: vornet-control [--open] LIBRARY\n"
    "       vornet-control --page NAME [--adapter N] LIBRARY\n"
    "  --open        open the first applet at once, and end when it closes\n"
    "  --page NAME   open the engineering page NAME on an adapter, and end when it closes\n"
    "  --adapter N   the adapter VORNET<N> for --page (default: the first found)\n"
    "  without --open or --page: type an applet's number to open it, q to end\n";

typedef LONG (*OpenPageProc)(HWND, const char*, UINT);
typedef const char* (*PageNamesProc)();

// The library's engineering pages, for the help: what it names, when one is given.
void PrintPageNames(const std::string& library)
{
    if (library.empty()) {
        std::fputs("  pages: give LIBRARY with --help to list them\n", stdout);
        return;
    }
    void* lib = dlopen(library.find('/') == std::string::npos ? ("./" + library).c_str() : library.c_str(), RTLD_NOW);
    auto names = lib != nullptr ? reinterpret_cast<PageNamesProc>(dlsym(lib, "EngineeringPageNames")) : nullptr;
    if (names != nullptr)
        std::printf("  pages of %s: %s\n", library.c_str(), names());
    else
        std::printf("  %s has no engineering pages\n", library.c_str());
    if (lib != nullptr)
        dlclose(lib);
}

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
    bool open_first = false, help = false;
    std::string library, page;
    unsigned long adapter = 0;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--open") {
            open_first = true;
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else if (a == "--page" || a == "--adapter") {
            if (i + 1 >= argc) {
                std::fputs(kUsage, stderr);
                return fail(a + " needs a value");
            }
            std::string v = argv[++i];
            if (a == "--page") {
                page = v;
                continue;
            }
            char* end = nullptr;
            adapter = std::strtoul(v.c_str(), &end, 10);
            if (v.empty() || *end != 0 || adapter == 0 || adapter > 255) {
                std::fputs(kUsage, stderr);
                return fail("bad adapter number " + v);
            }
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
    if (help) {
        std::fputs(kUsage, stdout);
        PrintPageNames(library);
        return 0;
    }
    if (library.empty()) {
        std::fputs(kUsage, stderr);
        return fail("no library given");
    }
    if (adapter != 0 && page.empty()) {
        std::fputs(kUsage, stderr);
        return fail("--adapter goes with --page");
    }
#ifdef VORNET_SYSTEM_LIBRARIES
    // The libraries the applet loads by name are found where the system keeps them.
    setenv("VORNET_LIBRARY_PATH", VORNET_SYSTEM_LIBRARIES, 0);
#endif
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
    if (!page.empty()) {
        auto open_page = reinterpret_cast<OpenPageProc>(dlsym(lib, "OpenEngineeringPage"));
        LONG r = open_page != nullptr ? open_page(window, page.c_str(), static_cast<UINT>(adapter)) : 1;
        entry(window, CPL_EXIT, 0, 0);
        if (open_page == nullptr) {
            dlclose(lib);
            return fail(library + " has no engineering pages");
        }
        if (r == 1) {
            PrintPageNames(library);
            dlclose(lib);
            return fail("no page " + page);
        }
        if (r == 2) {
            dlclose(lib);
            return fail(adapter != 0 ? "no adapter VORNET" + std::to_string(adapter) : std::string("no adapter"));
        }
        std::printf("page %s closed\n", page.c_str());
        dlclose(lib);
        return 0;
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
