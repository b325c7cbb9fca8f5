// Any reply record, as the modem-processor page and its counters dialog read it: every
// text stays inside the record it reads and within the box it goes to.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "applet/ModemReports.h"

namespace mr = modemreports;

namespace {
void Check(bool good)
{
    if (!good)
        __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto reply = std::make_unique<BackdoorRequest>();
    std::memset(reply.get(), 0, sizeof *reply);
    std::memcpy(reply.get(), data, size < sizeof *reply ? size : sizeof *reply);

    for (int k = 0; k < 2; k++) Check(mr::CsmCountersText(*reply, k).size() <= 4096);
    if (auto dump = mr::CsmRegisterDump(*reply))
        Check(dump->size() <= 4096);
    if (auto value = mr::CsmRegisterValue(*reply))
        Check(value->size() <= 8);
    mr::CommandAnswer answer = mr::CsmCommandAnswer(*reply);
    Check(answer.Words.size() <= 1024);
    Check(mr::CsmAbortAnswer(*reply).Words.size() <= 1024);
    if (auto state = mr::CsmStateText(*reply))
        Check(state->size() <= 4096);
    for (uint32_t pump : {0u, 11u, reply->Arg[4], reply->Arg[3] - 1})
        if (auto state = mr::PumpStateText(*reply, pump))
            Check(state->size() <= 100);
    if (auto counters = mr::FrameCountersText(*reply))
        Check(counters->size() <= 4096);
    if (auto at = mr::AtResponseText(*reply))
        Check(at->size() <= mr::kAtResponseShown);
    return 0;
}
