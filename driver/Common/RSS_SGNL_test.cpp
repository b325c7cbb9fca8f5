// The signalling contract and call control's small services: the order of both entry
// tables, the Control answers the driver relies on, the leased line, the D-channel send
// ring, the line LED, the simulated call services, Link binding and time slots.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "tools/harness/rig.h"

namespace {

template <class F>
void* Addr(F f)
{
    void* p;
    static_assert(sizeof f == sizeof p);
    std::memcpy(&p, &f, sizeof p);
    return p;
}

template <class Table, size_t N>
void ExpectSlots(const Table& t, const void* const (&expected)[N], const char* const (&names)[N])
{
    static_assert(sizeof(Table) == N * sizeof(void*));
    void* slots[N];
    std::memcpy(slots, &t, sizeof t);
    for (size_t i = 0; i < N; i++) EXPECT_EQ(slots[i], expected[i]) << "slot " << i << " should be " << names[i];
}

// ---- the two tables ----

TEST(SignallingContract, InterfaceTableHoldsTheFourteenCallbacksInSlotOrder)
{
    RSS_INTERFACE_TABLE t;
    std::memset(&t, 0, sizeof t);
    RSS_FillInterfaceTable(&t);
    const void* const expected[] = {
        Addr(&OutOfService),           Addr(&RSS_IsTxQueueFull),     Addr(&SendLy2Frame),
        Addr(&GoToConnectedState),     Addr(&RSS_GetGroupLink31),    Addr(&GetLinkAssignedToBChannel),
        Addr(&RSS_SetLinkBChannel),    Addr(&RSS_ClearLinkBChannel), Addr(&ConnectHdlr),
        Addr(&DisconnectHdlr),         Addr(&IncomingCallIndHdlr),   Addr(&RSS_SetLinkDisconnectFlag),
        Addr(&RSS_SetLed),             Addr(&RSS_PrintLink),
    };
    const char* const names[] = {"OutOfService", "RSS_IsTxQueueFull", "SendLy2Frame", "GoToConnectedState",
                                 "RSS_GetGroupLink31", "GetLinkAssignedToBChannel", "RSS_SetLinkBChannel",
                                 "RSS_ClearLinkBChannel", "ConnectHdlr", "DisconnectHdlr", "IncomingCallIndHdlr",
                                 "RSS_SetLinkDisconnectFlag", "RSS_SetLed", "RSS_PrintLink"};
    ExpectSlots(t, expected, names);
}

// A leased line: entries that do nothing, Control 0xFFFF to everything, no calls, frames
// accepted and dropped; the frame and management entries are the robbed-bit stack's.
TEST(LeasedLine, EveryEntryDoesNothingAndControlAnswersUnknown)
{
    SGNL_PROTOCOL_OPS ops;
    std::memset(&ops, 0, sizeof ops);
    LeasedLineGetOps(&ops);
    void* slots[SGNL_OPS_SLOTS];
    std::memcpy(slots, &ops, sizeof ops);
    for (void* s : slots) EXPECT_NE(s, nullptr);
    EXPECT_EQ(slots[2], Addr(&RbsStackPutFrame));
    EXPECT_EQ(slots[6], Addr(&RbsStackManagementRequest));

    std::vector<UCHAR> instance(0xFFFF, 0);
    int call = 0;
    for (ULONG kind = 0; kind <= CTL_NUM_KINDS; kind++)
        for (ULONG id = 0; id <= 0x60; id++) {
            ASSERT_EQ(ops.Control(kind, id, instance.data(), 7), (ULONG)CONTROL_UNKNOWN) << kind << "," << id;
            ASSERT_EQ(ops.Control(kind, id, NULL, 0), (ULONG)CONTROL_UNKNOWN) << kind << "," << id;
        }
    EXPECT_EQ(ops.Control(CTL_KIND_CONST, CTL_INSTANCE_SIZE, NULL, 0), 65535u);

    Link link{};
    UCHAR frame[] = {3, 1, 2, 3};
    UCHAR number[] = {2, '1', '2'};
    ops.SetAdapter(instance.data(), NULL);
    ops.Layer1Indication(NULL, instance.data(), 0, LAYER1_ACTIVATED);
    EXPECT_TRUE(ops.PutFrame(instance.data(), frame, sizeof frame));
    EXPECT_EQ(ops.AllocCall(instance.data(), &link, 0), nullptr);
    ops.CallRequest(REQUEST_SETUP, &call, number, 1, 0);
    ops.CallRequest(REQUEST_DISCONNECT, NULL, NULL, NORMALCALLCLEARING, 0);
    ops.ManagementRequest(MGMT_TEST_CALL, instance.data(), 1, 2, 3, 4, 5, 6, 7, 8, 9);
    EXPECT_EQ(std::vector<UCHAR>(0xFFFF, 0), instance) << "the instance is a block nothing uses";
    EXPECT_EQ(call, 0);
}

// What the driver core, the HDLC side and the binding code ask of the ISDN and
// robbed-bit placeholders must be the contract's answers.
TEST(StackPlaceholders, ControlAnswersFollowTheContract)
{
    SGNL_PROTOCOL_OPS isdn, rbs;
    IsdnStackGetOps(&isdn);
    RbsStackGetOps(&rbs);
    const ULONG U = CONTROL_UNKNOWN;
    for (ULONG e1 = 0; e1 <= 1; e1++) {
        std::vector<UCHAR> si(isdn.Control(CTL_KIND_CONST, CTL_INSTANCE_SIZE, NULL, 0));
        std::vector<UCHAR> sr(rbs.Control(CTL_KIND_CONST, CTL_INSTANCE_SIZE, NULL, 0));
        ASSERT_GT(si.size(), 0u);
        ASSERT_GT(sr.size(), 0u);
        isdn.Control(CTL_KIND_SET, CTL_E1_FLAG, si.data(), e1);
        rbs.Control(CTL_KIND_SET, CTL_E1_FLAG, sr.data(), e1);
        struct Case {
            ULONG kind, id, isdn, rbs;
        };
        const Case cases[] = {
            {CTL_KIND_CONST, CTL_HAS_D_CHANNEL, 1, 0},
            {CTL_KIND_CONST, CTL_TIMESLOT_MAP_MODE, 0, 5},
            {CTL_KIND_CONST, CTL_PER_CHANNEL_HANDLING, 1, 1},
            {CTL_KIND_CONST, CTL_CONST_4B, 5, U},
            {CTL_KIND_CONST, CTL_CONST_4C, 80, U},
            {CTL_KIND_CONST, CTL_NUM_STACK_COUNTERS, 13, U},
            {CTL_KIND_CONST, CTL_COUNTERS_PER_CHANNEL, 24, U},
            {CTL_KIND_CONST, CTL_EVENT_LOG_ENTRIES, 400, U},
            {CTL_KIND_CONST, CTL_EVENT_LOG_ENTRY_SIZE, 100, U},
            {CTL_KIND_CONST, 0x50, U, U},
            {CTL_KIND_CONST, CTL_NUM_B_CHANNELS, U, U},  // reads the instance: no object, no answer
            {CTL_KIND_GET, CTL_NUM_B_CHANNELS, e1 ? 30u : 23u, e1 ? 32u : 24u},
            {CTL_KIND_GET, CTL_D_CHANNEL_TIMESLOT, e1 ? 16u : 24u, U},
            {CTL_KIND_GET, CTL_FIRST_B_CHANNEL, e1 ? 0u : 1u, U},
            {CTL_KIND_GET, CTL_LAST_B_CHANNEL, e1 ? 31u : 23u, U},
            {CTL_KIND_GET, CTL_IS_E1, e1, e1},
            {CTL_KIND_SET, CTL_POLL_QUESTION, 0, 0},
            {CTL_KIND_GET, CTL_HAS_D_CHANNEL, 1, 0},  // the identifier, not the kind, selects
            {CTL_KIND_GET, 0x20, U, U},
            {CTL_NUM_KINDS, CTL_HAS_D_CHANNEL, U, U},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "E1 " << e1 << " kind " << c.kind << " id 0x" << std::hex << c.id);
            EXPECT_EQ(isdn.Control(c.kind, c.id, c.kind == CTL_KIND_CONST ? NULL : si.data(), 0), c.isdn);
            EXPECT_EQ(rbs.Control(c.kind, c.id, c.kind == CTL_KIND_CONST ? NULL : sr.data(), 0), c.rbs);
        }
        for (ULONG kind = CTL_KIND_ACTION; kind <= CTL_KIND_CALL; kind++) {
            EXPECT_EQ(isdn.Control(kind, CTL_NUM_B_CHANNELS, NULL, 0), U) << "missing object, kind " << kind;
            EXPECT_EQ(rbs.Control(kind, CTL_HAS_D_CHANNEL, NULL, 0), U) << "missing object, kind " << kind;
        }
    }
}

TEST(SignallingContract, UpcallRowsAndManagementCausesAreIndexedByTheirCode)
{
    for (ULONG code = UPCALL_FIRST; code <= UPCALL_LAST; code++) {
        ASSERT_NE(SgnlUpcall(code), nullptr);
        EXPECT_EQ(SgnlUpcall(code)->Code, code);
    }
    EXPECT_EQ(SgnlUpcall(UPCALL_FIRST - 1), nullptr);
    EXPECT_EQ(SgnlUpcall(UPCALL_LAST + 1), nullptr);
    EXPECT_EQ(SgnlUpcall(0x9E)->Effect, UPCALL_INCOMING_CALL);
    EXPECT_EQ(SgnlUpcall(0x9D)->Quiet, 0);
    EXPECT_EQ(SgnlUpcall(0x91)->Quiet, 0);

    const std::pair<ULONG, UCHAR> causes[] = {{0, 0x06}, {1, 0x10}, {2, BUSY},  {3, NOANSWER}, {4, CALLREJECTED},
                                             {8, 0x58}, {12, 0x65}, {13, 0x10}, {0xFFFFFFFF, 0x10}};
    for (auto [index, cause] : causes) EXPECT_EQ(SgnlManagementCause(index), cause) << "index " << index;
}

// ---- the D-channel send ring ----

TEST(SendLy2Frame, QueuesFromTheSecondByteUntilTheRingIsFull)
{
    Link link{};
    link.NumTxPackets = 2;
    link.TxPackets[0].Word4 = 0xAA;
    link.TxPackets[0].InFlight = 1;
    UCHAR frame1[] = {5, 0x02, 0x01, 0x7F, 0x01, 0x00};
    UCHAR frame2[] = {3, 0x00, 0x01, 0x01};
    UCHAR frame3[] = {0};
    int owner;

    EXPECT_FALSE(RSS_IsTxQueueFull(&link));
    ASSERT_TRUE(SendLy2Frame(&link, &owner, frame1, 5));
    const TX_PACKET& e = link.TxPackets[0];
    EXPECT_EQ(e.Packet, &owner);
    EXPECT_EQ(e.Data, frame1 + 1);
    EXPECT_EQ(e.Length, 5u);
    EXPECT_EQ(e.Word4, 0u);
    EXPECT_EQ(e.InFlight, 0);
    EXPECT_EQ(link.WriteTxPacketIdx, 1u);
    EXPECT_EQ(link.Stats.TxFramesQueued, 1u);

    ASSERT_TRUE(SendLy2Frame(&link, &owner, frame2, 3));
    EXPECT_EQ(link.WriteTxPacketIdx, 0u) << "the write index wraps at the number of entries";
    EXPECT_TRUE(RSS_IsTxQueueFull(&link));

    EXPECT_FALSE(SendLy2Frame(&link, &owner, frame3, 0)) << "a third frame before any completion";
    EXPECT_EQ(link.TxPackets[0].Data, frame1 + 1);
    EXPECT_EQ(link.Stats.TxFramesQueued, 2u);

    LinkTxRingNoteCompleted(&link);
    EXPECT_FALSE(RSS_IsTxQueueFull(&link));
    EXPECT_TRUE(SendLy2Frame(&link, &owner, frame3, 0)) << "a length of 0 is accepted";
    EXPECT_EQ(link.TxPackets[0].Data, frame3 + 1);
    EXPECT_EQ(link.TxPackets[0].Length, 0u);

    EXPECT_FALSE(SendLy2Frame(NULL, &owner, frame1, 5));
    EXPECT_FALSE(SendLy2Frame(&link, &owner, NULL, 5));
    EXPECT_TRUE(RSS_IsTxQueueFull(NULL));
}

TEST(SendLy2Frame, RefusesARingWithoutEntriesOrWithItsIndexOutside)
{
    UCHAR frame[] = {1, 0x55};
    Link none{};
    EXPECT_FALSE(SendLy2Frame(&none, NULL, frame, 1));
    Link stray{};
    stray.NumTxPackets = 2;
    stray.WriteTxPacketIdx = 2;
    EXPECT_FALSE(SendLy2Frame(&stray, NULL, frame, 1));
    EXPECT_EQ(stray.Stats.TxFramesQueued, 0u);
}

// ---- binding: a small adapter with a fake stack whose call objects name a channel ----

struct FakeCall {
    void* stack;
    ULONG channel;
};

ULONG g_dchannel_slot = 24;

ULONG FakeControl(ULONG Kind, ULONG Id, PVOID Object, ULONG)
{
    if (Kind == CTL_KIND_CONST && Id == CTL_HAS_D_CHANNEL) return 1;
    if (Object == NULL) return CONTROL_UNKNOWN;
    if (Kind == CTL_KIND_GET && Id == CTL_D_CHANNEL_TIMESLOT) return g_dchannel_slot;
    if (Kind == CTL_KIND_CALL && Id == CTL_CALL_CHANNEL) return static_cast<FakeCall*>(Object)->channel;
    return CONTROL_UNKNOWN;
}

class Binding : public ::testing::Test {
public:
    std::unique_ptr<Adapter> a = std::make_unique<Adapter>();
    int stack = 0;
    FakeCall calls[MAX_LINKS_PER_GROUP];
    FakeCall offered{&stack, 0};

    void SetUp() override
    {
        a->NumberOfGroups = 2;
        for (ULONG g = 0; g < MAX_GROUPS; g++) {
            a->SgnlProtocolOps[g].Control = FakeControl;
            a->ThisSgnlStack[g] = &stack;
            a->LinksPerGroup[g] = 4;
            for (ULONG l = 0; l < MAX_LINKS_PER_GROUP; l++) {
                Link* link = &a->NdisWanInfo[g][l];
                link->ThisAdapter = a.get();
                link->GroupID = g;
                link->Index = l;
                link->CurrentOwner = OWNER_TELEPHONY_SUBSYSTEM;
            }
        }
        for (ULONG l = 0; l < MAX_LINKS_PER_GROUP; l++) calls[l] = {&stack, l + 1};
    }

    void SetDn(ULONG link, const char* digits)
    {
        DIRECTORY_NUMBER* dn = &a->DirectoryNumber[0][link];
        std::memset(dn, 0, sizeof *dn);
        dn->Count = (UCHAR)std::strlen(digits);
        std::memcpy(dn->Digits, digits, dn->Count);
    }

    void Busy(ULONG link) { a->NdisWanInfo[0][link].ThisBChannel = &calls[link]; }
};

TEST_F(Binding, OfferedCallTakesTheLinkByDirectoryNumberOrChannel)
{
    struct Case {
        const char* name;
        std::vector<const char*> dns;  // DN(0), DN(1), ...; the rest empty
        std::vector<ULONG> busy;
        ULONG comPortLink;             // a Link owned by a COM port; 99 none
        const char* called;            // nullptr: no number
        ULONG lengthOrChannel;         // 0: the called number's length
        int expected;                  // Link index, -1 none
    };
    const Case cases[] = {
        {"suffix match on the shorter DN first", {"12", "5512", "", ""}, {}, 99, "5512", 0, 0},
        {"the longer DN when the first is busy", {"12", "5512", "", ""}, {0}, 99, "5512", 0, 1},
        {"only the last digits of a short number count", {"5512", "", "", ""}, {}, 99, "12", 0, 0},
        {"a differing last digit is no match", {"5512", "99", "", ""}, {}, 99, "5513", 0, 2},
        {"all DNs empty: the first free Link", {"", "", "", ""}, {0}, 99, "5512", 0, 1},
        {"all matching busy and no empty DN: none", {"12", "5512", "77", "88"}, {0, 1}, 99, "5512", 0, -1},
        {"an empty DN busy is passed over", {"12", "", "", "9"}, {1}, 99, "34", 0, 2},
        {"a called number of no digits matches no DN", {"12", "", "", "9"}, {}, 99, "", 0, 1},
        {"DN links of any owner", {"12", "", "", ""}, {}, 0, "12", 0, 0},
        {"channel mode: the channel's Link", {}, {}, 99, nullptr, 5, 4},
        {"channel mode: a COM port's Link is not taken", {}, {}, 4, nullptr, 5, -1},
        {"channel mode: a busy Link is not taken", {}, {4}, 99, nullptr, 5, -1},
        {"channel mode: channel 0", {}, {}, 99, nullptr, 0, -1},
        {"channel 31 is the last of channel mode", {}, {}, 99, nullptr, 31, 30},
        {"no number, no channel: the first free Link of any owner", {}, {0}, 1, nullptr, 0xFF, 1},
        {"no number, no channel, all busy: none", {}, {0, 1, 2, 3}, 99, nullptr, 32, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        for (ULONG l = 0; l < MAX_LINKS_PER_GROUP; l++) {
            SetDn(l, l < c.dns.size() ? c.dns[l] : "");
            a->NdisWanInfo[0][l].ThisBChannel = NULL;
        }
        for (ULONG l : c.busy) Busy(l);
        if (c.comPortLink != 99) a->NdisWanInfo[0][c.comPortLink].CurrentOwner = OWNER_VOVIZ4EZ;
        // The stack passes a pointer to the LAST digit of a number in a buffer of its own.
        UCHAR buffer[40] = {};
        PUCHAR last = NULL;
        ULONG arg = c.lengthOrChannel;
        if (c.called != nullptr) {
            ULONG m = (ULONG)std::strlen(c.called);
            std::memcpy(buffer + 1, c.called, m);
            last = buffer + m;  // buffer[0] stands for the length byte
            arg = m;
        }
        Link* got = GetLinkAssignedToBChannel(a.get(), &offered, 0, last, arg);
        if (c.expected < 0) {
            EXPECT_EQ(got, nullptr);
        } else {
            ASSERT_EQ(got, &a->NdisWanInfo[0][c.expected]);
            EXPECT_EQ(got->ThisBChannel, &offered);
        }
        for (ULONG l = 0; l < MAX_LINKS_PER_GROUP; l++) {
            Link* link = &a->NdisWanInfo[0][l];
            if (link != got) {
                EXPECT_NE(link->ThisBChannel, &offered) << "Link " << l << " bound as well";
            }
        }
    }
}

TEST_F(Binding, OnlyTheGroupsLinksInUseAreOffered)
{
    // A stack that sizes its group beyond 32 Links must not reach into the next group.
    a->LinksPerGroup[0] = 0xFFFF;
    for (ULONG l = 0; l < MAX_LINKS_PER_GROUP; l++) {
        SetDn(l, "");
        Busy(l);
    }
    EXPECT_EQ(GetLinkAssignedToBChannel(a.get(), &offered, 0, NULL, 0xFF), nullptr);
    UCHAR number[] = {'1'};
    EXPECT_EQ(GetLinkAssignedToBChannel(a.get(), &offered, 0, number, 1), nullptr);
    EXPECT_EQ(a->NdisWanInfo[1][0].ThisBChannel, nullptr);
    EXPECT_EQ(GetLinkAssignedToBChannel(a.get(), &offered, 2, NULL, 0xFF), nullptr) << "group beyond the adapter's";
    EXPECT_EQ(GetLinkAssignedToBChannel(NULL, &offered, 0, NULL, 0xFF), nullptr);
}

TEST_F(Binding, SlotsBindUnbindAndMarkALink)
{
    Link* l = &a->NdisWanInfo[1][3];
    RSS_SetLinkBChannel(l, &offered);
    EXPECT_EQ(l->ThisBChannel, &offered);
    RSS_ClearLinkBChannel(l);
    EXPECT_EQ(l->ThisBChannel, nullptr);
    RSS_SetLinkDisconnectFlag(l);
    EXPECT_EQ(l->DisconnectFlag, 1);
    RSS_SetLinkBChannel(NULL, &offered);
    RSS_ClearLinkBChannel(NULL);
    RSS_SetLinkDisconnectFlag(NULL);
    RSS_PrintLink(NULL);
    EXPECT_EQ(RSS_GetGroupLink31(a.get(), 2), &a->NdisWanInfo[2][31]);
    EXPECT_EQ(RSS_GetGroupLink31(a.get(), MAX_GROUPS), nullptr);
}

TEST_F(Binding, LinkTimeslotComesFromTheStackForTheDChannelAndCalls)
{
    Link* d = &a->NdisWanInfo[0][31];
    d->IsDChannelLink = 1;
    g_dchannel_slot = 16;
    EXPECT_EQ(GetLinkTimeslot(d), 16u);
    g_dchannel_slot = 24;
    EXPECT_EQ(GetLinkTimeslot(d), 24u);

    Link* b = &a->NdisWanInfo[0][2];
    EXPECT_EQ(GetLinkTimeslot(b), 2u) << "no call: the Link's index";
    FakeCall call{&stack, 17};
    b->ThisBChannel = &call;
    EXPECT_EQ(GetLinkTimeslot(b), 17u);
    EXPECT_EQ(GetLinkTimeslot(NULL), (ULONG)CONTROL_UNKNOWN);

    // The Link whose call is on a channel; the highest index when several are.
    FakeCall nine{&stack, 9};
    a->NdisWanInfo[0][3].ThisBChannel = &nine;
    a->NdisWanInfo[0][7].ThisBChannel = &nine;
    EXPECT_EQ(GetLinkByTimeslot(a.get(), 0, 9), &a->NdisWanInfo[0][7]);
    EXPECT_EQ(GetLinkByTimeslot(a.get(), 0, 17), b);
    EXPECT_EQ(GetLinkByTimeslot(a.get(), 0, 5), nullptr) << "Link 5 has no call on it";
    EXPECT_EQ(GetLinkByTimeslot(a.get(), 1, 9), nullptr) << "other group";
    EXPECT_EQ(GetLinkByTimeslot(a.get(), 3, 9), nullptr) << "group beyond the adapter's";
}

// ---- on the simulated board ----

class OnBoard : public ::testing::Test {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;

    Adapter* up(const std::vector<std::pair<std::string, uint32_t>>& values = {})
    {
        std::string e;
        EXPECT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        for (const auto& [name, value] : values) r.host.registry.set_dword(r.parameters_key(1), name, value);
        r.add_board_for(1, 4);
        EXPECT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        return na ? rig::Rig::driver_adapter(na) : nullptr;
    }

    void TearDown() override
    {
        RssTraceEnabled = FALSE;
        if (na != nullptr) r.halt(na);
        EXPECT_EQ(r.leaked_allocations(), 0u);
        EXPECT_EQ(r.leaked_mappings(), 0u);
        EXPECT_EQ(r.leaked_shared_memory(), 0u);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
};

TEST_F(OnBoard, LedAndLineUpFollowTheLayerReports)
{
    Adapter* a = up();
    ASSERT_NE(a, nullptr);
    struct Step {
        ULONG line, mask, on;
        int led;
        UCHAR lineUp;
    };
    const Step steps[] = {
        {0, LED_MASK_PHYSICAL, 1, 0, 0},   // layer 1 up: LineUp stays 0 until layer 2
        {0, LED_MASK_DATA_LINK, 1, 2, 1},  // data link up
        {0, LED_MASK_PHYSICAL, 1, 0, 1},   // layer 1 report again: LineUp unchanged
        {0, LED_MASK_DATA_LINK, 0, 0, 0},  // data link released
        {0, LED_MASK_DATA_LINK, 1, 2, 1},
        {0, LED_MASK_PHYSICAL, 0, 1, 0},   // line down
        {0, 0x80, 1, 1, 0},                // another code: nothing
        {1, LED_MASK_DATA_LINK, 1, 1, 0},  // no such line on this board: nothing
        {MAX_LINES, LED_MASK_DATA_LINK, 1, 1, 0},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "line " << s.line << " mask 0x" << std::hex << s.mask << " on " << s.on);
        NdisAcquireSpinLock(&a->AdapterSpinLock);
        RSS_SetLed(a, s.line, s.mask, s.on);
        NdisReleaseSpinLock(&a->AdapterSpinLock);
        EXPECT_EQ(r.boards[0]->led(0), s.led);
        EXPECT_EQ(a->LineUp[0], s.lineUp);
        EXPECT_EQ(a->LineUp[1], 0);
    }
}

TEST_F(OnBoard, SimulatedCallServicesRunOnceOnTheirLinkTimers)
{
    Adapter* a = up();
    ASSERT_NE(a, nullptr);
    RssTraceEnabled = TRUE;
    Link* l = &a->NdisWanInfo[0][4];
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    ASSERT_TRUE(TmrStart(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_BACKDOOR_INCOMING_CALL, a->TimerResolution,
                         BackdoorIncomingCall, l));
    ASSERT_TRUE(TmrStart(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_BACKDOOR_DISCONNECT, a->TimerResolution,
                         BackdoorDisconnect, l));
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    r.host.run_for(plat::ms(3 * a->TimerResolution));
    EXPECT_FALSE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_BACKDOOR_INCOMING_CALL));
    EXPECT_FALSE(TmrIsRunning(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_BACKDOOR_DISCONNECT));
    // No call is bound to the Link: the offer stops at the missing call object, the
    // disconnection tells the (absent) owner.
    size_t incoming = 0, disconnect = 0;
    for (const auto& line : r.host.trace.lines()) {
        incoming += line.find("IncomingCallIndHdlr: Entry") != std::string::npos;
        disconnect += line.find("IndicateCallDisConnected2Owner[0][4]") != std::string::npos;
    }
    EXPECT_EQ(incoming, 1u) << "a speech call offered once";
    EXPECT_EQ(disconnect, 1u);
    EXPECT_EQ(l->DisconnectCause, 2u);
}

TEST_F(OnBoard, DChannelSlotIsProgrammedInBothMapsOfItsLine)
{
    Adapter* a = up({{"AdapterID", 7}});  // four lines
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->NumberOfGroups, 4u);
    struct Case {
        const char* name;
        ULONG line, lineMode, busMode;
        void (*getOps)(SGNL_PROTOCOL_OPS*);
        int word, byte;  // -1: nothing written
        ULONG value;
    };
    const Case cases[] = {
        {"E1, bus mode 2: the port runs 2.048", 0, 1, 2, IsdnStackGetOps, 3, 3, 0x90},
        {"T1, bus mode 5: the port runs 1.544", 1, 0, 5, IsdnStackGetOps, 5, 3, 0x98},
        {"T1, bus mode 0", 1, 0, 0, IsdnStackGetOps, 5, 3, 0x98},
        {"E1, bus mode 5", 2, 1, 5, IsdnStackGetOps, 16, 0, 0x90},
        {"T1, bus mode 2", 3, 0, 2, IsdnStackGetOps, 24, 0, 0x98},
        {"E1, bus mode 1", 2, 1, 1, IsdnStackGetOps, 3, 3, 0x90},
        {"robbed bit: no D channel", 1, 0, 0, RbsStackGetOps, -1, -1, 0},
        {"leased line: no D channel", 3, 1, 2, LeasedLineGetOps, -1, -1, 0},
    };
    auto reg = [&](ULONG line, ULONG map, ULONG word) {
        return (volatile ULONG*)(a->VirtualAddressBAR0 + line * 0x800 + map + 4 * word);
    };
    auto area = [&](ULONG line, ULONG map, ULONG word) {
        return (PULONG)(a->SharedMem.GroupAreas.Virtual + line * 0x800 + map + 4 * word);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Every word of both maps holds a distinct pattern beforehand.
        for (ULONG map : {0x200u, 0x400u})
            for (ULONG w = 0; w < 32; w++) {
                ULONG pattern = 0x01020304u * (w + 1) ^ map;
                WRITE_REGISTER_ULONG(reg(c.line, map, w), pattern);
                *area(c.line, map, w) = pattern;
            }
        a->LineMode[c.line] = c.lineMode;
        a->SystemBusMode[c.line] = c.busMode;
        SGNL_PROTOCOL_OPS keep = a->SgnlProtocolOps[c.line];
        c.getOps(&a->SgnlProtocolOps[c.line]);
        NdisAcquireSpinLock(&a->AdapterSpinLock);
        SetupTimeslotForDChannel(a, c.line);
        NdisReleaseSpinLock(&a->AdapterSpinLock);
        a->SgnlProtocolOps[c.line] = keep;
        for (ULONG map : {0x200u, 0x400u})
            for (ULONG w = 0; w < 32; w++) {
                ULONG expected = 0x01020304u * (w + 1) ^ map;
                if ((int)w == c.word) expected = (expected & ~(0xFFu << (8 * c.byte))) | (c.value << (8 * c.byte));
                EXPECT_EQ(READ_REGISTER_ULONG(reg(c.line, map, w)), expected) << "register map 0x" << std::hex << map << " word " << std::dec << w;
                EXPECT_EQ(*area(c.line, map, w), expected) << "descriptor-area map 0x" << std::hex << map << " word " << std::dec << w;
            }
    }
    EXPECT_EQ(GetDChannelTimeslot(a, 0), 16u);
    EXPECT_EQ(GetDChannelTimeslot(a, 1), 24u);
}

// A leased line initialises with all 32 Links of its group (the stack's 0xFFFF answer
// clamped), an unused 65,535-byte instance, no D-channel Link, and halts clean.
TEST_F(OnBoard, LeasedLineInitialisesAndHaltsClean)
{
    Adapter* a = up({{"SignallingProtocol_0", 6}});
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->LinksPerGroup[0], 32u);
    ASSERT_EQ(a->SgnlStackSize[0], 0xFFFFu);
    const UCHAR* block = static_cast<const UCHAR*>(a->ThisSgnlStack[0]);
    EXPECT_EQ(std::vector<UCHAR>(block, block + 0xFFFF), std::vector<UCHAR>(0xFFFF, 0));
    EXPECT_EQ(r.boards[0]->led(0), 1) << "the line shows down after the reset";

    r.host.run_for(plat::ms(3000));
    EXPECT_EQ(a->NdisWanInfo[0][31].IsDChannelLink, 0);
    EXPECT_NE(a->NdisWanInfo[0][31].CurrentOwner, (ULONG)OWNER_SIGNALLING_STACK);
    EXPECT_EQ(std::vector<UCHAR>(block, block + 0xFFFF), std::vector<UCHAR>(0xFFFF, 0)) << "nothing uses the instance";
    EXPECT_EQ(na->resets, 0u);
}

}  // namespace
