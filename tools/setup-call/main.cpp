// setup-call: stands in for NT setup running an installation script. Loads a setup
// library, calls one of its procedures with the script's convention (argument count,
// argument strings, answer text) and prints the answer text.
#include <dlfcn.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/win32/cpl.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: setup-call LIBRARY PROCEDURE [ARGUMENT...]\n", stderr);
        return 2;
    }
    std::string library = argv[1], procedure = argv[2];
    void* lib = dlopen(library.find('/') == std::string::npos ? ("./" + library).c_str() : library.c_str(), RTLD_NOW);
    if (lib == nullptr) {
        std::fprintf(stderr, "setup-call: cannot load %s: %s\n", library.c_str(), dlerror());
        return 2;
    }
    auto proc = reinterpret_cast<SETUP_PROC>(dlsym(lib, procedure.c_str()));
    if (proc == nullptr) {
        std::fprintf(stderr, "setup-call: %s exports no procedure %s\n", library.c_str(), procedure.c_str());
        dlclose(lib);
        return 2;
    }
    std::vector<std::string> args(argv + 3, argv + argc);
    std::vector<LPSTR> pointers;
    for (auto& a : args) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    LPSTR answer = nullptr;
    BOOL result = proc(static_cast<DWORD>(args.size()), pointers.data(), &answer);
    std::printf("%s\n", answer != nullptr ? answer : "");
    std::fflush(stdout);
    dlclose(lib);
    return result ? 0 : 1;
}
