// Port status replies as the Monitor page reads them: any record, any socket count, read
// twice into one grid state, never leaves the record and names only real lamps and images.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "applet/StatusGrid.h"

namespace {

bool KnownImage(unsigned image)
{
    switch (image) {
    case grid::kImageNotPresent:
    case grid::kImageIdle:
    case grid::kImageEstablishing:
    case grid::kImageConnected:
    case grid::kImageDropping:
    case grid::kImageOutOfService:
    case grid::kImageDChannel: return true;
    default: return false;
    }
}

}  // namespace

// Byte 0: sockets of the line (0 to 10); byte 1: bit 0 a refused status, bit 1 a line change
// between the two reads, bit 2 the segment's offset and length from the next 8 bytes; the
// rest is the data area.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    static auto* record = new BackdoorRequest;
    std::memset(record, 0, sizeof *record);
    uint32_t sockets = data[0] % 11;
    uint8_t flags = data[1];
    data += 2;
    size -= 2;
    record->Status = (flags & 1) != 0 ? 0xF0000003 : 0;
    if ((flags & 4) != 0 && size >= 8) {
        std::memcpy(&record->Segment[0].Offset, data, 4);
        std::memcpy(&record->Segment[0].Length, data + 4, 4);
        data += 8;
        size -= 8;
    } else {
        record->Segment[0].Offset = kBackdoorHeaderSize;
        record->Segment[0].Length = static_cast<uint32_t>(size < kBackdoorDataSize ? size : kBackdoorDataSize);
    }
    std::memcpy(record->Data, data, size < kBackdoorDataSize ? size : kBackdoorDataSize);

    grid::GridState state;
    state.Reset(sockets);
    for (int pass = 0; pass < 2; pass++) {
        grid::GridRefresh r = grid::ReadPortStatus(*record, state);
        for (const grid::GridImage& i : r.Images)
            if (i.Control == 0 || !KnownImage(i.Image))
                std::abort();
        if (r.Outcome != grid::GridOutcome::Drawn && !r.Images.empty())
            std::abort();
        if ((flags & 2) != 0)
            state.Reset(sockets);
    }
    return 0;
}
