// Any reply record, read by every dump builder of the adapter information page and by
// the tree built from the counts the record gives.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "applet/AdapterInfoDumps.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto reply = std::make_unique<BackdoorRequest>();
    std::memset(reply.get(), 0, sizeof *reply);
    std::memcpy(reply.get(), data, size < sizeof *reply ? size : sizeof *reply);
    const BackdoorRequest* r = reply.get();
    // The indices the page would send are in the record's arguments.
    uint32_t a = r->Arg[3] & 0xFF, b = r->Arg[4] & 0xFF, c = r->Arg[5] & 0xFF;

    const ModuleTypeRow* modules[kModuleSockets];
    for (uint32_t k = 0; k < kModuleSockets; k++)
        modules[k] = &applet::ModuleTypeTable[(r->Arg[4] >> k) % kModuleTypes];
    (void)infodump::TreePlan(infodump::AdapterCounts(r), &applet::BoardTypeTable[r->Arg[3] % kBoardTypes], modules);
    (void)infodump::Adapter(r);
    (void)infodump::LineIntf(r, a);
    (void)infodump::DataIntf(r, a);
    (void)infodump::Module(r, a);
    (void)infodump::CsmDevice(r, a, b);
    (void)infodump::PumpDevice(r, a, b, c);
    (void)infodump::SystemBus(r, a);
    (void)infodump::Qstack(r, a, std::nullopt);
    (void)infodump::Qstack(r, a, r->Arg[2]);
    CDriverFacts facts;
    facts.LineDevices = r->Arg[0];
    facts.KeptLines = r->Arg[1];
    facts.AppletVersion = uint64_t(r->Arg[2]) << 32 | r->Arg[3];
    (void)infodump::Driver(facts, {r, nullptr, r, r});
    return 0;
}
