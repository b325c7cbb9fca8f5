// A serial modem's reply, read by every query's parse table into a modem's records,
// and checked for its result line and its product version.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "QLCommon/ManageableObject.h"
#include "QLCommon/TextField.h"
#include "QLCommon/mdparse.h"
#include "QLCommon/parsetbl.h"

namespace {

class Records : public CManageableObject {
public:
    ~Records() override
    {
        for (auto& f : words) txtf_Free(&f);
    }
    std::string GetDisplayName() override { return "Modem"; }
    void BuildVariableMethods() override {}
    void* GetItemPtr(uint32_t id, const CSMemIndex&) override
    {
        uint32_t f = id & 0xFF;
        uint32_t v = (id >> 8) & 0xFF;
        if (f >= 32) return nullptr;
        for (int i = 0; i < 8; i++)
            if (v == (1u << i)) return &words[i * 32 + f];
        return nullptr;
    }
    uint32_t words[8 * 32] = {};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);  // a reply ends at its first NUL
    Records r;
    for (uint32_t group : {0x001u, 0x002u, 0x004u, 0x008u, 0x010u, 0x020u, 0x800u})
        parsetbl_ParseCommand(&r, text.c_str(), group);
    bool accepted = false;
    parsetbl_FindResultLine(text.c_str(), &accepted);
    mdparse_VersionSupported(text.c_str());
    return 0;
}
