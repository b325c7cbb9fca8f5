// Frames from the line on the B channels into the HDLC controller and the driver's
// receive road: the default board at full load (a data call up on every B channel,
// frames flowing both ways), brought up once, takes frames of any length and content
// on any channel, or any set of channels, of any line, between the calls' own frames.
// Whatever arrives, the driver reads nothing beyond a received frame, never hands NDIS
// a frame the controller received with an error or cut short, and the platform sees
// no misuse.
//
// Input: records: op: bits 0-1 the line (mod the board's lines), bit 7: a channel set
// of 4 octets follows (else the next octet's channel mod 32); then how the controller
// receives it (mod 4: whole, bad FCS, aborted, over-run), length (2 octets, at most
// 8,192: longer than any receive buffer) and the frame's octets; bits 2-6: clock after
// it, in ms.
#include <algorithm>
#include <bit>
#include <memory>
#include <set>

#include "fuzz/fuzz_board.h"
#include "sim/board/hdlc.h"
#include "tools/harness/traffic.h"

namespace {

constexpr const char* kTarget = "fuzz_hdlc_rx";
fuzz::Board* g_board;
rig::Traffic* g_traffic;
// Frames this target sent: whole, with a receive error, and longer than it allows.
std::set<std::vector<uint8_t>> g_whole, g_faulty;
std::vector<std::vector<uint8_t>> g_long;
constexpr size_t kLong = 2048;

void CheckReceived(const std::vector<uint8_t>& d)
{
    if (g_faulty.count(d) != 0 && g_whole.count(d) == 0) fuzz::Fail(kTarget, "a frame received with an error reached NDIS");
    if (d.size() < 64 || g_whole.count(d) != 0) return;
    for (const auto& l : g_long)
        if (d.size() < l.size() && std::equal(d.begin(), d.end(), l.begin()))
            fuzz::Fail(kTarget, "the cut start of a frame too long reached NDIS: " + std::to_string(d.size()) + " of " +
                                    std::to_string(l.size()) + " octets");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (g_board == nullptr) {
        g_board = new fuzz::Board(kTarget, rig::kDefaultConfig, nullptr, plat::ms(3000));
        rig::TrafficPlan plan;
        plan.full_load = true;
        plan.hold = plat::ms(3'600'000);
        plan.frame_interval = plat::ms(50);
        g_traffic = new rig::Traffic(g_board->rig.host, g_board->na, g_board->adapter, *g_board->card, g_board->far, plan);
        rig::run_until(g_board->rig.host, [] { return g_traffic->connected_calls() > 0; }, plat::ms(20000));
        if (g_traffic->connected_calls() == 0) fuzz::Fail(kTarget, "no call connected");
        auto& ndis = g_board->rig.host.ndis();
        ndis.on_receive = [traffic = ndis.on_receive](plat::ndis::Adapter& a, const plat::ndis::Receive& r) {
            CheckReceived(r.data);
            if (traffic) traffic(a, r);
        };
    }
    fuzz::Board& b = *g_board;
    fuzz::Input in(data, size);
    while (in.more()) {
        uint8_t op = in.u8();
        sim::Line& line = b.card->line((op & 3) % b.card->line_count());
        uint32_t channels = (op & 0x80) ? in.u32() : 1u << (in.u8() % 32);
        auto fault = sim::HdlcController::RxFault(in.u8() % 4);
        std::vector<uint8_t> frame = in.bytes(in.u16() % 8193);
        if (g_whole.size() + g_faulty.size() + g_long.size() > 4096) {
            g_whole.clear();
            g_faulty.clear();
            g_long.clear();
        }
        if (fault != sim::HdlcController::RxFault::None) {
            // The controller gives the error to the next frame it receives on a channel
            // it serves: sent on one channel, that is this one (or one before it took an
            // error still waiting). On several, the other copies arrive whole.
            b.card->hdlc().knobs.rx_faults.push_back(fault);
            if (std::popcount(channels) == 1) g_faulty.insert(frame);
            else g_whole.insert(frame);
        } else if (frame.size() > kLong) {
            g_long.push_back(frame);
        } else {
            g_whole.insert(frame);
        }
        line.frame_to_adapter(channels, frame);
        b.rig.host.run_for(plat::ms((op >> 2) & 0x1F));
        b.check(kTarget);
    }
    b.rig.host.run_for(plat::ms(5));
    b.check(kTarget);
    return 0;
}
