// The status snapshot as the driver answers it, spread over a line interface, 31
// channels and the modems of five modules: any reply is read within its words.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "QLCommon/Adapter.h"

namespace {

struct Tree {
    CRockyLineInterface li{nullptr, nullptr, 2};
    std::vector<std::unique_ptr<CRockyChannel>> channels;
    std::vector<std::unique_ptr<CRockyModem>> modems;
    uint32_t wordA[5] = {}, wordB[5] = {};
    CModemShape shape;
    CSnapshotTargets targets;
    Tree()
    {
        // Modules of the shipped boards' shapes: two processors of three, and of twelve, pumps.
        for (uint32_t m = 0; m < 5; m++) shape.Modules.push_back(CModuleShape{0, {m < 3 ? 3u : 12u, m < 3 ? 3u : 12u}});
        for (uint32_t n = 1; n <= 31; n++) channels.push_back(std::make_unique<CRockyChannel>(nullptr, n, n == 16));
        for (uint32_t n = 1; n <= shape.ModemCount(); n++) {
            ModemAddress a{};
            shape.AddressOf(n, &a);
            modems.push_back(std::make_unique<CRockyModem>(nullptr, n, nullptr, a));
        }
        targets.LineInterface = &li;
        for (auto& c : channels) targets.Channels.push_back(c.get());
        for (auto& m : modems) targets.Modems.push_back(m.get());
        targets.Shape = &shape;
        targets.Modules = {0, 1, 2, 3, 4};
        targets.ModuleWordA = wordA;
        targets.ModuleWordB = wordB;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Tree* tree = new Tree;
    ParseStatusSnapshot(CReplyReader(data, size), tree->targets);
    for (auto& c : tree->channels) (void)c->GetViewText();
    for (auto& m : tree->modems) (void)m->GetViewText();
    return 0;
}
