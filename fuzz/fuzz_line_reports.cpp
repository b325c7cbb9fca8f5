// The reports of the layer-3 test, link and HDLC group pages over any reply record: the
// first bytes fill the record (the rest of it stays 0), the last four choose the line,
// positions and table the pages would pass. Every report stays inside the record.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "applet/LineReports.h"

using namespace linereports;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto reply = std::make_unique<BackdoorRequest>();
    std::memset(reply.get(), 0, sizeof *reply);
    uint8_t choice[4] = {};
    if (size >= 4) {
        std::memcpy(choice, data + size - 4, 4);
        size -= 4;
    }
    std::memcpy(reply.get(), data, std::min(size, sizeof *reply));
    int line = choice[0] % 6, tx = choice[1], rx = choice[2], table = choice[3] % 12 - 1;
    (void)CallViewText(*reply, static_cast<uint32_t>(line));
    (void)L2L3StatisticsText(*reply, table);
    (void)TraceBlockCount(*reply);
    (void)TraceBlockText(*reply);
    (void)FrameSentText(*reply, "sent");
    (void)TestModeText(*reply, line & 1);
    (void)LinkDumpText(*reply);
    (void)LinkStatisticsText(*reply);
    (void)RingDescriptorReport(*reply, tx - 1, rx - 1);
    (void)RingDataReport(*reply);
    std::vector<uint8_t> copy = SharedMemoryCopy(*reply);
    (void)SharedMemoryTableText(copy, line - 1, table);
    (void)DescriptorTexts(copy, line - 1);
    (void)AddressTexts(*reply);
    (void)RegisterWindowText(*reply);
    std::string value;
    (void)RegisterReadText(*reply, &value);
    (void)GroupStatItem(*reply, tx);
    return 0;
}
