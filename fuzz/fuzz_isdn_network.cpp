// Frames from the adapter into the simulated ISDN network side: the network on a line
// of its own, its link established first, then frames of any content, stretches of
// virtual time and the scripting calls tests make (offer, clear, restart, enquiry,
// busy, line down and up). Whatever comes in, the network side never reads or writes
// outside its buffers, and every frame it sends is a well-formed LAPD frame whose
// I-frames carry messages its own decoder takes.
//
// Input: octet 0: bit 7 E1, the rest mod 5 the switch variant - 1. Then records:
//   0x00..0xBF  n  n octets   a frame of n octets from the adapter
//   0xC0..0xDF                (op & 0x1F) x 50 ms of virtual time
//   0xE0..0xFF  a             scripting step (op & 0xF) with argument a
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/host/host.h"
#include "sim/far/isdn_network.h"

namespace {

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz_isdn_network: %s\n", what);
    std::abort();
}

void CheckSent(const std::vector<uint8_t>& frame)
{
    auto f = sim::lapd::parse(frame);
    if (!f) Fail("the network sent a frame that is not LAPD");
    if (f->kind == sim::lapd::Frame::Kind::I && f->sapi == sim::lapd::kSapiCallControl &&
        !sim::q931::decode(f->info).ok())
        Fail("the network sent a message that does not decode");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    plat::Host host;
    sim::Line line(0);
    sim::IsdnNetworkConfig config;
    config.variant = sim::SwitchVariant((data[0] & 0x7F) % 5 + 1);
    config.e1 = (data[0] & 0x80) != 0;
    config.turnaround = plat::ms(1);
    sim::IsdnNetworkSide net(host, line, config);
    const uint32_t mask = net.d_channel_mask();
    line.on_frame_to_adapter([&](uint32_t channels, const std::vector<uint8_t>& f) {
        if (channels != mask) Fail("a frame off the D channel");
        CheckSent(f);
    });
    auto from_adapter = [&](std::vector<uint8_t> f) { line.frame_from_adapter(mask, f); };

    net.establish();
    host.run_for(plat::ms(2));
    from_adapter({0x00, 0x01, 0x73});  // UA, F = 1
    host.run_for(plat::ms(2));

    std::vector<sim::CallKey> keys;
    size_t i = 1;
    while (i < size) {
        uint8_t op = data[i++];
        if (op < 0xC0) {
            size_t n = i < size ? data[i++] : 0;
            if (n > size - i) n = size - i;
            from_adapter(std::vector<uint8_t>(data + i, data + i + n));
            i += n;
            host.run_for(plat::ms(2));
            continue;
        }
        if (op < 0xE0) {
            host.run_for(plat::ms(50) * (op & 0x1F));
            continue;
        }
        uint8_t a = i < size ? data[i++] : 0;
        sim::CallKey key = keys.empty() ? sim::CallKey{a, bool(a & 1)} : keys[a % keys.size()];
        switch (op & 0xF) {
        case 0:
            if (auto k = net.offer_call(a % 32, "5551234", "2125550000", sim::q931::Bearer::speech(config.e1)))
                keys.push_back(*k);
            break;
        case 1: net.clear_call(key, a & 0x7F); break;
        case 2: net.proceed(key); break;
        case 3: net.alert(key); break;
        case 4: net.connect(key); break;
        case 5: net.status_enquiry(key); break;
        case 6: net.restart(a % 32); break;
        case 7: net.restart_all(); break;
        case 8: net.set_receiver_busy(a & 1); break;
        case 9: net.establish(); break;
        case 10: net.release(); break;
        case 11: line.take_down(); break;
        case 12: line.bring_up(); break;
        case 13: {
            sim::AnswerPolicy p;
            p.action = sim::AnswerPolicy::Action(a % 5);
            net.set_answer_policy(p);
            break;
        }
        default: net.clear_channel(a % 32, a & 0x7F); break;
        }
        for (const sim::CallInfo& c : net.calls())
            if (!net.is_bearer_channel(c.channel)) Fail("a call on a channel that carries none");
        host.run_for(plat::ms(2));
    }
    host.run_for(plat::ms(5000));
    return 0;
}
