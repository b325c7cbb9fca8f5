// The table of record texts. Any thread may store or read; one lock guards the table.
#include "QLCommon/TextField.h"

#include <map>
#include <mutex>

namespace {

struct Texts {
    std::mutex lock;
    std::map<uint32_t, std::string> byHandle;
    uint32_t next = 1;
};

Texts& texts()
{
    static Texts* t = new Texts;  // records may be freed while the process ends
    return *t;
}

}  // namespace

void txtf_Set(uint32_t* field, const std::string& text)
{
    if (field == nullptr) return;
    Texts& t = texts();
    std::lock_guard<std::mutex> g(t.lock);
    t.byHandle.erase(*field);
    uint32_t h;
    do {
        h = t.next++;
        if (t.next == 0xFFFFFFFFu) t.next = 1;
    } while (h == 0 || t.byHandle.count(h) != 0);
    t.byHandle[h] = text;
    *field = h;
}

std::optional<std::string> txtf_Get(uint32_t field)
{
    Texts& t = texts();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.byHandle.find(field);
    if (it == t.byHandle.end()) return std::nullopt;
    return it->second;
}

void txtf_Free(uint32_t* field)
{
    if (field == nullptr) return;
    Texts& t = texts();
    std::lock_guard<std::mutex> g(t.lock);
    t.byHandle.erase(*field);
    *field = 0;
}
