// The Monitor page: its state-to-lamp tables, the reading of port status replies into the
// lamps that changed, and the page on the served default board following its line and a
// far-end call while it is the active page.
#include <algorithm>
#include <cstring>
#include <set>

#include "applet/StatusGrid.h"
#include "applet/StatusGridPage.h"
#include "applet_fixture.h"

using namespace applettest;
using namespace grid;

namespace {

// ---- state to lamp ---------------------------------------------------------------------------

TEST(StatusGridImages, StatesMapToTheirLamps)
{
    enum Kind { L1, L2, Ch, Pump };
    const struct {
        Kind kind;
        uint32_t protocol, state;
        unsigned image;
    } cases[] = {
        {L1, 0, 9, kImageConnected},      {L1, 0, 8, kImageOutOfService},   {L1, 0, kUnknown, kImageOutOfService},
        {L2, 0, 2, kImageEstablishing},   {L2, 0, 3, kImageDropping},       {L2, 0, 4, kImageConnected},
        {L2, 0, 1, kImageOutOfService},   {L2, 0, 5, kImageOutOfService},
        // Robbed bit.
        {Ch, 0, 2, kImageIdle},           {Ch, 0, 3, kImageIdle},           {Ch, 0, 4, kImageEstablishing},
        {Ch, 0, 12, kImageEstablishing},  {Ch, 0, 13, kImageDropping},      {Ch, 0, 14, kImageEstablishing},
        {Ch, 0, 16, kImageEstablishing},  {Ch, 0, 17, kImageDropping},      {Ch, 0, 18, kImageConnected},
        {Ch, 0, 19, kImageDropping},      {Ch, 0, 20, kImageDropping},      {Ch, 0, 65535, kImageNotPresent},
        {Ch, 0, 0, kImageOutOfService},   {Ch, 0, 21, kImageOutOfService},
        // ISDN, any of its protocols.
        {Ch, 1, 0, kImageIdle},           {Ch, 3, 1, kImageEstablishing},   {Ch, 5, 4, kImageEstablishing},
        {Ch, 1, 5, kImageOutOfService},   {Ch, 2, 6, kImageEstablishing},   {Ch, 1, 9, kImageEstablishing},
        {Ch, 1, 10, kImageConnected},     {Ch, 4, 11, kImageDropping},      {Ch, 1, 12, kImageDropping},
        {Ch, 1, 19, kImageDropping},      {Ch, 1, 13, kImageOutOfService},  {Ch, 1, 254, kImageDChannel},
        {Ch, 1, 255, kImageNotPresent},   {Ch, 1, 65535, kImageOutOfService},
        // A leased line and an unknown protocol show no channel.
        {Ch, 6, 0, kImageNotPresent},     {Ch, 6, 10, kImageNotPresent},    {Ch, kUnknown, 10, kImageNotPresent},
        {Pump, 0, 0, kImageOutOfService}, {Pump, 0, 1, kImageIdle},         {Pump, 0, 3, kImageIdle},
        {Pump, 0, 4, kImageEstablishing}, {Pump, 0, 5, kImageEstablishing}, {Pump, 0, 6, kImageConnected},
        {Pump, 0, 7, kImageDropping},     {Pump, 0, 8, kImageDropping},     {Pump, 0, 9, kImageOutOfService},
    };
    for (const auto& c : cases) {
        unsigned got = c.kind == L1   ? CMyPropertyPage8::GetLayer1Image(c.state)
                       : c.kind == L2 ? CMyPropertyPage8::GetLayer2Image(c.state)
                       : c.kind == Ch ? ChannelImage(c.protocol, c.state)
                                      : CMyPropertyPage8::GetPumpImage(c.state);
        EXPECT_EQ(got, c.image) << "kind " << c.kind << " protocol " << c.protocol << " state " << c.state;
    }
}

TEST(StatusGridImages, ModuleTypesGiveTheirProcessorsAndPumps)
{
    const struct {
        uint32_t type, csms, pumps;
    } cases[] = {{0, 0, 0},  {1, 1, 3},  {2, 1, 6},  {3, 1, 12}, {4, 2, 3},  {5, 2, 6},  {6, 2, 12},
                 {7, 1, 3},  {9, 1, 12}, {10, 2, 3}, {13, 1, 3}, {16, 2, 3}, {19, 1, 3}, {21, 1, 12},
                 {22, 2, 3}, {24, 2, 12}, {25, 0, 0}, {kUnknown, 0, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(ModuleCsms(c.type), c.csms) << c.type;
        EXPECT_EQ(ModulePumps(c.type), c.pumps) << c.type;
    }
}

TEST(StatusGridImages, EveryLampHasAControlOfItsOwn)
{
    std::set<int> ids;
    for (uint32_t n = 1; n <= 31; n++) ids.insert(ChannelControl(n));
    for (uint32_t s = 0; s < kSockets; s++)
        for (uint32_t c = 0; c < 2; c++)
            for (uint32_t p = 0; p < kPumps; p++) ids.insert(PumpControl(s, c, p));
    for (uint32_t s = 0; s < kSockets; s++) ids.insert(NoModuleControl(s));
    ids.insert(kLayer1Control);
    ids.insert(kLayer2Control);
    EXPECT_EQ(ids.size(), 31u + 96u + 4u + 2u);
    EXPECT_EQ(ids.count(0), 0u);
    EXPECT_EQ(ChannelControl(1), 1245);
    EXPECT_EQ(ChannelControl(2), 1200);
    EXPECT_EQ(ChannelControl(23), 1256);
    EXPECT_EQ(ChannelControl(24), 1211);
    EXPECT_EQ(ChannelControl(25), 1220);
    EXPECT_EQ(ChannelControl(31), 1226);
    EXPECT_EQ(ChannelControl(0), 0);
    EXPECT_EQ(ChannelControl(32), 0);
    EXPECT_EQ(PumpControl(0, 0, 0), 1259);
    EXPECT_EQ(PumpControl(0, 0, 1), 1212);
    EXPECT_EQ(PumpControl(0, 0, 11), 1293);
    EXPECT_EQ(PumpControl(2, 0, 3), 1321);
    EXPECT_EQ(PumpControl(2, 0, 4), 1326);
    EXPECT_EQ(PumpControl(3, 1, 11), 1361);
    EXPECT_EQ(PumpControl(4, 0, 0), 0);
    EXPECT_EQ(PumpControl(0, 2, 0), 0);
    EXPECT_EQ(NoModuleControl(1), 1322);
}

// ---- reading replies ---------------------------------------------------------------------------

// A port status reply: protocol, two layer states, 32 channel states, then per socket its
// type, a word the page skips and the pump states.
struct Reply {
    uint32_t protocol = 1, layer1 = 9, layer2 = 4;
    uint32_t channels[32];
    struct Socket {
        uint32_t type;
        std::vector<uint32_t> pumps;
    };
    std::vector<Socket> sockets;
    Reply()
    {
        std::fill(std::begin(channels), std::end(channels), 0);
        channels[0] = 255;
        channels[24] = 254;
        for (int n = 25; n < 32; n++) channels[n] = 255;
    }
    std::unique_ptr<BackdoorRequest> Record(uint32_t status = 0) const
    {
        std::vector<uint32_t> w = {protocol, layer1, layer2};
        w.insert(w.end(), std::begin(channels), std::end(channels));
        for (const auto& s : sockets) {
            w.push_back(s.type);
            w.push_back(1);
            w.insert(w.end(), s.pumps.begin(), s.pumps.end());
        }
        auto r = std::make_unique<BackdoorRequest>();
        std::memset(r.get(), 0, sizeof *r);
        r->Status = status;
        r->Segment[0].Offset = kBackdoorHeaderSize;
        r->Segment[0].Length = static_cast<uint32_t>(w.size() * 4);
        std::memcpy(r->Data, w.data(), w.size() * 4);
        return r;
    }
};

Reply::Socket Module(uint32_t type, uint32_t state)
{
    return {type, std::vector<uint32_t>(ModuleCsms(type) * ModulePumps(type), state)};
}

std::map<int, unsigned> ImagesOf(const GridRefresh& r)
{
    std::map<int, unsigned> m;
    for (const auto& i : r.Images) {
        EXPECT_EQ(m.count(i.Control), 0u) << "lamp " << i.Control << " set twice";
        m[i.Control] = i.Image;
    }
    return m;
}

TEST(StatusGridReply, TheFirstReplySetsEveryLampAndASteadyLineNone)
{
    GridState state;
    state.Reset(5);  // the default board's line 0: five sockets, the page shows four
    Reply reply;
    for (int s = 0; s < 5; s++) reply.sockets.push_back(Module(4, 1));
    reply.sockets[4].pumps.assign(6, 6);

    GridRefresh first = ReadPortStatus(*reply.Record(), state);
    ASSERT_EQ(first.Outcome, GridOutcome::Drawn);
    auto images = ImagesOf(first);
    EXPECT_EQ(images.size(), 2u + 31u + 4u * 6u);
    EXPECT_EQ(images[kLayer1Control], kImageConnected);
    EXPECT_EQ(images[kLayer2Control], kImageConnected);
    EXPECT_EQ(images[ChannelControl(1)], kImageIdle);
    EXPECT_EQ(images[ChannelControl(24)], kImageDChannel);
    EXPECT_EQ(images[ChannelControl(31)], kImageNotPresent) << "a T1 line's channels past 24 still get lamps";
    for (uint32_t s = 0; s < 4; s++)
        for (uint32_t c = 0; c < 2; c++)
            for (uint32_t p = 0; p < kPumps; p++)
                EXPECT_EQ(images.count(PumpControl(s, c, p)), p < 3 ? 1u : 0u)
                    << "type 4 lights pumps 0 to 2 of both processors only: " << s << c << p;
    for (bool b : first.ShowNoModule) EXPECT_FALSE(b);

    GridRefresh again = ReadPortStatus(*reply.Record(), state);
    EXPECT_EQ(again.Outcome, GridOutcome::Drawn);
    EXPECT_TRUE(again.Images.empty()) << "a steady line redraws nothing";

    // A call on channel 3 and pump 1 of module 2's second processor.
    reply.channels[3] = 10;
    reply.sockets[2].pumps[3 + 1] = 6;
    auto changed = ImagesOf(ReadPortStatus(*reply.Record(), state));
    EXPECT_EQ(changed, (std::map<int, unsigned>{{ChannelControl(3), kImageConnected},
                                                {PumpControl(2, 1, 1), kImageConnected}}));

    // After a line change every lamp is set again.
    state.Reset(5);
    EXPECT_EQ(ReadPortStatus(*reply.Record(), state).Images.size(), 2u + 31u + 4u * 6u);
}

TEST(StatusGridReply, SocketsWithoutAModuleShowNoModuleOnce)
{
    GridState state;
    state.Reset(1);  // one socket serves the line
    Reply reply;
    reply.sockets.push_back(Module(6, 2));
    GridRefresh r = ReadPortStatus(*reply.Record(), state);
    EXPECT_FALSE(r.ShowNoModule[0]);
    EXPECT_TRUE(r.ShowNoModule[1] && r.ShowNoModule[2] && r.ShowNoModule[3]);
    EXPECT_EQ(ImagesOf(r).size(), 2u + 31u + 24u);
    GridRefresh again = ReadPortStatus(*reply.Record(), state);
    EXPECT_TRUE(again.Images.empty());
    EXPECT_FALSE(again.ShowNoModule[1]) << "shown once, not redrawn every tick";

    // A type outside the table: the socket is not present from then on, even when the
    // next reply names a known type again.
    for (uint32_t bad : {0u, 25u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(bad);
        state.Reset(2);
        Reply two;
        two.sockets = {Module(4, 1), {bad, {6, 6, 6}}};
        GridRefresh u = ReadPortStatus(*two.Record(), state);
        EXPECT_TRUE(u.ShowNoModule[1]);
        EXPECT_FALSE(u.ShowNoModule[0]);
        EXPECT_FALSE(state.ModulePresent[1]);
        two.sockets[1] = Module(4, 6);
        auto later = ImagesOf(ReadPortStatus(*two.Record(), state));
        EXPECT_EQ(later.count(PumpControl(1, 0, 0)), 0u);
    }
}

TEST(StatusGridReply, ARefusedOrShortReplyChangesNothing)
{
    GridState state;
    state.Reset(1);
    Reply reply;
    reply.sockets.push_back(Module(4, 1));
    ASSERT_EQ(ReadPortStatus(*reply.Record(), state).Outcome, GridOutcome::Drawn);
    GridState before = state;
    reply.channels[5] = 10;
    reply.layer1 = 1;

    auto refused = reply.Record(0xF0000003);
    GridRefresh r = ReadPortStatus(*refused, state);
    EXPECT_EQ(r.Outcome, GridOutcome::Refused);
    EXPECT_TRUE(r.Images.empty());

    auto shortReply = reply.Record();
    shortReply->Segment[0].Length = (kHeadWords - 1) * 4;
    EXPECT_EQ(ReadPortStatus(*shortReply, state).Outcome, GridOutcome::Incomplete);
    auto inHeader = reply.Record();
    inHeader->Segment[0].Offset = 8;
    EXPECT_EQ(ReadPortStatus(*inHeader, state).Outcome, GridOutcome::Incomplete);
    auto pastEnd = reply.Record();
    pastEnd->Segment[0].Offset = kBackdoorRequestSize;
    EXPECT_EQ(ReadPortStatus(*pastEnd, state).Outcome, GridOutcome::Incomplete);
    EXPECT_EQ(std::memcmp(&before, &state, sizeof state), 0);

    // Words cut off inside a socket: what is there is taken, the socket without its type
    // has no module, and nothing is read past the segment.
    GridState cut;
    cut.Reset(3);
    Reply three;
    three.sockets = {Module(4, 1), Module(4, 2)};
    auto record = three.Record();
    record->Segment[0].Length = (kHeadWords + 2 + 6 + 2 + 2) * 4;
    std::memset(record->Data + record->Segment[0].Length, 0x33, 64);
    GridRefresh c = ReadPortStatus(*record, cut);
    EXPECT_EQ(c.Outcome, GridOutcome::Drawn);
    EXPECT_EQ(cut.Pumps[1][0][1], 2u);
    EXPECT_EQ(cut.Pumps[1][0][2], kUnknown);
    EXPECT_TRUE(c.ShowNoModule[2]);
    // A length past the record is bounded by it.
    auto huge = three.Record();
    huge->Segment[0].Offset = kBackdoorRequestSize - 8;
    huge->Segment[0].Length = 0xFFFFFFFF;
    EXPECT_EQ(ReadPortStatus(*huge, cut).Outcome, GridOutcome::Incomplete);
}

TEST(StatusGridReply, ANewProtocolRedrawsEveryChannel)
{
    GridState state;
    state.Reset(0);
    Reply reply;
    reply.protocol = 0;
    std::fill(std::begin(reply.channels), std::end(reply.channels), 2);
    ReadPortStatus(*reply.Record(), state);
    reply.protocol = 1;  // the same words now mean ISDN states
    auto images = ImagesOf(ReadPortStatus(*reply.Record(), state));
    EXPECT_EQ(images.size(), 31u);
    EXPECT_EQ(images[ChannelControl(7)], kImageEstablishing);
}

// ---- the page on the served board ------------------------------------------------------------

class StatusGridPageTest : public AppletTest {
protected:
    void SetUp() override
    {
        AppletTest::SetUp();
        ChangeHive([](plat::reg::Registry& r) { r.set_dword(kParameters, "DebugPagesOn", 1); });
    }
    static CMyPropertyPage8& Open(CMyPropertySheet& sheet)
    {
        afxtest::SelectSheetPage(&sheet, sheet.GetPageIndex(&sheet.m_StatusGridPage));
        return sheet.m_StatusGridPage;
    }
};

// The line comes up and a far-end call connects on channel 3: the grid follows while it is
// the active page, redraws only what changed, and stops asking once the user leaves it.
TEST_F(StatusGridPageTest, TheGridFollowsTheLineAndAFarEndCallWhileActive)
{
    StartSim();
    // The driver itself answers calls on a link of line 0.
    Link* l = nullptr;
    sim->Do([&] { rig::with_adapter_lock(sim->adapter(), [&] { l = LinkAcquire(sim->adapter(), 0, 0, 2, OWNER_DRIVER); }); });
    ASSERT_NE(l, nullptr);
    OpenApplet([&](CMyPropertySheet& sheet) {
        CMyPropertyPage8& page = sheet.m_StatusGridPage;
        ASSERT_EQ(sheet.GetPage(0)->GetTitle(), "ZELVX24/30 Adapter #1");
        EXPECT_NE(sheet.GetPageIndex(&page), -1) << "the common pages follow the adapter page";
        EXPECT_EQ(page.GetTitle(), "Monitor");
        EXPECT_EQ(page.m_AutoRefresh, 0u) << "no refresh before the page is shown";

        Open(sheet);
        auto* tabs = static_cast<CTabCtrl*>(page.GetDlgItem(kLineTabs));
        ASSERT_NE(tabs, nullptr);
        EXPECT_EQ(tabs->GetItemCount(), 1) << "a one-line board";
        EXPECT_EQ(page.m_AutoRefresh, 1u);
        EXPECT_FALSE(page.GetDlgItem(kE1ChannelsLabel)->IsWindowVisible()) << "a T1 line";
        EXPECT_EQ(page.ShownImage(kLayer1Control), kImageConnected);
        EXPECT_EQ(page.ShownImage(kLayer2Control), kImageConnected);
        EXPECT_EQ(page.ShownImage(ChannelControl(3)), kImageIdle);
        EXPECT_EQ(page.ShownImage(ChannelControl(24)), kImageDChannel);
        for (uint32_t s = 0; s < kSockets; s++) {
            EXPECT_EQ(page.ShownImage(PumpControl(s, 0, 0)), kImageIdle) << s;
            EXPECT_EQ(page.ShownImage(PumpControl(s, 1, 2)), kImageIdle) << s;
            EXPECT_EQ(page.ShownImage(PumpControl(s, 0, 3)), 0u) << "past the module's pumps: untouched";
            EXPECT_FALSE(page.GetDlgItem(NoModuleControl(s))->IsWindowVisible());
        }
        CString status;
        page.GetDlgItemText(kStatusText, status);
        EXPECT_EQ(status, "");

        uint64_t drawn = page.m_ImagesSet;
        page.Refresh(0);
        EXPECT_EQ(page.m_ImagesSet, drawn) << "a steady line redraws nothing";

        // The timer asks again every 2000 ms while the page is active.
        sheet.m_Request.Action = 0xDEAD;
        EXPECT_TRUE(PumpUntil([&] { return sheet.m_Request.Action == 26; }, 5));

        std::optional<sim::CallKey> key;
        sim->Do([&] { key = sim->net->offer_call(3, "5551002", "4165550199", sim::q931::Bearer::speech(false)); });
        ASSERT_TRUE(key.has_value());
        ASSERT_TRUE(PumpUntil([&] { return page.ShownImage(ChannelControl(3)) == kImageConnected; }, 15))
            << page.m_Grid.Channels[3];
        int connected = 0;
        for (uint32_t s = 0; s < kSockets; s++)
            for (uint32_t c = 0; c < 2; c++)
                for (uint32_t p = 0; p < 3; p++) connected += page.ShownImage(PumpControl(s, c, p)) == kImageConnected;
        EXPECT_EQ(connected, 1) << "one pump carries the call";
        EXPECT_EQ(page.ShownImage(ChannelControl(4)), kImageIdle);
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("status-grid-call-connected")));

        // Leaving the page stops the requests.
        afxtest::SelectSheetPage(&sheet, 0);
        EXPECT_EQ(page.m_AutoRefresh, 0u);
        sheet.m_Request.Action = 0xDEAD;
        uint64_t before = page.m_ImagesSet;
        sim->Do([&] { sim->net->clear_call(*key); });
        PumpUntil([] { return false; }, 3);
        EXPECT_EQ(sheet.m_Request.Action, 0xDEADu) << "no request while another page is shown";
        EXPECT_EQ(page.m_ImagesSet, before);

        // Coming back refreshes at once: the call is gone.
        Open(sheet);
        EXPECT_EQ(page.m_AutoRefresh, 1u);
        EXPECT_TRUE(PumpUntil([&] { return page.ShownImage(ChannelControl(3)) == kImageIdle; }, 10));
        afxtest::CloseWindow(&sheet);
    });
}

// A refused reply is not drawn: the lamps stay and the page says why.
TEST_F(StatusGridPageTest, ARefusedReplyShowsItsStatusAndKeepsTheLamps)
{
    StartSim();
    OpenApplet([&](CMyPropertySheet& sheet) {
        CMyPropertyPage8& page = Open(sheet);
        ASSERT_EQ(page.ShownImage(kLayer1Control), kImageConnected);
        uint64_t drawn = page.m_ImagesSet;
        grid::GridState kept = page.m_Grid;
        page.Refresh(3);  // no such line on this board
        EXPECT_NE(sheet.m_Request.Status, 0u);
        EXPECT_EQ(page.m_ImagesSet, drawn);
        EXPECT_EQ(std::memcmp(&kept, &page.m_Grid, sizeof kept), 0);
        EXPECT_EQ(page.ShownImage(kLayer1Control), kImageConnected);
        CString status;
        page.GetDlgItemText(kStatusText, status);
        EXPECT_EQ(status, CMyPropertySheet::StatusText(sheet.m_Request).c_str());
        EXPECT_NE(status.Find("refused"), -1) << status.str();
        EXPECT_NE(status.Find("(status 0xF"), -1) << "in hexadecimal, as Device Manager shows it: " << status.str();
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("status-grid-refused")));

        // The next good reply clears it.
        page.Refresh(0);
        page.GetDlgItemText(kStatusText, status);
        EXPECT_EQ(status, "");

        // A send that does not reach the driver changes nothing.
        sheet.m_CurrentAdapter = sheet.m_AdapterCount;
        sheet.m_Request.Action = 0;
        page.Refresh(0);
        EXPECT_EQ(page.m_ImagesSet, drawn);
        sheet.m_CurrentAdapter = 0;
        afxtest::CloseWindow(&sheet);
    });
}

// An E1 line shows the label of channels 25 to 31; choosing a line sets every lamp again.
TEST_F(StatusGridPageTest, AnE1LineShowsItsLabelAndALineChoiceRedrawsEveryLamp)
{
    ChangeHive([](plat::reg::Registry& r) { r.set_dword(kParameters, "LineMode_0", 1); });
    StartSim(false);
    OpenApplet([&](CMyPropertySheet& sheet) {
        CMyPropertyPage8& page = Open(sheet);
        EXPECT_TRUE(page.GetDlgItem(kE1ChannelsLabel)->IsWindowVisible());
        auto* tabs = static_cast<CTabCtrl*>(page.GetDlgItem(kLineTabs));
        ASSERT_EQ(tabs->GetItemCount(), 1);
        EXPECT_GT(page.m_ImagesSet, 0u);
        uint64_t steady = page.m_ImagesSet;
        page.Refresh(0);
        EXPECT_EQ(page.m_ImagesSet, steady);

        // The tab control tells the page that the user chose a line.
        NMHDR hdr{};
        hdr.hwndFrom = tabs->GetSafeHwnd();
        hdr.code = TCN_SELCHANGE;
        page.SendMessage(WM_NOTIFY, kLineTabs, reinterpret_cast<LPARAM>(&hdr));
        EXPECT_EQ(page.m_SelectedLine, 0u);
        EXPECT_EQ(page.m_AutoRefresh, 1u);
        EXPECT_GE(page.m_ImagesSet - steady, 2u + 31u) << "every lamp after a line change";
        EXPECT_TRUE(page.GetDlgItem(kE1ChannelsLabel)->IsWindowVisible());
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("status-grid-e1")));
        afxtest::CloseWindow(&sheet);
    });
}

// On a board of four lines each line has its tab; a line the driver refuses shows its
// status and none of the previous line's lamps; going back draws the line again.
TEST_F(StatusGridPageTest, EachLineHasItsTabAndARefusedLineShowsNoLampsOfAnother)
{
    StartSim();
    OpenApplet([&](CMyPropertySheet& sheet) {
        sheet.m_pBoardRow = &applet::BoardTypeTable[7];  // four lines, one socket each
        CMyPropertyPage8& page = Open(sheet);
        auto* tabs = static_cast<CTabCtrl*>(page.GetDlgItem(kLineTabs));
        ASSERT_EQ(tabs->GetItemCount(), 4);
        ASSERT_EQ(page.ShownImage(kLayer1Control), kImageConnected);
        EXPECT_EQ(page.ShownImage(PumpControl(0, 0, 0)), kImageIdle);
        EXPECT_TRUE(page.GetDlgItem(NoModuleControl(1))->IsWindowVisible()) << "one socket serves line 0";
        EXPECT_EQ(page.ShownImage(PumpControl(1, 0, 0)), kImageNotPresent);
        for (uint32_t c = 0; c < 2; c++)
            for (uint32_t p = 0; p < kPumps; p++)
                EXPECT_FALSE(page.GetDlgItem(PumpControl(1, c, p))->IsWindowVisible())
                    << "the notice stands in place of the pump rows";
        EXPECT_TRUE(page.GetDlgItem(PumpControl(0, 1, 0))->IsWindowVisible());

        afxtest::SelectTab(&page, kLineTabs, 2);  // the simulated board has one line
        EXPECT_EQ(page.m_SelectedLine, 2u);
        EXPECT_EQ(page.m_AutoRefresh, 1u);
        EXPECT_EQ(sheet.m_Request.Arg[0], 2u);
        CString status;
        page.GetDlgItemText(kStatusText, status);
        EXPECT_NE(status.Find("refused"), -1) << status.str();
        EXPECT_EQ(page.ShownImage(kLayer1Control), kImageNotPresent);
        EXPECT_EQ(page.ShownImage(ChannelControl(24)), kImageNotPresent);
        EXPECT_EQ(page.ShownImage(PumpControl(0, 0, 0)), kImageNotPresent);
        EXPECT_FALSE(page.GetDlgItem(NoModuleControl(1))->IsWindowVisible()) << "nothing known of line 2 yet";

        afxtest::SelectTab(&page, kLineTabs, 0);
        EXPECT_EQ(page.ShownImage(kLayer1Control), kImageConnected);
        EXPECT_EQ(page.ShownImage(PumpControl(0, 0, 0)), kImageIdle);
        page.GetDlgItemText(kStatusText, status);
        EXPECT_EQ(status, "");
        sheet.m_pBoardRow = &applet::BoardTypeTable[4];
        afxtest::CloseWindow(&sheet);
    });
}

// The four-line board served: a tab per line; the robbed-bit line's channels are drawn by
// the robbed-bit states, the E1 line shows its label, and each line has its one module.
TEST_F(StatusGridPageTest, FourLineBoardShowsEachLineByItsOwnProtocolAndMode)
{
    ChangeHive([](plat::reg::Registry& r) {
        r.set_dword(kParameters, "AdapterID", 7);
        for (int k = 0; k < 4; k++)
            r.set_dword(kParameters, "ModuleID_" + std::to_string(k), 6);
        r.set_dword(kParameters, "SignallingProtocol_2", 4);
        r.set_dword(kParameters, "LineMode_2", 1);
        r.set_dword(kParameters, "SignallingProtocol_3", 0);
    });
    StartSim(false);
    OpenApplet([&](CMyPropertySheet& sheet) {
        CMyPropertyPage8& page = Open(sheet);
        auto* tabs = static_cast<CTabCtrl*>(page.GetDlgItem(kLineTabs));
        ASSERT_EQ(tabs->GetItemCount(), 4);
        EXPECT_FALSE(page.GetDlgItem(kE1ChannelsLabel)->IsWindowVisible());
        EXPECT_TRUE(page.GetDlgItem(NoModuleControl(1))->IsWindowVisible()) << "one socket serves each line";

        afxtest::SelectTab(&page, kLineTabs, 3);
        EXPECT_EQ(page.m_Grid.SignallingProtocol, 0u);
        CString status;
        page.GetDlgItemText(kStatusText, status);
        EXPECT_EQ(status, "") << status.str();
        for (uint32_t n = 1; n <= 31; n++)
            EXPECT_EQ(page.ShownImage(ChannelControl(n)), ChannelImage(0, page.m_Grid.Channels[n])) << n;
        EXPECT_NE(page.ShownImage(ChannelControl(24)), kImageDChannel) << "robbed bit has no D channel";
        EXPECT_FALSE(page.GetDlgItem(kE1ChannelsLabel)->IsWindowVisible());
        EXPECT_NE(page.ShownImage(PumpControl(0, 1, 11)), 0u) << "the line's module: two processors of twelve pumps";
        EXPECT_TRUE(page.GetDlgItem(NoModuleControl(1))->IsWindowVisible());

        afxtest::SelectTab(&page, kLineTabs, 2);
        EXPECT_EQ(page.m_Grid.SignallingProtocol, 4u);
        EXPECT_TRUE(page.GetDlgItem(kE1ChannelsLabel)->IsWindowVisible());
        EXPECT_EQ(page.ShownImage(ChannelControl(16)), kImageDChannel) << "an E1 line's D channel";
        EXPECT_TRUE(afxtest::SaveImage(&sheet, ShotPath("status-grid-four-lines-e1")));
        afxtest::CloseWindow(&sheet);
    });
}

// The common pages come right after the first adapter that asks for them.
TEST_F(AppletTest, CommonPagesFollowTheFirstAdapterWithDebugPages)
{
    ChangeHive([&](plat::reg::Registry& r) {
        r.set_dword(kParameters, "DebugPagesOn", 1);
        std::string text = r.save_reg(kParameters);
        for (size_t at; (at = text.find("VORNET1")) != std::string::npos;) text.replace(at, 7, "VORNET2");
        ASSERT_TRUE(r.load_reg(text).ok);
        std::string second = kParameters;
        second.replace(second.find("VORNET1"), 7, "VORNET2");
        r.set_dword(second, "DebugPagesOn", 1);
    });
    StartSim(false, 2);
    afxtest::RunModal([](CWnd* dialog) { afxtest::Click(dialog, IDOK); });
    std::vector<std::string> titles;
    OpenApplet([&](CMyPropertySheet& sheet) {
        for (int i = 0; i < sheet.GetPageCount(); i++) titles.push_back(sheet.GetPage(i)->GetTitle().str());
        afxtest::CloseWindow(&sheet);
    });
    EXPECT_EQ(titles, (std::vector<std::string>{"ZELVX24/30 Adapter #1", "Signalling", "Monitor", "Device Manager",
                                                  "ZELVX24/30 Adapter #2"}));
}

}  // namespace
