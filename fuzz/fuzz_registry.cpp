// Any text given to the .reg loader is either refused whole or loaded; what loads
// saves and loads back to the same text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/registry/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    plat::reg::Registry r;
    r.set_dword("HKLM\\Before", "Kept", 7);
    std::string before = r.save_reg();
    auto result = r.load_reg(text);
    if (!result.ok) {
        if (r.save_reg() != before || result.line < 0) {
            std::fprintf(stderr, "a refused text changed the registry\n");
            std::abort();
        }
        return 0;
    }
    std::string saved = r.save_reg();
    plat::reg::Registry again;
    auto reload = again.load_reg(saved);
    if (!reload.ok || again.save_reg() != saved) {
        std::fprintf(stderr, "saved text did not load back: %s\n", reload.message.c_str());
        std::abort();
    }
    return 0;
}
