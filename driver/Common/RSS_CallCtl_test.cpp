// Call control against a scripted line stack on the simulated board: the routing of
// offered calls by bearer, owner and line, the numbers read from the call object, the
// dial-string modifiers, the steps of RSS_Disconnect by mask, the connect counters, the
// out-of-service path, placing calls, the pump callbacks and the loop-back message.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_CallCtl_ext.h"
#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "tools/harness/rig.h"

namespace {

// ---- a scripted stack on group 0: call objects inside its own instance ----

struct FakeCall {
    void* Stack;
    ULONG Channel;
    UCHAR Called[64];   // length byte, digits
    UCHAR Calling[64];
};
struct FakeInstance {
    FakeCall Calls[MAX_LINKS_PER_GROUP];
};

struct Request {
    UCHAR primitive;
    PVOID call;
    std::string number;
    UCHAR value;
    ULONG flag;
};

FakeInstance* g_inst;
std::vector<Request> g_requests;
BOOLEAN g_alloc_fails;
Link* g_refuse_setup_of;  // the stack refuses this Link's SETUP and lets go of the call
ULONG g_digits_offset_override;  // 0: the true offset

ULONG FakeControl(ULONG Kind, ULONG Id, PVOID Object, ULONG)
{
    if (Kind == CTL_KIND_CONST) return Id == CTL_PER_CHANNEL_HANDLING ? 1 : CONTROL_UNKNOWN;
    if (Kind != CTL_KIND_CALL || Object == NULL) return CONTROL_UNKNOWN;
    FakeCall* c = (FakeCall*)Object;
    switch (Id) {
    case CTL_CALL_CHANNEL: return c->Channel;
    case CTL_CALLED_NUMBER_LENGTH: return c->Called[0];
    case CTL_CALLED_NUMBER: return offsetof(FakeCall, Called) + 1;
    case CTL_CALLING_NUMBER_LENGTH: return c->Calling[0];
    case CTL_CALLING_NUMBER: return g_digits_offset_override ? g_digits_offset_override : offsetof(FakeCall, Calling) + 1;
    default: return CONTROL_UNKNOWN;
    }
}

void FakeCallRequest(UCHAR Primitive, PVOID Call, PUCHAR Number, UCHAR Value, ULONG Flag)
{
    std::string n = Number ? std::string((const char*)Number + 1, Number[0]) : "";
    g_requests.push_back({Primitive, Call, n, Value, Flag});
    if (Primitive == REQUEST_SETUP && g_refuse_setup_of != NULL) RSS_ClearLinkBChannel(g_refuse_setup_of);
}

PVOID FakeAllocCall(PVOID, Link*, ULONG Index)
{
    if (g_alloc_fails) return NULL;
    return &g_inst->Calls[Index + 1];
}

void SetNumber(UCHAR* field, const std::string& digits)
{
    field[0] = UCHAR(digits.size());
    std::memcpy(field + 1, digits.data(), digits.size());
}

class CallCtl : public ::testing::Test {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    FakeInstance inst{};
    PVOID saved_stack = nullptr;
    ULONG saved_size = 0;
    SGNL_PROTOCOL_OPS saved_ops{};
    std::deque<NDIS_WAN_PACKET> packets;
    std::deque<std::vector<uint8_t>> payloads;

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        r.add_board_for(1, 4);
        ASSERT_EQ(r.load_driver(), 0);
        a = rig::Rig::driver_adapter(na = r.initialize(1));
        ASSERT_NE(a, nullptr);
        r.host.run_for(plat::ms(500));
        ASSERT_EQ(a->BringUpCompleted, 1);
        g_inst = &inst;
        g_requests.clear();
        g_alloc_fails = FALSE;
        g_refuse_setup_of = NULL;
        g_digits_offset_override = 0;
        for (ULONG c = 0; c < MAX_LINKS_PER_GROUP; c++) {
            inst.Calls[c].Stack = &inst;
            inst.Calls[c].Channel = c;
        }
        locked([&] {
            saved_stack = a->ThisSgnlStack[0];
            saved_size = a->SgnlStackSize[0];
            saved_ops = a->SgnlProtocolOps[0];
            a->ThisSgnlStack[0] = &inst;
            a->SgnlStackSize[0] = sizeof inst;
            a->SgnlProtocolOps[0].Control = FakeControl;
            a->SgnlProtocolOps[0].CallRequest = FakeCallRequest;
            a->SgnlProtocolOps[0].AllocCall = FakeAllocCall;
        });
    }
    void TearDown() override
    {
        if (a != nullptr)
            locked([&] {
                a->ThisSgnlStack[0] = saved_stack;
                a->SgnlStackSize[0] = saved_size;
                a->SgnlProtocolOps[0] = saved_ops;
            });
        if (na) r.halt(na);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
    void locked(const std::function<void()>& fn) { rig::with_adapter_lock(a, fn); }
    // Link `index` of group 0 with owner `owner` and the offered call of B channel `ch` bound.
    Link* offered(ULONG index, ULONG owner, ULONG ch)
    {
        Link* l = &a->NdisWanInfo[0][index];
        l->CurrentOwner = owner;
        l->ThisBChannel = &inst.Calls[ch];
        return l;
    }
    // A connected direct-path call: offered, answered by the driver, data path open.
    Link* connected(ULONG index, ULONG ch)
    {
        Link* l = nullptr;
        locked([&] {
            l = offered(index, OWNER_DRIVER, ch);
            IncomingCallIndHdlr(a, l, INFO_TRANSFER_CAPS_UNRESTRICTED_64K);
            ConnectHdlr(l);
        });
        r.host.run_for(plat::ms(50));
        g_requests.clear();
        return l;
    }
    // The receive map byte of a line time slot of group 0.
    UCHAR slot_byte(ULONG slot) const
    {
        ULONG w = *(const ULONG*)(a->SharedMem.GroupAreas.Virtual + BT847X_AREA_RX_TSMAP + 4 * (slot / 4));
        return UCHAR(w >> (8 * (slot % 4)));
    }
    NDIS_STATUS send(Link* l, std::vector<uint8_t> f)
    {
        payloads.push_back(std::move(f));
        packets.emplace_back();
        NDIS_WAN_PACKET& p = packets.back();
        std::memset(&p, 0, sizeof p);
        p.CurrentBuffer = payloads.back().data();
        p.CurrentLength = ULONG(payloads.back().size());
        return r.host.ndis().send(na, l->LinkHandle, &p);
    }
};

std::string Num(const CHAR* field) { return std::string(field + 1, size_t((UCHAR)field[0])); }

// ---- routing of offered calls ----

TEST_F(CallCtl, OfferedCallsAreRoutedByBearerLineAndOwner)
{
    // Left: neither rung nor refused; the call stays with the stack until it is cleared.
    enum Outcome { Rung, Answered, Busy, Left };
    struct Case {
        const char* what;
        ULONG bearer, through_csm, owner, protocol;
        ULONG speed;
        Outcome outcome;
        ULONG channel = 4;  // what the stack reports as the call's channel
    };
    const Case cases[] = {
        {"64K data to TAPI rings", 1, 0, OWNER_TELEPHONY_SUBSYSTEM, 0, 64000, Rung},
        {"56K data", 2, 0, OWNER_TELEPHONY_SUBSYSTEM, 0, 56000, Rung},
        {"3.1 kHz audio is direct without modems", 3, 0, OWNER_TELEPHONY_SUBSYSTEM, 0, 64000, Rung},
        {"3.1 kHz audio through modems: no pump", 3, 1, OWNER_TELEPHONY_SUBSYSTEM, 0, 64000, Busy},
        {"speech needs a pump", 0, 0, OWNER_TELEPHONY_SUBSYSTEM, 0, 64000, Busy},
        {"data through modems: no pump", 1, 1, OWNER_TELEPHONY_SUBSYSTEM, 0, 64000, Busy},
        {"driver answers 64K with tones", 4, 0, OWNER_DRIVER, 0, 64000, Answered},
        {"driver answers video", 5, 0, OWNER_DRIVER, 3, 64000, Answered},
        {"nobody owns the Link", 1, 0, OWNER_NONE, 0, 64000, Left},
        {"the D channel's owner takes no calls", 1, 0, OWNER_SIGNALLING_STACK, 0, 64000, Left},
        {"serial port without its pump", 1, 0, OWNER_VOVIZ4EZ, 0, 64000, Busy},
        {"unknown bearer", 6, 0, OWNER_TELEPHONY_SUBSYSTEM, 0, 0, Left},
        {"huge bearer", 0xFFFFFFFF, 0, OWNER_DRIVER, 0, 0, Left},
        {"bad channel protocol", 1, 0, OWNER_DRIVER, 4, 64000, Left},
        {"speech on no channel the stack names", 0, 0, OWNER_TELEPHONY_SUBSYSTEM, 0, 64000, Left, CONTROL_UNKNOWN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_requests.clear();
        Link* l = nullptr;
        CALL_STATS group = a->GroupCallStats[0];
        locked([&] {
            a->ISDNthroughCSM[0] = c.through_csm;
            a->DirectoryNumberChProtocol[0][3] = c.protocol;
            l = offered(3, c.owner, 4);
            inst.Calls[4].Channel = c.channel;
            l->DisconnectFlag = 1;  // left from an earlier call
            l->TransferTerminated = 1;
            l->LinkCallStats = CALL_STATS{};
            l->RingCount = 0;
            IncomingCallIndHdlr(a, l, c.bearer);
            inst.Calls[4].Channel = 4;
        });
        EXPECT_EQ(l->LinkSpeed, c.speed);
        EXPECT_EQ(l->TransferCaps, c.bearer);
        EXPECT_EQ(l->TransferTerminated, 0);
        EXPECT_EQ(l->LinkCallStats.IncomingInd, 1u);
        EXPECT_EQ(a->GroupCallStats[0].IncomingInd, group.IncomingInd + 1);
        switch (c.outcome) {
        case Rung:
            EXPECT_TRUE(g_requests.empty());
            EXPECT_EQ(l->RingCount, 1u);
            break;
        case Left:
            EXPECT_TRUE(g_requests.empty());
            EXPECT_EQ(l->RingCount, 0u);
            EXPECT_EQ(l->ThisPump, nullptr);
            break;
        case Answered:
            ASSERT_EQ(g_requests.size(), 1u);
            EXPECT_EQ(g_requests[0].primitive, REQUEST_SETUP_RESPONSE);
            EXPECT_EQ(l->LinkCallStats.AnswerRequests, 1u);
            break;
        case Busy:
            ASSERT_EQ(g_requests.size(), 1u);
            EXPECT_EQ(g_requests[0].primitive, REQUEST_DISCONNECT);
            EXPECT_EQ(g_requests[0].call, &inst.Calls[4]);
            EXPECT_EQ(g_requests[0].value, BUSY);
            EXPECT_EQ(g_requests[0].flag, 0u) << "a fresh call is cleared at the stack";
            break;
        }
    }
    locked([&] {
        a->ISDNthroughCSM[0] = 0;
        a->DirectoryNumberChProtocol[0][3] = 0;
    });
}

TEST_F(CallCtl, MissingAdapterLinkOrCallObjectSendsNothing)
{
    Link* l = &a->NdisWanInfo[0][3];
    locked([&] {
        l->CurrentOwner = OWNER_DRIVER;
        IncomingCallIndHdlr(NULL, l, 1);
        IncomingCallIndHdlr(a, NULL, 1);
        IncomingCallIndHdlr(a, l, 1);  // no call object
        // A call object that is not the stack's is never handed to it.
        FakeCall foreign{};
        foreign.Channel = 4;
        l->ThisBChannel = &foreign;
        IncomingCallIndHdlr(a, l, 1);
        RSS_Disconnect(l, TERMINATE_CALL);
        l->ThisBChannel = NULL;
    });
    EXPECT_TRUE(g_requests.empty());
    EXPECT_EQ(l->LinkCallStats.IncomingInd, 0u);
}

TEST_F(CallCtl, ComPortLinkHandsTheCallToItsPump)
{
    Pump pump{};
    int port = 0;
    Link* l = nullptr;
    locked([&] {
        l = offered(3, OWNER_VOVIZ4EZ_ALT, 4);
        l->ThisPump = &pump;
        l->ThisAsyncPort = &port;
        IncomingCallIndHdlr(a, l, INFO_TRANSFER_CAPS_UNRESTRICTED_64K);
        l->ThisPump = NULL;
        l->ThisAsyncPort = NULL;
    });
    EXPECT_EQ(l->LinkSpeed, 33600u);
    EXPECT_TRUE(g_requests.empty()) << "the port's modem learns of the call";
}

TEST_F(CallCtl, BackToBackReceiveTestKeepsItsChannelProtocol)
{
    Link* l = nullptr;
    locked([&] {
        l = offered(3, OWNER_TELEPHONY_SUBSYSTEM, 4);
        l->ChannelProtocol = CHANNEL_PROTOCOL_V110;
        l->InboundBackToBack = 1;
        IncomingCallIndHdlr(a, l, 1);
        l->InboundBackToBack = 0;
    });
    EXPECT_EQ(l->ChannelProtocol, (ULONG)CHANNEL_PROTOCOL_V110);
}

TEST_F(CallCtl, NumbersAreReadFromTheCallObjectAndChecked)
{
    struct Case {
        const char* what;
        std::string calling;
        ULONG offset;  // 0: the true one
        std::string expected;
    };
    const std::string longest(45, '7');
    const Case cases[] = {
        {"digits", "4165550199", 0, "4165550199"},
        {"star and hash dial", "*67#", 0, "*67#"},
        {"empty", "", 0, ""},
        {"longer than a Link holds keeps the last 39", longest.substr(0, 6) + std::string(39, '3'), 0, std::string(39, '3')},
        {"a byte that is no digit", "55A1", 0, ""},
        {"offset beyond the instance", "123", 0x7FFFFFF0, ""},
        {"offset at the end of the instance", "123", ULONG(sizeof(FakeInstance) - offsetof(FakeInstance, Calls[4]) - 1), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetNumber(inst.Calls[4].Calling, c.calling);
        SetNumber(inst.Calls[4].Called, "5551003");
        g_digits_offset_override = c.offset;
        Link* l = nullptr;
        locked([&] {
            l = offered(3, OWNER_TELEPHONY_SUBSYSTEM, 4);
            std::memset(l->CallingNumber, 'x', sizeof l->CallingNumber);
            IncomingCallIndHdlr(a, l, 1);
        });
        EXPECT_EQ(Num(l->CallingNumber), c.expected);
        EXPECT_EQ(Num(l->CalledNumber), "5551003");
    }
    g_digits_offset_override = 0;
    // The robbed-bit stack's numbers through the same reading.
    SGNL_PROTOCOL_OPS rbs;
    RbsStackGetOps(&rbs);
    EXPECT_NE(rbs.Control(CTL_KIND_CONST, CTL_INSTANCE_SIZE, NULL, 0), (ULONG)CONTROL_UNKNOWN);
}

// ---- dial-string modifiers ----

TEST_F(CallCtl, DialStringModifiersSetTheNumberAndTheCallType)
{
    struct Case {
        std::string dial;
        std::string digits;
        ULONG caps, speed, protocol;
    };
    // Preset before each case: 64K unrestricted, V.120; a string without letters keeps it.
    const Case cases[] = {
        {"I5551234", "5551234", 1, 64000, 0},
        {"5551234R", "5551234", 2, 56000, 0},
        {"555,1234", "5551234", 1, 64000, 2},
        {"IR5551234", "5551234", 2, 56000, 0},
        {"iR5551234m", "5551234", 0, 64000, 0},
        {"V5551234", "5551234", 0, 64000, 1},
        {"r 555 12", "55512", 2, 56000, 0},
        {std::string(45, '1'), "", 1, 64000, 2},  // never shortened: no number at all
        {std::string(40, '1'), "", 1, 64000, 2},
        {std::string(39, '1'), std::string(39, '1'), 1, 64000, 2},
        {std::string(39, '2') + "R", std::string(39, '2'), 1, 64000, 2},
        {std::string(39, '2') + "R3", "", 1, 64000, 2},
        {"", "", 1, 64000, 2},
        {"IRM-#*", "", 0, 64000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("dial \"" + c.dial + "\"");
        Link* l = &a->NdisWanInfo[0][6];
        ULONG n = 0;
        locked([&] {
            l->TransferCaps = 1;
            l->LinkSpeed = 64000;
            l->ChannelProtocol = CHANNEL_PROTOCOL_V120;
            n = DecodeCallModifiers(l, (const UCHAR*)c.dial.data(), ULONG(c.dial.size()));
        });
        EXPECT_EQ(n, c.digits.size());
        EXPECT_EQ(Num(l->CalledNumber), c.digits);
        EXPECT_EQ(l->TransferCaps, c.caps);
        EXPECT_EQ(l->LinkSpeed, c.speed);
        EXPECT_EQ(l->ChannelProtocol, c.protocol);
    }
    // Only the given length is read.
    Link* l = &a->NdisWanInfo[0][6];
    locked([&] {
        l->TransferCaps = 1;
        EXPECT_EQ(DecodeCallModifiers(l, (const UCHAR*)"12345R", 3), 3u);
    });
    EXPECT_EQ(l->TransferCaps, 1u);
    locked([&] {
        EXPECT_EQ(DecodeCallModifiers(l, NULL, 9), 0u);
        EXPECT_EQ(DecodeCallModifiers(NULL, (const UCHAR*)"1", 1), 0u);
    });
}

// ---- placing and answering ----

TEST_F(CallCtl, PlacedCallsGoToTheStackOrWaitForAPump)
{
    struct Case {
        const char* what;
        ULONG owner, caps, through_csm;
        BOOLEAN alloc_fails;
        BOOLEAN result;
        bool setup;
        UCHAR outgoing;
        bool refused = false;  // the stack refuses the SETUP inside the request
    };
    const Case cases[] = {
        {"TAPI 64K data", OWNER_TELEPHONY_SUBSYSTEM, 1, 0, FALSE, TRUE, true, 1},
        {"TAPI 56K data", OWNER_TELEPHONY_SUBSYSTEM, 2, 0, FALSE, TRUE, true, 1},
        {"TAPI modem call: no pump", OWNER_TELEPHONY_SUBSYSTEM, 0, 0, FALSE, FALSE, false, 0},
        {"TAPI data through modems: no pump", OWNER_TELEPHONY_SUBSYSTEM, 1, 1, FALSE, FALSE, false, 0},
        {"serial port dials at once", OWNER_VOVIZ4EZ, 0, 0, FALSE, TRUE, true, 1},
        {"no free channel", OWNER_TELEPHONY_SUBSYSTEM, 1, 0, TRUE, FALSE, false, 1},
        {"unknown call type", OWNER_TELEPHONY_SUBSYSTEM, 5, 0, FALSE, FALSE, false, 0},
        {"the stack refuses the SETUP", OWNER_TELEPHONY_SUBSYSTEM, 1, 0, FALSE, FALSE, true, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_requests.clear();
        g_alloc_fails = c.alloc_fails;
        Link* l = &a->NdisWanInfo[0][5];
        g_refuse_setup_of = c.refused ? l : NULL;
        BOOLEAN result = FALSE;
        ULONG dials = 0;
        locked([&] {
            a->ISDNthroughCSM[0] = c.through_csm;
            l->CurrentOwner = c.owner;
            l->ThisBChannel = NULL;
            l->OutgoingCall = 0;
            l->DisconnectCause = DISCONNECT_CAUSE_NETWORK;
            l->TransferCaps = c.caps;
            dials = l->LinkCallStats.DialRequests;
            SetNumber((UCHAR*)l->CalledNumber, "5551212");
            result = RSS_MakeCall(l);
        });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(l->OutgoingCall, c.outgoing);
        EXPECT_EQ(l->LinkCallStats.DialRequests, dials + (c.caps <= 2 ? 1u : 0u));
        ASSERT_EQ(g_requests.size(), c.setup ? 1u : 0u);
        if (c.setup) {
            EXPECT_EQ(g_requests[0].primitive, REQUEST_SETUP);
            EXPECT_EQ(g_requests[0].call, &inst.Calls[6]);
            EXPECT_EQ(g_requests[0].number, "5551212");
            EXPECT_EQ(g_requests[0].value, c.caps);
            EXPECT_EQ(Num(l->CallingNumber), "5551005") << "the Link's directory number";
            EXPECT_EQ(l->DisconnectCause, 0u);
        }
        if (c.refused) {
            EXPECT_EQ(l->ThisBChannel, nullptr) << "the Link is left idle";
        }
    }
    g_refuse_setup_of = NULL;
    locked([&] {
        a->ISDNthroughCSM[0] = 0;
        a->NdisWanInfo[0][5].CurrentOwner = OWNER_NONE;
        EXPECT_FALSE(RSS_MakeCall(NULL));
        EXPECT_FALSE(RSS_AnswerCall(NULL));
    });
}

// ---- connect ----

TEST_F(CallCtl, ConnectedCallsCountByTypeAndSpeed)
{
    struct Case {
        ULONG caps, speed;
        size_t counter;  // index in CALL_STATS, or ConnectInd alone
    };
    const size_t ind = offsetof(CALL_STATS, ConnectInd) / 4;
    const Case cases[] = {
        {1, 64000, offsetof(CALL_STATS, Connect64K) / 4},     {2, 56000, offsetof(CALL_STATS, Connect56K) / 4},
        {0, 33600, offsetof(CALL_STATS, ConnectTo33600) / 4}, {0, 33601, offsetof(CALL_STATS, ConnectAbove33600) / 4},
        {0, 14401, offsetof(CALL_STATS, ConnectTo33600) / 4}, {0, 14400, offsetof(CALL_STATS, ConnectTo14400) / 4},
        {0, 300, offsetof(CALL_STATS, ConnectAt300) / 4},     {0, 299, offsetof(CALL_STATS, ConnectTo14400) / 4},
        {5, 64000, ind},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "caps " << c.caps << " speed " << c.speed);
        Link* l = &a->NdisWanInfo[0][8];
        CALL_STATS before = a->GroupCallStats[0];
        locked([&] {
            l->LinkCallStats = CALL_STATS{};
            l->TransferCaps = c.caps;
            l->LinkSpeed = c.speed;
            IndicateCallConnected2Owner(l);
        });
        const ULONG* link = (const ULONG*)&l->LinkCallStats;
        const ULONG* group = (const ULONG*)&a->GroupCallStats[0];
        const ULONG* was = (const ULONG*)&before;
        for (size_t i = 0; i < sizeof(CALL_STATS) / 4; i++) {
            ULONG want = (i == ind || i == c.counter) ? 1 : 0;
            EXPECT_EQ(link[i], want) << "counter " << i;
            EXPECT_EQ(group[i], was[i] + want) << "group counter " << i;
        }
    }
}

TEST_F(CallCtl, DirectCallConnectsOneTickLaterOnItsBChannelSlot)
{
    Link* l = nullptr;
    locked([&] {
        l = offered(3, OWNER_TELEPHONY_SUBSYSTEM, 4);
        IncomingCallIndHdlr(a, l, 1);
        ConnectHdlr(l);
    });
    const ULONG slot = Bt847xBChannelToTimeslot(l);
    ASSERT_LT(slot, 32u);
    EXPECT_EQ(slot_byte(slot), BT847X_SLOT_BYTE(BT847X_SLOT_MODE_64K, 4)) << "B channel 4's slot to HDLC channel 4";
    EXPECT_TRUE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_CONNECT));
    EXPECT_EQ(l->ChannelState, (ULONG)CHANNEL_STATE_IDLE);
    r.host.run_for(plat::ms(50));
    EXPECT_EQ(l->ChannelState, (ULONG)CHANNEL_STATE_ACTIVE);
    EXPECT_EQ(l->LinkCallStats.ConnectInd, 1u);
    EXPECT_TRUE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_RX_BACKGROUND));
    EXPECT_TRUE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_TX_BACKGROUND));

    // A modem call whose pump cannot take it: rejected and reported; no path opened.
    g_requests.clear();
    Link* m = nullptr;
    locked([&] {
        m = offered(9, OWNER_TELEPHONY_SUBSYSTEM, 10);
        m->TransferCaps = 0;
        ConnectHdlr(m);
    });
    ASSERT_GE(g_requests.size(), 1u);
    EXPECT_EQ(g_requests[0].primitive, REQUEST_DISCONNECT);
    EXPECT_EQ(g_requests[0].value, CALLREJECTED);
    EXPECT_FALSE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)m, LINK_TMR_CONNECT));
    // No call object, or an owner nobody routes for: nothing opens.
    locked([&] {
        Link* n = &a->NdisWanInfo[0][11];
        n->CurrentOwner = OWNER_TELEPHONY_SUBSYSTEM;
        ConnectHdlr(n);
        EXPECT_FALSE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)n, LINK_TMR_CONNECT));
        Link* o = offered(12, OWNER_NONE, 13);
        ConnectHdlr(o);
        EXPECT_FALSE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)o, LINK_TMR_CONNECT));
    });
}

// ---- clearing ----

TEST_F(CallCtl, DisconnectMaskSelectsItsSteps)
{
    struct Case {
        ULONG mask;
        bool transfer_ended, call_cleared, line_down, released;
    };
    const Case cases[] = {
        {0, false, false, false, false},
        {TERMINATE_TRANSFER, true, false, false, false},
        {TERMINATE_TRANSFER | TERMINATE_CALL, true, true, false, false},
        {TERMINATE_TRANSFER | TERMINATE_CALL | LINK_DOWN, true, true, true, false},
        {LINK_RELEASE, false, false, false, true},
        {LINK_DOWN | LINK_RELEASE, false, false, true, true},
        {TERMINATE_TRANSFER | TERMINATE_CALL | LINK_DOWN | LINK_RELEASE, true, true, true, true},
    };
    ULONG index = 3;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mask 0x" << std::hex << c.mask);
        Link* l = connected(index, index + 1);
        size_t downs = na->indications.size();
        locked([&] {
            l->NdisLinkContext = 0x5500 + index;
            l->DisconnectFlag = 1;
            RSS_Disconnect(l, c.mask);
        });
        EXPECT_EQ(slot_byte(index + 1), BT847X_SLOT_IDLE) << "the time slot goes whatever the mask";
        EXPECT_EQ(l->ChannelState, c.transfer_ended ? CHANNEL_STATE_IDLE : CHANNEL_STATE_ACTIVE);
        EXPECT_EQ(l->TransferTerminated, c.transfer_ended ? 1 : 0);
        EXPECT_EQ(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_TX_BACKGROUND), !c.transfer_ended);
        EXPECT_EQ(l->LinkSpeed, c.call_cleared ? 0u : 64000u);
        ASSERT_EQ(g_requests.size(), c.call_cleared ? 1u : 0u);
        if (c.call_cleared) {
            EXPECT_EQ(g_requests[0].primitive, REQUEST_DISCONNECT);
            EXPECT_EQ(g_requests[0].value, NORMALCALLCLEARING);
            EXPECT_EQ(g_requests[0].flag, 1u) << "the Link's disconnect flag";
        }
        EXPECT_EQ(na->indications.size() - downs, c.line_down ? 1u : 0u);
        if (c.line_down) {
            EXPECT_EQ(na->indications.back().status, NDIS_STATUS_WAN_LINE_DOWN);
        }
        EXPECT_EQ(l->CurrentOwner, c.released ? (ULONG)OWNER_NONE : (ULONG)OWNER_DRIVER);
        EXPECT_EQ(l->NdisLinkContext, (c.line_down || c.released) ? 0u : 0x5500u + index);
        locked([&] {
            RSS_Disconnect(l, TERMINATE_TRANSFER);
            l->ThisBChannel = NULL;
            l->NdisLinkContext = 0;
        });
        index += 2;
    }
    locked([&] { RSS_Disconnect(NULL, 0xF000); });
}

TEST_F(CallCtl, EndingTheTransferHandsBackEveryQueuedPacketOnceInRingOrder)
{
    locked([&] { a->DirectoryNumberChProtocol[0][3] = CHANNEL_PROTOCOL_RTP; });  // a ring of 8
    Link* l = connected(3, 4);
    ASSERT_EQ(l->NumTxPackets, 8u);
    locked([&] { l->NdisLinkContext = 0x6603; });
    ASSERT_EQ(send(l, {1}), NDIS_STATUS_PENDING);
    ASSERT_EQ(send(l, {2}), NDIS_STATUS_PENDING);
    r.host.run_for(plat::ms(40));
    ASSERT_EQ(na->send_completions.size(), 2u);
    ASSERT_EQ(l->ReadTxPacketIdx, 2u);
    // Three more queued and not yet sent.
    for (uint8_t b : {3, 4, 5}) ASSERT_EQ(send(l, {b}), NDIS_STATUS_PENDING);
    locked([&] { RSS_Disconnect(l, TERMINATE_TRANSFER); });
    ASSERT_EQ(na->send_completions.size(), 5u);
    for (size_t i = 2; i < 5; i++) {
        EXPECT_EQ(na->send_completions[i].packet, &packets[i]) << "ring order from the completion index";
        EXPECT_EQ(na->send_completions[i].status, NDIS_STATUS_FAILURE) << "never sent";
    }
    EXPECT_EQ(LinkTxRingOccupancy(l), 0u);
    EXPECT_EQ(send(l, {6}), NDIS_STATUS_FAILURE) << "sends are refused after the transfer ended";
    r.host.run_for(plat::ms(40));
    EXPECT_EQ(na->send_completions.size(), 5u) << "nothing twice";
    locked([&] {
        a->DirectoryNumberChProtocol[0][3] = 0;
        l->ThisBChannel = NULL;
    });
}

TEST_F(CallCtl, EndingTheDChannelsTransferCompletesNothingToNdis)
{
    Link* d = RSS_GetGroupLink31(a, 0);
    ASSERT_EQ(d->IsDChannelLink, 1);
    locked([&] { GoToConnectedState(d); });
    r.host.run_for(plat::ms(50));
    ASSERT_EQ(d->ChannelState, (ULONG)CHANNEL_STATE_ACTIVE);
    UCHAR frame[] = {3, 0x02, 0x01, 0x7F};
    locked([&] {
        ASSERT_TRUE(SendLy2Frame(d, (PVOID)1, frame, 3));
        RSS_Disconnect(d, TERMINATE_TRANSFER);
    });
    EXPECT_EQ(d->ChannelState, (ULONG)CHANNEL_STATE_IDLE);
    EXPECT_EQ(d->TransferTerminated, 0);
    EXPECT_FALSE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)d, LINK_TMR_RX_BACKGROUND));
    EXPECT_TRUE(na->send_completions.empty());
    EXPECT_EQ(LinkTxRingOccupancy(d), 0u);
}

TEST_F(CallCtl, NetworkClearingTellsTheOwner)
{
    // The driver's own call: transfer and call end (0x3000), the Link is kept; the NDIS
    // line is not the driver's to take down.
    Link* l = connected(3, 4);
    locked([&] {
        l->NdisLinkContext = 0x4403;
        RSS_SetLinkDisconnectFlag(l);
        DisconnectHdlr(l);
    });
    EXPECT_EQ(l->DisconnectCause, (ULONG)DISCONNECT_CAUSE_NETWORK);
    EXPECT_EQ(l->ChannelState, (ULONG)CHANNEL_STATE_IDLE);
    EXPECT_EQ(l->TransferTerminated, 1);
    EXPECT_EQ(l->NdisLinkContext, 0x4403u);
    locked([&] { l->NdisLinkContext = 0; });
    EXPECT_EQ(l->CurrentOwner, (ULONG)OWNER_DRIVER);
    ASSERT_EQ(g_requests.size(), 1u);
    EXPECT_EQ(g_requests[0].flag, 1u) << "the network already cleared it";

    // A TAPI call: TAPI is told and decides; the data path is its to end.
    g_requests.clear();
    Link* t = nullptr;
    locked([&] {
        t = offered(5, OWNER_TELEPHONY_SUBSYSTEM, 6);
        t->DisconnectCause = DISCONNECT_CAUSE_PUMP_FAILURE;
        DisconnectHdlr(t);
    });
    EXPECT_EQ(t->DisconnectCause, (ULONG)DISCONNECT_CAUSE_PUMP_FAILURE) << "an earlier cause stays";
    EXPECT_TRUE(g_requests.empty());

    // A serial port's call without its pump is handled (nothing to clear here).
    locked([&] {
        Link* s = offered(7, OWNER_VOVIZ4EZ, 8);
        EXPECT_TRUE(DisconnectLinkChannel(s));
        EXPECT_FALSE(DisconnectLinkChannel(t));
    });
}

TEST_F(CallCtl, ChannelOutOfServiceEndsOnlyTheCallOnIt)
{
    Link* l = connected(3, 4);
    Link* other = connected(5, 6);
    locked([&] { OutOfService(a, 0, 4); });
    EXPECT_EQ(l->ThisBChannel, nullptr);
    EXPECT_EQ(l->ChannelState, (ULONG)CHANNEL_STATE_IDLE);
    for (const Request& q : g_requests) EXPECT_EQ(q.flag, 1u) << "the stack tears its call down itself";
    EXPECT_NE(other->ThisBChannel, nullptr);
    EXPECT_EQ(other->ChannelState, (ULONG)CHANNEL_STATE_ACTIVE);
    locked([&] {
        OutOfService(a, 0, 20);   // no call there
        OutOfService(a, 7, 4);    // no such line
        OutOfService(a, 0, 99);   // no such channel
        OutOfService(NULL, 0, 4);
    });
    EXPECT_NE(other->ThisBChannel, nullptr);
    locked([&] {
        RSS_Disconnect(other, TERMINATE_TRANSFER);
        other->ThisBChannel = NULL;
    });
}

// ---- pump callbacks ----

TEST_F(CallCtl, PumpCallbacksSendTheSetupRingOrEndTheCall)
{
    // An outgoing modem call whose pump is ready: exactly one SETUP.
    Link* l = nullptr;
    locked([&] {
        l = offered(3, OWNER_TELEPHONY_SUBSYSTEM, 4);
        l->OutgoingCall = 1;
        l->TransferCaps = 0;
        SetNumber((UCHAR*)l->CalledNumber, "911");
        PUMP_ReadyHdlr(l);
    });
    ASSERT_EQ(g_requests.size(), 1u);
    EXPECT_EQ(g_requests[0].primitive, REQUEST_SETUP);
    EXPECT_EQ(g_requests[0].number, "911");
    EXPECT_EQ(g_requests[0].value, 0);

    // A SETUP the stack refuses when the pump is ready ends the call there.
    g_requests.clear();
    locked([&] {
        l->DisconnectCause = DISCONNECT_CAUSE_NONE;
        g_refuse_setup_of = l;
        PUMP_ReadyHdlr(l);
        g_refuse_setup_of = NULL;
    });
    ASSERT_EQ(g_requests.size(), 1u);
    EXPECT_EQ(l->ThisBChannel, nullptr);
    EXPECT_EQ(l->DisconnectCause, (ULONG)DISCONNECT_CAUSE_NETWORK) << "the owner was told of the cleared call";
    locked([&] { l->ThisBChannel = &inst.Calls[4]; });

    // An offered call gone before its pump was ready: the driver never answers it.
    g_requests.clear();
    locked([&] {
        Link* d = &a->NdisWanInfo[0][5];
        d->CurrentOwner = OWNER_DRIVER;
        d->OutgoingCall = 0;
        PUMP_ReadyHdlr(d);
        // Still there: rung, and the driver answers.
        d->ThisBChannel = &inst.Calls[6];
        PUMP_ReadyHdlr(d);
    });
    ASSERT_EQ(g_requests.size(), 1u);
    EXPECT_EQ(g_requests[0].primitive, REQUEST_SETUP_RESPONSE);

    // Causes: a failed pump is cause 3 unless an earlier cause stands.
    struct Case {
        ULONG before;
        bool not_ready_first;
        ULONG after;
    };
    for (const Case& c : {Case{0, false, 3}, Case{0, true, 3}, Case{2, false, 2}}) {
        locked([&] {
            l->DisconnectCause = c.before;
            l->OutgoingCall = 1;
            if (c.not_ready_first) PumpNotReadyHdlr(l);
            PumpDisconnectHdlr(l);
        });
        EXPECT_EQ(l->DisconnectCause, c.after);
    }
    // The modem's connect opens the data path at the next tick.
    locked([&] { PumpReconnectHdlr(l); });
    EXPECT_TRUE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_CONNECT));
    r.host.run_for(plat::ms(50));
    locked([&] {
        RSS_Disconnect(l, TERMINATE_TRANSFER);
        l->ThisBChannel = NULL;
        a->NdisWanInfo[0][5].ThisBChannel = NULL;
    });
}

// ---- loop-back ----

TEST_F(CallCtl, LoopBackMessageIsBuiltFromItsPattern)
{
    static const char text[] =
        "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 1234567890\r\nthe quick brown fox jumps over the lazy dog 1234567890\r\n";
    const uint8_t p1[8] = {0x00, 0x00, 0xFF, 0xFF, 0x0F, 0x0F, 0xF0, 0xF0};
    const uint8_t p2[8] = {0xAA, 0xAA, 0x55, 0x55, 0xA5, 0xA5, 0x5A, 0x5A};
    struct Case {
        ULONG mode, length;
        UCHAR value;
        ULONG expected_length;
        std::function<uint8_t(size_t)> byte;
    };
    auto txt = [&](size_t i) { return uint8_t(text[i % 113]); };
    const Case cases[] = {
        {0, 113, 0, 113, txt},
        {0, 50, 0, 50, txt},
        {1, 100, 0, 100, [&](size_t i) { return p1[i % 8]; }},
        {2, 16, 0, 16, [&](size_t i) { return p2[i % 8]; }},
        {5, 7, 0x3C, 7, [](size_t) { return uint8_t(0x3C); }},
        {6, 12, 0, 12, [](size_t) { return uint8_t(0x80); }},
        {3, 200, 0, 200, txt},
        {0, 0, 0, 2000, txt},
        {0, 2000, 0, 2000, txt},
        {1, 5000, 0, 2000, [&](size_t i) { return p1[i % 8]; }},
    };
    Link* l = &a->NdisWanInfo[0][10];
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " length " << c.length);
        locked([&] { InitLoopBackMessage(l, c.mode, c.value, c.length); });
        EXPECT_EQ(l->LoopBackMode, c.mode);
        ASSERT_EQ(l->LoopBackMessageLength, c.expected_length);
        for (size_t i = 0; i < c.expected_length; i++) ASSERT_EQ(l->LoopBackMessage[i], c.byte(i)) << "byte " << i;
    }
}

TEST_F(CallCtl, LoopBackTestRunsOnTheLinksOwnSlotAndRefusesALiveCall)
{
    Link* busy = nullptr;
    locked([&] {
        busy = offered(3, OWNER_TELEPHONY_SUBSYSTEM, 4);
        GoToLoopBackState(busy, 1);
    });
    r.host.run_for(plat::ms(50));
    EXPECT_EQ(busy->ChannelState, (ULONG)CHANNEL_STATE_IDLE) << "a call's Link is not taken for a test";
    EXPECT_NE(busy->ThisBChannel, nullptr);

    // A Link with no slot of its own: nothing starts.
    Link* l = &a->NdisWanInfo[0][2];
    locked([&] {
        InitLoopBackMessage(l, 1, 0, 64);
        GoToLoopBackState(l, 1);
    });
    r.host.run_for(plat::ms(100));
    EXPECT_EQ(l->ChannelState, (ULONG)CHANNEL_STATE_IDLE);
    EXPECT_FALSE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_RX_BACKGROUND));

    // Given a slot, the chain runs through every acknowledgement to both backgrounds,
    // and the transmit background sends test frames on it.
    const ULONG kSlot = 9;
    locked([&] { a->Bt847x.TxTimeslotAssign[0][kSlot] = 2; });
    locked([&] { GoToLoopBackState(l, 1); });
    EXPECT_EQ(l->ChannelState, (ULONG)CHANNEL_STATE_IDLE) << "each step waits for its acknowledgement";
    r.host.run_for(plat::ms(300));
    ASSERT_EQ(l->ChannelState, (ULONG)CHANNEL_STATE_LOOPBACK);
    EXPECT_EQ(l->ThisBChannel, nullptr);
    EXPECT_EQ(l->LoopBackVerify, 1);
    EXPECT_EQ(slot_byte(kSlot), 0x82) << "the slot loops to the Link's channel";
    EXPECT_TRUE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_RX_BACKGROUND));
    EXPECT_TRUE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_TX_BACKGROUND));
    EXPECT_GT(l->Stats.TxFramesQueued, 0u);
    EXPECT_EQ(l->Stats.RxLpbMismatched, 0u);
    locked([&] { RSS_Disconnect(l, TERMINATE_TRANSFER); });
    EXPECT_EQ(l->ChannelState, (ULONG)CHANNEL_STATE_IDLE);
    EXPECT_FALSE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_TX_BACKGROUND));
    locked([&] {
        Bt847xSetupTimeslotForLoopback(l, 0);
        a->Bt847x.TxTimeslotAssign[0][kSlot] = -1;
        busy->ThisBChannel = NULL;
    });
}

}  // namespace
