// A management record as the framer pages read a reply: every report and decoded value
// of the framer test and register dump pages, built from whatever the record holds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "applet/FramerReports.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto reply = std::make_unique<BackdoorRequest>();
    std::memset(reply.get(), 0, sizeof *reply);
    std::memcpy(reply.get(), data, size < sizeof *reply ? size : sizeof *reply);
    uint32_t sums[framer::kRunningSums] = {};
    size_t total = 0;
    total += framer::ReceiveReport(*reply, sums).size();
    total += framer::TransmitReport(*reply).size();
    total += framer::StatusReport(*reply).size();
    total += framer::OthersReport(*reply).size();
    total += framer::StatisticsReport(*reply).size();
    total += framer::DumpReport(*reply, "Fri Dec 11 02:00:00 2026\n").size();
    total += framer::DumpFileName(*reply).size();
    total += framer::RbsReport(*reply).size();
    total += framer::DeviceLabel(*reply).size();
    total += static_cast<size_t>(framer::PulseTemplateIndex(*reply));
    total += static_cast<size_t>(framer::FramingOfMode(reply->Arg[1]) + 1);
    return total == 0 ? -1 : 0;
}
