// Robbed signalling bits from the far end of a trunk: the four-line board, brought up
// once with lines 0, 1 and 3 robbed-bit on T1 in the three start protocols (immediate
// with calls offered as analog, wink and E&M with calls offered as digital), takes A,
// B, C, D bits of any value on any channel of one of them, held for any time, and
// losses of signal. Whatever the far end does, the line's stack keeps within its
// channels and state, and the platform sees no misuse. Every input ends with the far
// end on-hook on every channel and the line up, given time to clear.
//
// Input: octet 0: the line (mod 3: line 0 immediate, 1 wink, 3 E&M). Then records:
//   op < 0xF0: channel op mod 24 gets bits b (low nibble), then m ms of clock pass
//   op 0xF0..0xF7: the line loses its signal;  0xF8..0xFF: it comes back
#include <fstream>
#include <sstream>

#include "driver/signalling/rbs/RbsStack.h"
#include "fuzz/fuzz_board.h"

namespace {

constexpr const char* kTarget = "fuzz_robbed_bit";
constexpr unsigned kLines[3] = {0, 1, 3};
fuzz::Board* g_board;

std::string FourLine()
{
    std::ifstream in(std::string(VORNET_SOURCE_DIR) + "/configs/four-line.reg");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

fuzz::Board* BringUp()
{
    using K = rig::Rig::FarKind;
    auto* b = new fuzz::Board(kTarget, FourLine(), [](fuzz::Board& b) {
        b.set_dword("SignallingProtocol_0", 0);
        b.set_dword("RBSProtocol_0", RBS_SETTING_IMMEDIATE);
        b.set_dword("RBSCallType_0", 0);
        b.set_dword("SignallingProtocol_1", 0);
        b.set_dword("RBSProtocol_1", RBS_SETTING_WINK);
        b.set_dword("RBSCallType_1", 1);
        b.set_dword("RBSProtocol_3", RBS_SETTING_EAR_MOUTH);
    }, plat::ms(3000), {K::Leased, K::Leased, K::Default, K::Leased});
    for (unsigned line : kLines)
        if (b->adapter->SgnlStackSize[line] != sizeof(RBS_STACK)) fuzz::Fail(kTarget, "a line that is not robbed-bit");
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    if (g_board == nullptr) g_board = BringUp();
    fuzz::Board& b = *g_board;
    sim::Line& line = b.card->line(kLines[data[0] % 3]);
    fuzz::Input in(data + 1, size - 1);
    while (in.more()) {
        uint8_t op = in.u8();
        if (op >= 0xF0) {
            if (op < 0xF8) line.take_down();
            else line.bring_up();
            b.rig.host.run_for(plat::ms(5));
        } else {
            line.rx_robbed[op % 24] = in.u8() & 0x0F;
            b.rig.host.run_for(plat::ms(in.u8()));
        }
        b.check(kTarget);
    }
    line.rx_robbed.fill(0);
    if (!(line.condition() == sim::LineCondition{})) line.bring_up();
    b.rig.host.run_for(plat::ms(500));
    b.check(kTarget);
    return 0;
}
