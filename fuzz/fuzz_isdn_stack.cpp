// Frames from the line into the adapter's ISDN stack: a stack instance driven directly
// through its seven entries, with a fake RSS_INTERFACE_TABLE (as its unit tests have
// it), layer 1 up and the link established first. The input is a line configuration
// octet, then records: a frame (PutFrame), a stretch of 20 ms ticks, or a step of call
// control (answer, place, clear a call; layer 1 down and up). Whatever comes in, the
// stack never reads or writes outside its instance, its queues stay within bounds, and
// every frame it sends is a well-formed LAPD frame whose I-frames carry Q.931 messages
// our own decoder takes.
//
// Input: octet 0: bit 7 E1, the rest mod 5 the switch variant - 1. Then records:
//   0x00..0xBF  n  n octets   a frame of n octets (n at most what is left)
//   0xC0..0xDF                (op & 0x1F) + 1 ticks of 20 ms
//   0xE0..0xFF  a             call control step (op & 7) on channel a
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/signalling/isdn/IsdnStack.h"
#include "sim/far/q931.h"

namespace {

alignas(16) unsigned char g_links[40][64];
Link* FakeLink(unsigned i) { return (Link*)g_links[i]; }
Adapter* const kAdapter = (Adapter*)g_links[39];
ISDN_STACK* g_stack;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz_isdn_stack: %s\n", what);
    std::abort();
}

void FOutOfService(Adapter*, ULONG, ULONG) {}
BOOLEAN FTxFull(Link*) { return FALSE; }
BOOLEAN FSend(Link* l, PVOID, PUCHAR f, UCHAR n)
{
    if (l != FakeLink(31)) Fail("frame on a Link other than the D channel's");
    if (f[0] != n || n < 3) Fail("frame length");
    std::vector<uint8_t> frame(f + 1, f + 1 + n);
    auto parsed = sim::lapd::parse(frame);
    if (!parsed) Fail("the stack sent a frame that is not LAPD");
    if (parsed->kind == sim::lapd::Frame::Kind::I) {
        if (parsed->cr) Fail("an I-frame from the user with the C/R bit of a response");
        if (!sim::q931::decode(parsed->info).ok()) Fail("the stack sent a message that does not decode");
    }
    return TRUE;
}
void FGoConnected(Link*) {}
Link* FLink31(Adapter*, ULONG) { return FakeLink(31); }
Link* FAssign(Adapter*, PVOID call, ULONG, PUCHAR, ULONG)
{
    ISDN_CALL* c = (ISDN_CALL*)call;
    return FakeLink(c->Channel % 31);
}
void FSetB(Link*, PVOID) {}
void FClearB(Link*) {}
void FConnect(Link*) {}
void FDisconnect(Link*) {}
void FIncoming(Adapter*, Link*, ULONG) {}
void FDiscFlag(Link*) {}
void FLed(Adapter*, ULONG, ULONG, ULONG) {}
void FPrint(Link*) {}

void CheckBounds(const ISDN_STACK* s)
{
    if (s->EventCount > ISDN_EVENT_QUEUE_SIZE || s->EventRead >= ISDN_EVENT_QUEUE_SIZE ||
        s->EventWrite >= ISDN_EVENT_QUEUE_SIZE)
        Fail("event queue indexes");
    if (s->RxRead >= ISDN_RX_RING_SLOTS || s->RxWrite >= ISDN_RX_RING_SLOTS) Fail("receive ring indexes");
    if (s->L2.TxHead >= L2_TX_SLOTS || s->L2.TxWrite >= L2_TX_SLOTS || s->L2.RxIndex >= L2_RX_SLOTS)
        Fail("layer-2 store indexes");
    if (s->L2.VS >= L2_MODULUS || s->L2.VA >= L2_MODULUS || s->L2.VR >= L2_MODULUS) Fail("sequence variables");
    if (s->EventLogIndex >= ISDN_EVENT_LOG_ENTRIES) Fail("event log index");
    for (const ISDN_CALL& c : s->Calls)
        if (c.Stack != s) Fail("call record lost its instance");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    SGNL_PROTOCOL_OPS ops{};
    IsdnStackGetOps(&ops);
    std::vector<unsigned char> memory(sizeof(ISDN_STACK) + 64, 0);
    ISDN_STACK* s = (ISDN_STACK*)memory.data();
    g_stack = s;
    s->Upcalls = RSS_INTERFACE_TABLE{FOutOfService, FTxFull, FSend, FGoConnected, FLink31, FAssign, FSetB,
                                     FClearB, FConnect, FDisconnect, FIncoming, FDiscFlag, FLed, FPrint};
    auto ctl = [&](ULONG kind, ULONG id, ULONG arg) { return ops.Control(kind, id, s, arg); };
    auto tick = [&](unsigned n) {
        for (unsigned k = 0; k < n; k++) ctl(CTL_KIND_ACTION, CTL_TICK, ISDN_TICK_MS);
        CheckBounds(s);
    };
    ops.SetAdapter(s, kAdapter);
    ctl(CTL_KIND_SET, CTL_LINE_INDEX, 0);
    ctl(CTL_KIND_SET, CTL_E1_FLAG, (data[0] & 0x80) ? 1 : 0);
    ctl(CTL_KIND_SET, CTL_SWITCH_VARIANT, (data[0] & 0x7F) % 5 + 1);
    ctl(CTL_KIND_SET, CTL_L2_WINDOW, 7);
    ctl(CTL_KIND_ACTION, CTL_INIT_TIMER_POOL, 0);
    ctl(CTL_KIND_ACTION, CTL_RESET, 0);
    ctl(CTL_KIND_ACTION, CTL_START_TICK, 0);
    ops.Layer1Indication(kAdapter, s, 0, LAYER1_ACTIVATED);
    tick(6);
    UCHAR sabme[] = {0x02, 0x01, 0x7F};
    ops.PutFrame(s, sabme, sizeof sabme);
    tick(3);

    size_t i = 1;
    while (i < size) {
        uint8_t op = data[i++];
        if (op < 0xC0) {
            size_t n = i < size ? data[i++] : 0;
            if (n > size - i) n = size - i;
            std::vector<UCHAR> frame(data + i, data + i + n);  // its own buffer: overreads show
            i += n;
            ops.PutFrame(s, frame.empty() ? NULL : frame.data(), ULONG(frame.size()));
            tick(2);
        } else if (op < 0xE0) {
            tick((op & 0x1F) + 1u);
        } else {
            uint8_t a = i < size ? data[i++] : 0;
            ISDN_CALL* c = &s->Calls[a % ISDN_NUM_SLOTS];
            UCHAR number[] = {7, '5', '5', '5', '1', '2', '3', '4'};
            switch (op & 7) {
            case 0: ops.CallRequest(REQUEST_SETUP_RESPONSE, c, NULL, 0, 0); break;
            case 1: ops.CallRequest(REQUEST_DISCONNECT, c, NULL, a, 0); break;
            case 2: {
                PVOID call = ops.AllocCall(s, FakeLink(a % 30), a % 30);
                if (call != NULL) ops.CallRequest(REQUEST_SETUP, call, number, UCHAR(a % 3), 0);
                break;
            }
            case 3: ops.CallRequest(REQUEST_RELEASE, c, NULL, a, 0); break;
            case 4: ops.Layer1Indication(kAdapter, s, 0, LAYER1_DEACTIVATED); break;
            case 5: ops.Layer1Indication(kAdapter, s, 0, LAYER1_ACTIVATED); break;
            case 6: ops.ManagementRequest(MGMT_SEND_RESTART, s, 0, a % 32, a % 4, 0, 0, 0, 0, 0, 0); break;
            default: ctl(CTL_KIND_GET, CTL_STACK_COUNTERS + a % 0x28u, a); break;  // any question
            }
            tick(1);
        }
    }
    tick(10);
    return 0;
}
