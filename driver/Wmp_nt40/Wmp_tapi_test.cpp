// The WAN links' NDIS side and the NDIS TAPI provider on the default board: request
// lengths and answers, handle and device-ID lookups, lines opened and closed, calls
// offered, answered, placed, timed out, dropped, and the adapter reset.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_tspi.h"
#include "driver/Wmp_nt40/Wmp_wspi.h"
#include "tools/harness/rig.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Answer {
    NDIS_STATUS status;
    ULONG done;
    ULONG needed;
};

class TapiTest : public ::testing::Test {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        ASSERT_EQ(r.load_driver(), 0);
        r.add_board_for(1, 4);
        na = r.initialize(1);
        a = rig::Rig::driver_adapter(na);
        ASSERT_NE(a, nullptr);
        ASSERT_EQ(a->LinksPerGroup[0], 23u);
    }

    void TearDown() override
    {
        if (na != nullptr) {
            r.halt(na);
        }
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }

    Answer query(NDIS_OID oid, void* buf, ULONG len)
    {
        Answer x{};
        x.status = r.host.ndis().query(na, oid, buf, len, &x.done, &x.needed);
        return x;
    }
    Answer set(NDIS_OID oid, void* buf, ULONG len)
    {
        Answer x{};
        x.status = r.host.ndis().set(na, oid, buf, len, &x.done, &x.needed);
        return x;
    }
    template <class T>
    NDIS_STATUS query(NDIS_OID oid, T& req)
    {
        return query(oid, &req, sizeof req).status;
    }
    template <class T>
    NDIS_STATUS set(NDIS_OID oid, T& req)
    {
        return set(oid, &req, sizeof req).status;
    }

    // Locked entries, as call control and the adapter timer make them.
    template <class F>
    void locked(F f)
    {
        NdisAcquireSpinLock(&a->AdapterSpinLock);
        f();
        NdisReleaseSpinLock(&a->AdapterSpinLock);
    }

    Link* link(ULONG i) { return &a->NdisWanInfo[0][i]; }

    ULONG open_line(ULONG device, ULONG htLine = 0x600)
    {
        NDIS_TAPI_OPEN o{};
        o.ulDeviceID = device;
        o.htLine = htLine;
        EXPECT_EQ(query(OID_TAPI_OPEN, o), NDIS_STATUS_SUCCESS);
        return o.hdLine;
    }

    // Every indication made since the mark, decoded.
    size_t mark() { return na->indications.size(); }
    std::vector<NDIS_TAPI_EVENT> tapi_events(size_t from = 0)
    {
        std::vector<NDIS_TAPI_EVENT> out;
        for (size_t i = from; i < na->indications.size(); i++) {
            const auto& ind = na->indications[i];
            if (ind.status != NDIS_STATUS_TAPI_INDICATION) continue;
            EXPECT_EQ(ind.buffer.size(), sizeof(NDIS_TAPI_EVENT));
            NDIS_TAPI_EVENT e;
            std::memcpy(&e, ind.buffer.data(), sizeof e);
            out.push_back(e);
        }
        return out;
    }
    std::vector<ULONG> call_states(size_t from)
    {
        std::vector<ULONG> s;
        for (const auto& e : tapi_events(from))
            if (e.ulMsg == LINE_CALLSTATE) s.push_back(e.ulParam1);
        return s;
    }
    size_t count_status(NDIS_STATUS st, size_t from = 0)
    {
        size_t n = 0;
        for (size_t i = from; i < na->indications.size(); i++) n += na->indications[i].status == st;
        return n;
    }
};

// ---- request lengths ----

TEST_F(TapiTest, EveryTapiRequestChecksItsLengthAndAnswersItsOwnCode)
{
    struct Case {
        NDIS_OID oid;
        bool is_set;
        ULONG min;
        NDIS_STATUS zeroed;  // answer to a zero-filled request of the minimum length
    };
    const Case cases[] = {
        {OID_TAPI_DEV_SPECIFIC, false, 21, 0xC0012011},      {OID_TAPI_GET_ADDRESS_CAPS, false, 192, 0},
        {OID_TAPI_GET_ADDRESS_ID, false, 21, 0xC0012011},    {OID_TAPI_GET_ADDRESS_STATUS, false, 76, 0xC0012011},
        {OID_TAPI_GET_CALL_ADDRESS_ID, false, 12, 0xC001200D}, {OID_TAPI_GET_CALL_INFO, false, 304, 0xC001200D},
        {OID_TAPI_GET_CALL_STATUS, false, 44, 0xC001200D},   {OID_TAPI_GET_DEV_CAPS, false, 248, 0},
        {OID_TAPI_GET_EXTENSION_ID, false, 24, 0},           {OID_TAPI_GET_ID, false, 52, 0xC0012010},
        {OID_TAPI_GET_LINE_DEV_STATUS, false, 84, 0xC0012011}, {OID_TAPI_MAKE_CALL, false, 140, 0xC0012011},
        {OID_TAPI_PROVIDER_INITIALIZE, false, 16, 0},        {OID_TAPI_ACCEPT, true, 13, 0xC001200D},
        {OID_TAPI_ANSWER, true, 13, 0xC001200D},             {OID_TAPI_CLOSE, true, 8, 0xC0012011},
        {OID_TAPI_CLOSE_CALL, true, 8, 0xC001200D},          {OID_TAPI_CONDITIONAL_MEDIA_DETECTION, true, 124, 0xC0012011},
        {OID_TAPI_DROP, true, 13, 0xC001200D},               {OID_TAPI_PROVIDER_SHUTDOWN, true, 4, 0},
        {OID_TAPI_SET_APP_SPECIFIC, true, 12, 0xC001200D},   {OID_TAPI_SET_CALL_PARAMS, true, 40, 0xC001200D},
        {OID_TAPI_SET_DEFAULT_MEDIA_DETECTION, true, 12, 0xC0012011}, {OID_TAPI_SET_MEDIA_MODE, true, 12, 0xC001200D},
        {OID_TAPI_SET_STATUS_MESSAGES, true, 16, 0xC0012011}, {OID_TAPI_OPEN, false, 16, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "oid 0x" << c.oid);
        Bytes b(c.min + 8, 0);
        for (ULONG len : {0u, c.min - 1}) {
            Answer x = c.is_set ? set(c.oid, b.data(), len) : query(c.oid, b.data(), len);
            EXPECT_EQ(x.status, NDIS_STATUS_INVALID_LENGTH) << len;
            EXPECT_EQ(x.needed, c.min) << len;
            EXPECT_EQ(x.done, 0u) << len;
        }
        Answer x{};
        x = c.is_set ? set(c.oid, nullptr, c.min) : query(c.oid, nullptr, c.min);
        EXPECT_EQ(x.status, NDIS_STATUS_INVALID_LENGTH) << "no buffer at all";
        x = c.is_set ? set(c.oid, b.data(), c.min) : query(c.oid, b.data(), c.min);
        EXPECT_EQ(x.status, c.zeroed);
        EXPECT_EQ(x.done, c.min);
        EXPECT_EQ(x.needed, c.is_set ? c.min : 0u);
    }
    // The other direction of a TAPI OID, a TAPI OID nobody serves, and OIDs beyond the set.
    Bytes b(400, 0);
    struct Other {
        NDIS_OID oid;
        bool is_set;
        NDIS_STATUS status;
    };
    const Other others[] = {
        {OID_TAPI_ANSWER, false, 0xC0012016}, {OID_TAPI_OPEN, true, 0xC0012016}, {OID_TAPI_DIAL, true, 0xC0012016},
        {OID_TAPI_NEGOTIATE_EXT_VERSION, false, 0xC0012016}, {0x07030123, false, NDIS_STATUS_INVALID_OID},
        {0x07030100, true, NDIS_STATUS_INVALID_OID},
    };
    for (const Other& o : others) {
        SCOPED_TRACE(testing::Message() << std::hex << "oid 0x" << o.oid);
        Answer x = o.is_set ? set(o.oid, b.data(), 400) : query(o.oid, b.data(), 400);
        EXPECT_EQ(x.status, o.status);
        EXPECT_EQ(x.done, 0u);
        EXPECT_EQ(x.needed, 0u);
    }
}

// ---- general and WAN OIDs ----

TEST_F(TapiTest, GeneralAndWanQueriesAnswerTheirValueOrTheLengthTheyNeed)
{
    struct Case {
        NDIS_OID oid;
        Bytes value;  // empty: answered INVALID_OID
    };
    auto word = [](ULONG v) { return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; };
    Bytes description(50, 0);
    std::memcpy(description.data(), "Quorlane Systems Dravenport Adapter", 35);
    Bytes wanInfo(40);
    std::memcpy(wanInfo.data(), &a->WanInfo, 40);
    const Case cases[] = {
        {0x00010102, word(0)},      {0x00010103, word(3)},    {0x00010104, word(3)},    {0x00010105, word(2046)},
        {0x00010106, word(2014)},   {0x00010107, word(64000)}, {0x0001010A, word(2046)}, {0x0001010F, word(2046)},
        {0x00010111, word(2046)},   {0x00010113, word(14)},   {0x04010105, word(2)},    {0x00010110, Bytes{0x00, 0x04}},
        {0x0001010C, Bytes{'Q', 'L', 'S', 0}}, {0x0001010D, description},
        {0x04010101, Bytes{'Q', 'L', 'S', 'I', 'D', '1'}}, {0x04010102, Bytes{'Q', 'L', 'S', 'I', 'D', '1'}},
        {0x04010107, wanInfo},      {0x0001010E, {}},         {0x00010112, {}},         {0x04010103, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "oid 0x" << c.oid);
        Bytes b(64, 0xEE);
        if (c.value.empty()) {
            Answer x = query(c.oid, b.data(), 64);
            EXPECT_EQ(x.status, NDIS_STATUS_INVALID_OID);
            EXPECT_EQ(x.done, 0u);
            continue;
        }
        ULONG n = ULONG(c.value.size());
        for (ULONG len : {0u, n - 1}) {
            Answer x = query(c.oid, b.data(), len);
            EXPECT_EQ(x.status, NDIS_STATUS_INVALID_LENGTH) << len;
            EXPECT_EQ(x.needed, n) << len;
            EXPECT_EQ(b[0], 0xEE) << "nothing written on a short buffer";
        }
        Bytes exact(n, 0xEE);
        Answer e = query(c.oid, exact.data(), n);
        EXPECT_EQ(e.status, NDIS_STATUS_SUCCESS) << "a buffer of exactly the length";
        EXPECT_EQ(exact, c.value);
        Answer x = query(c.oid, b.data(), 64);
        EXPECT_EQ(x.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(x.done, n);
        EXPECT_EQ(x.needed, n);
        EXPECT_EQ(Bytes(b.begin(), b.begin() + n), c.value);
    }
    EXPECT_EQ(a->WanInfo.MaxFrameSize, 2014u);
    EXPECT_EQ(a->WanInfo.FramingBits, 0x80000F00u);

    // The supported list: 59 OIDs, the last the vendor OID.
    Bytes list(236);
    Answer x = query(0x00010101, list.data(), 236);
    ASSERT_EQ(x.status, NDIS_STATUS_SUCCESS);
    ULONG last;
    std::memcpy(&last, &list[232], 4);
    EXPECT_EQ(last, 0xFF000000u);

    // The hardware status follows the adapter's failure mark.
    a->AdapterFailed = 1;
    ULONG hw = 0;
    EXPECT_EQ(query(0x00010102, hw), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(hw, 4u);
    a->AdapterFailed = 0;
}

// The packet filter takes any length; the lookahead is a word, and a buffer too short
// for one is refused rather than reported as read.
TEST_F(TapiTest, GeneralSetsReadNoMoreThanTheBufferHolds)
{
    struct Case {
        NDIS_OID oid;
        ULONG length;
        NDIS_STATUS status;
        ULONG read, needed;
    };
    const Case cases[] = {
        {0x0001010E, 0, NDIS_STATUS_SUCCESS, 0, 0},           {0x0001010E, 7, NDIS_STATUS_SUCCESS, 7, 7},
        {0x0001010F, 0, NDIS_STATUS_INVALID_LENGTH, 0, 4},    {0x0001010F, 3, NDIS_STATUS_INVALID_LENGTH, 0, 4},
        {0x0001010F, 4, NDIS_STATUS_SUCCESS, 4, 4},           {0x0001010F, 8, NDIS_STATUS_SUCCESS, 4, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "oid 0x" << c.oid << std::dec << " length " << c.length);
        Bytes b(8, 0);
        Answer x = set(c.oid, b.data(), c.length);
        EXPECT_EQ(x.status, c.status);
        EXPECT_EQ(x.done, c.read);
        EXPECT_EQ(x.needed, c.needed);
    }
}

TEST_F(TapiTest, VendorOidHandsTheRecordToTheManagementServiceWhateverItsLength)
{
    for (ULONG len : {0u, 3u, 84u, 200u}) {
        SCOPED_TRACE(len);
        Bytes b(len + 4, 0);
        if (len >= 24) std::memcpy(&b[20], "\xEF\xBE\xAD\xDE", 4);  // Status sentinel
        Answer x = query(0xFF000000, len ? b.data() : nullptr, len);
        EXPECT_EQ(x.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(x.done, len);
        EXPECT_EQ(x.needed, len);
        if (len >= 24) {
            ULONG status;
            std::memcpy(&status, &b[20], 4);
            EXPECT_TRUE(status == 0xF0000001u || status == 0xF0000003u) << std::hex << status;  // bad signature / not served
        }
    }
    Bytes b(100);
    EXPECT_EQ(set(0xFF000000, b.data(), 100).status, NDIS_STATUS_INVALID_OID);
}

TEST_F(TapiTest, SetLinkInfoStoresTheRecordOnlyForALinkInUseOfThisAdapter)
{
    NDIS_WAN_SET_LINK_INFO info{};
    info.MaxSendFrameSize = 1500;
    info.SendACCM = 0x000A0000;
    info.RecvACCM = 0xFFFFFFFF;
    Answer x = set(0x04010108, &info, 40);
    EXPECT_EQ(x.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(x.needed, 44u);

    const ULONG refused[] = {0, link(23)->LinkHandle /* not in use */, link(3)->LinkHandle + 0x100, 0xDEADBEEF, 3};
    for (ULONG h : refused) {
        SCOPED_TRACE(h);
        info.NdisLinkHandle = h;
        EXPECT_EQ(set(0x04010108, &info, 44).status, NDIS_STATUS_INVALID_DATA);
        EXPECT_EQ(query(0x04010109, &info, 44).status, NDIS_STATUS_INVALID_DATA);
    }
    EXPECT_EQ(link(3)->WanLinkInfo.SendACCM, 0u) << "nothing stored on a failure";

    info.NdisLinkHandle = link(3)->LinkHandle;
    x = set(0x04010108, &info, 44);
    EXPECT_EQ(x.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(x.done, 44u);
    EXPECT_EQ(link(3)->WanLinkInfo.SendACCM, 0x000A0000u);
    EXPECT_EQ(link(3)->WanLinkInfo.RecvACCM, 0xFFFFFFFFu);

    NDIS_WAN_SET_LINK_INFO got{};
    got.NdisLinkHandle = link(3)->LinkHandle;
    EXPECT_EQ(query(0x04010109, &got, 3).status, NDIS_STATUS_INVALID_LENGTH);
    x = query(0x04010109, &got, 44);
    EXPECT_EQ(x.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(0, std::memcmp(&got, &info, 44));
}

// ---- lookups ----

TEST_F(TapiTest, DeviceIdsMapAcrossGroupsAndRefuseEverythingOutside)
{
    // A record of its own: two groups of 23 and 30 Links in use, device IDs from 100.
    auto* b = static_cast<Adapter*>(calloc(1, sizeof(Adapter)));
    ASSERT_NE(b, nullptr);
    b->NumberOfGroups = 2;
    b->LinksPerGroup[0] = 23;
    b->LinksPerGroup[1] = 30;
    b->DeviceIDBase = 100;
    struct Case {
        ULONG id;
        int group, index;  // -1: none
    };
    const Case cases[] = {{99, -1, -1},  {100, 0, 0},  {122, 0, 22},   {123, 1, 0},
                          {152, 1, 29},  {153, -1, -1}, {0, -1, -1}, {0xFFFFFFFF, -1, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        Link* l = LinkFromDeviceId(b, c.id);
        if (c.group < 0) {
            EXPECT_EQ(l, nullptr);
            continue;
        }
        ASSERT_EQ(l, &b->NdisWanInfo[c.group][c.index]);
        l->GroupID = c.group;
        l->Index = c.index;
        EXPECT_EQ(b->DeviceIDBase + LinkDeviceIndex(b, l), c.id);
    }
    free(b);
}

TEST_F(TapiTest, LineHandlesNameOnlyLinksInUseOfTheirOwnAdapter)
{
    EXPECT_EQ(LinkFromLineHandle(a, link(0)->LinkHandle), link(0));
    EXPECT_EQ(LinkFromLineHandle(a, link(22)->LinkHandle), link(22));
    EXPECT_EQ(LinkFromLineHandle(a, link(23)->LinkHandle), nullptr);
    EXPECT_EQ(LinkFromLineHandle(a, 0), nullptr);
    EXPECT_EQ(LinkFromLineHandle(a, ULONG(uintptr_t(link(0)))), nullptr) << "a truncated pointer is no handle";

    // Another adapter registered in the driver refuses this one's handles.
    auto* b = static_cast<Adapter*>(calloc(1, sizeof(Adapter)));
    b->NumberOfGroups = 1;
    b->LinksPerGroup[0] = 23;
    LinkHandlesRegister(b);
    EXPECT_EQ(LinkFromLineHandle(b, link(0)->LinkHandle), nullptr);
    LinkHandlesUnregister(b);
    free(b);
}

// ---- WAN indications ----

TEST_F(TapiTest, LineUpStoresTheContextNdisGivesAndLineDownIsIndicatedOnce)
{
    Link* l = link(4);
    size_t m = mark();
    locked([&] { LinkLineDown(l); });
    EXPECT_EQ(mark(), m) << "no line-down for a Link that never went up";

    l->LinkSpeed = 56000;
    l->TransferTerminated = 1;
    locked([&] { LinkLineUp(l); });
    ASSERT_EQ(mark(), m + 1);
    const auto& up = na->indications[m];
    ASSERT_EQ(up.status, NDIS_STATUS_WAN_LINE_UP);
    ASSERT_EQ(up.buffer.size(), sizeof(NDIS_MAC_LINE_UP));
    NDIS_MAC_LINE_UP rec;
    std::memcpy(&rec, up.buffer.data(), sizeof rec);
    EXPECT_EQ(rec.LinkSpeed, 560u);
    EXPECT_EQ(rec.Quality, 1u);
    EXPECT_EQ(rec.NdisLinkHandle, l->LinkHandle);
    EXPECT_EQ(rec.ConnectionWrapperID, l->LinkHandle);
    EXPECT_EQ(rec.NdisLinkContext, 0u) << "recorded as sent, before NDISWAN wrote its context";
    EXPECT_NE(l->NdisLinkContext, 0u);
    EXPECT_EQ(l->TransferTerminated, 0);
    NDIS_WAN_LINK_HANDLE context = l->NdisLinkContext;

    locked([&] { LinkFragment(l, WAN_ERROR_TIMEOUT); });
    locked([&] { LinkLineDown(l); });
    locked([&] { LinkLineDown(l); });
    locked([&] { LinkFragment(l, WAN_ERROR_TIMEOUT); });
    ASSERT_EQ(mark(), m + 3) << "one fragment, one line-down, nothing after";
    EXPECT_EQ(na->indications[m + 1].status, NDIS_STATUS_WAN_FRAGMENT);
    EXPECT_EQ(na->indications[m + 1].buffer, (Bytes{uint8_t(context), uint8_t(context >> 8), 0, 0, 0x10, 0, 0, 0}));
    EXPECT_EQ(na->indications[m + 2].status, NDIS_STATUS_WAN_LINE_DOWN);
    EXPECT_EQ(l->NdisLinkContext, 0u);

    // A Link in a raw receive test tells NDISWAN nothing.
    l->InboundBackToBack = 1;
    locked([&] { LinkLineUp(l); });
    EXPECT_EQ(mark(), m + 3);
    l->InboundBackToBack = 0;
}

// ---- lines ----

TEST_F(TapiTest, ProviderInitialiseAndDevCapsNameEveryLine)
{
    NDIS_TAPI_PROVIDER_INITIALIZE init{};
    init.ulDeviceIDBase = 0;
    ASSERT_EQ(query(OID_TAPI_PROVIDER_INITIALIZE, init), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(init.ulNumLineDevs, 23u);

    // Room for everything: provider info, then the name.
    Bytes b(400, 0xEE);
    auto* caps = reinterpret_cast<NDIS_TAPI_GET_DEV_CAPS*>(b.data());
    caps->ulDeviceID = 5;
    caps->LineDevCaps.ulTotalSize = 400 - 12;
    ASSERT_EQ(query(OID_TAPI_GET_DEV_CAPS, b.data(), 400).status, NDIS_STATUS_SUCCESS);
    const LINE_DEV_CAPS& c = caps->LineDevCaps;
    EXPECT_EQ(c.ulNeededSize, 236u + 13 + 17);
    EXPECT_EQ(c.ulUsedSize, c.ulNeededSize);
    EXPECT_EQ(c.ulProviderInfoSize, 13u);
    EXPECT_EQ(c.ulProviderInfoOffset, 236u);
    EXPECT_EQ(0, std::memcmp(b.data() + 12 + 236, "ISDN\0VORNET\0\0", 13));
    EXPECT_EQ(c.ulLineNameSize, 17u);
    EXPECT_STREQ(reinterpret_cast<const char*>(b.data() + 12 + c.ulLineNameOffset), "RIROVE Channel:5");
    EXPECT_EQ(c.ulPermanentLineID, 5u);
    EXPECT_EQ(c.ulMediaModes, 0x102u);
    EXPECT_EQ(c.ulLineStates, 0x40ECEu);

    // A 248-byte request whose structure says 236: the sizes, nothing copied.
    Bytes small(248, 0);
    caps = reinterpret_cast<NDIS_TAPI_GET_DEV_CAPS*>(small.data());
    caps->LineDevCaps.ulTotalSize = 236;
    ASSERT_EQ(query(OID_TAPI_GET_DEV_CAPS, small.data(), 248).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(caps->LineDevCaps.ulNeededSize, 236u + 13 + 17);
    EXPECT_EQ(caps->LineDevCaps.ulUsedSize, 236u);
    EXPECT_EQ(caps->LineDevCaps.ulLineNameSize, 0u);

    // A structure claiming more room than the buffer has gets only what the buffer holds.
    caps->LineDevCaps.ulTotalSize = 4096;
    ASSERT_EQ(query(OID_TAPI_GET_DEV_CAPS, small.data(), 248).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(caps->LineDevCaps.ulUsedSize, 236u);

    // Device IDs outside the provider's range.
    init.ulDeviceIDBase = 10;
    ASSERT_EQ(query(OID_TAPI_PROVIDER_INITIALIZE, init), NDIS_STATUS_SUCCESS);
    for (ULONG id : {9u, 33u, 0xFFFFFFFFu}) {
        caps->ulDeviceID = id;
        EXPECT_EQ(query(OID_TAPI_GET_DEV_CAPS, small.data(), 248).status, 0xC0012015u) << id;
    }
}

TEST_F(TapiTest, LongDeviceNamesAreShortenedAndKeepTheChannel)
{
    CHAR name[TAPI_LINE_NAME_MAX + 1];
    std::memset(a->DeviceName, 'X', DEVICE_NAME_SIZE);  // no NUL at all
    ULONG n = TapiLineName(a, 4000000000u, name);
    EXPECT_EQ(n, 39u);
    EXPECT_EQ(std::string(name), std::string(20, 'X') + " Channel:4000000000");
}

TEST_F(TapiTest, OpenTakesTheLinkForTapiAndCloseGivesItBack)
{
    size_t m = mark();
    ULONG hd = open_line(2, 0x777);
    EXPECT_EQ(hd, link(2)->LinkHandle);
    EXPECT_EQ(link(2)->CurrentOwner, ULONG(OWNER_TELEPHONY_SUBSYSTEM));
    EXPECT_EQ(link(2)->OwnerContext, 0x777u);
    EXPECT_EQ(a->OpenLineCount, 1u);
    auto ev = tapi_events(m);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].htLine, 0x777u);
    EXPECT_EQ(ev[0].ulMsg, ULONG(LINE_LINEDEVSTATE));
    EXPECT_EQ(ev[0].ulParam1, ULONG(LINEDEVSTATE_OPEN));

    NDIS_TAPI_OPEN again{};
    again.ulDeviceID = 2;
    EXPECT_EQ(query(OID_TAPI_OPEN, again), 0xC001201Bu);
    EXPECT_EQ(link(2)->OwnerContext, 0x777u);

    m = mark();
    NDIS_TAPI_CLOSE close{0, hd};
    EXPECT_EQ(set(OID_TAPI_CLOSE, close), NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(tapi_events(m).empty()) << "no LINEDEVSTATE for close, the call was idle";
    EXPECT_EQ(link(2)->CurrentOwner, ULONG(OWNER_NONE));
    EXPECT_EQ(a->OpenLineCount, 0u);
    EXPECT_EQ(set(OID_TAPI_CLOSE, close), 0xC0012011u) << "a closed line's handle is gone";
    EXPECT_EQ(a->OpenLineCount, 0u);
    EXPECT_EQ(open_line(2), hd);

    // A Link a serial port owns can neither be opened nor closed by TAPI.
    ASSERT_NE(LinkAcquire(a, 0, 0, 7, OWNER_VOVIZ4EZ), nullptr);
    NDIS_TAPI_OPEN o{};
    o.ulDeviceID = 7;
    EXPECT_EQ(query(OID_TAPI_OPEN, o), 0xC001201Bu);
    NDIS_TAPI_CLOSE c7{0, link(7)->LinkHandle};
    EXPECT_EQ(set(OID_TAPI_CLOSE, c7), 0xC0012011u);
    EXPECT_EQ(link(7)->CurrentOwner, ULONG(OWNER_VOVIZ4EZ));
}

TEST_F(TapiTest, GetIdAnswersTheLinkHandleOrTheDeviceId)
{
    NDIS_TAPI_PROVIDER_INITIALIZE init{};
    init.ulDeviceIDBase = 40;
    query(OID_TAPI_PROVIDER_INITIALIZE, init);
    ULONG hd = open_line(40 + 6);
    struct Case {
        const char* cls;
        ULONG select;
        ULONG total;
        NDIS_STATUS status;
        ULONG needed, used;
    };
    const Case cases[] = {
        {"NDIS", 1, 100, 0, 33, 33},      {"tapi/LINE", 2, 100, 0, 28, 28}, {"ndis", 4, 24, 0, 33, 24},
        {"ndisx", 1, 100, 0xC0012010, 0, 0}, {"comm", 1, 100, 0xC0012010, 0, 0}, {"ndis", 3, 100, 0xC0000001, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cls);
        Bytes b(200, 0);
        auto* r = reinterpret_cast<NDIS_TAPI_GET_ID*>(b.data());
        r->hdLine = r->hdCall = hd;
        r->ulSelect = c.select;
        r->ulDeviceClassOffset = 160;
        r->ulDeviceClassSize = ULONG(std::strlen(c.cls) + 1);
        std::memcpy(b.data() + 160, c.cls, r->ulDeviceClassSize);
        r->DeviceID.ulTotalSize = c.total;
        ASSERT_EQ(query(OID_TAPI_GET_ID, b.data(), 200).status, c.status);
        if (c.status != 0) continue;
        EXPECT_EQ(r->DeviceID.ulNeededSize, c.needed);
        EXPECT_EQ(r->DeviceID.ulUsedSize, c.used);
        if (c.used == 24) continue;
        EXPECT_EQ(r->DeviceID.ulStringOffset, 24u);
        EXPECT_EQ(r->DeviceID.ulStringFormat, 4u);
        ULONG v;
        std::memcpy(&v, b.data() + 28 + 24, 4);
        if (c.needed == 33) {
            EXPECT_EQ(v, hd);
            EXPECT_STREQ(reinterpret_cast<char*>(b.data() + 28 + 28), "isdn");
        } else {
            EXPECT_EQ(v, 46u);
        }
    }
    // A class that lies outside the request is no class.
    Bytes b(60, 0);
    auto* r = reinterpret_cast<NDIS_TAPI_GET_ID*>(b.data());
    r->hdLine = hd;
    r->ulSelect = 1;
    r->ulDeviceClassOffset = 56;
    r->ulDeviceClassSize = 0xFFFFFFF0;
    EXPECT_EQ(query(OID_TAPI_GET_ID, b.data(), 60).status, 0xC0012010u);
}

TEST_F(TapiTest, StatusMessagesAcceptOnlySupportedStatesAndStoreNothingOnFailure)
{
    ULONG hd = open_line(0);
    struct Case {
        ULONG line, address;
        NDIS_STATUS status;
    };
    const Case cases[] = {{0x10, 0, 0xC0012012}, {0x4, 0x2, 0xC001201C}, {0x10, 0x2, 0xC0012012}, {0x204, 0x5, 0}};
    for (const Case& c : cases) {
        NDIS_TAPI_SET_STATUS_MESSAGES s{0, hd, c.line, c.address};
        EXPECT_EQ(set(OID_TAPI_SET_STATUS_MESSAGES, s), c.status) << c.line;
    }
    EXPECT_EQ(link(0)->LineStatesEnabled, 0x204u);
    EXPECT_EQ(link(0)->AddressStatesEnabled, 0x5u);
}

TEST_F(TapiTest, AddressRequestsCheckTheirArguments)
{
    ULONG hd = open_line(1);
    NDIS_TAPI_GET_ADDRESS_CAPS caps{};
    caps.ulDeviceID = 1;
    caps.LineAddressCaps.ulTotalSize = 176;
    struct Case {
        ULONG addressId, ext, device;
        NDIS_STATUS status;
    };
    const Case cases[] = {{1, 0, 1, 0xC001200A}, {0, 0x20000, 1, 0xC0012007}, {0, 0x10000, 99, 0xC0012015},
                          {0, 0x10000, 1, 0}};
    for (const Case& c : cases) {
        caps.ulAddressID = c.addressId;
        caps.ulExtVersion = c.ext;
        caps.ulDeviceID = c.device;
        EXPECT_EQ(query(OID_TAPI_GET_ADDRESS_CAPS, caps), c.status);
    }
    EXPECT_EQ(caps.LineAddressCaps.ulNeededSize, 176u + 8);  // "5551001" and its NUL do not fit
    EXPECT_EQ(caps.LineAddressCaps.ulUsedSize, 176u);
    EXPECT_EQ(caps.LineAddressCaps.ulCallFeatures, 0xC4u);

    Bytes b(300, 0);
    auto* big = reinterpret_cast<NDIS_TAPI_GET_ADDRESS_CAPS*>(b.data());
    big->ulDeviceID = 1;
    big->LineAddressCaps.ulTotalSize = 300 - 16;
    ASSERT_EQ(query(OID_TAPI_GET_ADDRESS_CAPS, b.data(), 300).status, 0u);
    EXPECT_EQ(big->LineAddressCaps.ulAddressOffset, 176u);
    EXPECT_STREQ(reinterpret_cast<char*>(b.data() + 16 + 176), "5551001");

    NDIS_TAPI_GET_ADDRESS_ID id{};
    id.hdLine = hd;
    id.ulAddressMode = 1;
    EXPECT_EQ(query(OID_TAPI_GET_ADDRESS_ID, id), NDIS_STATUS_FAILURE);
    id.ulAddressMode = 2;
    id.ulAddressSize = 32;
    EXPECT_EQ(query(OID_TAPI_GET_ADDRESS_ID, id), 0xC0012018u);
    id.ulAddressSize = 8;
    EXPECT_EQ(query(OID_TAPI_GET_ADDRESS_ID, id), 0u);

    NDIS_TAPI_GET_ADDRESS_STATUS st{};
    st.hdLine = hd;
    st.ulAddressID = 1;
    EXPECT_EQ(query(OID_TAPI_GET_ADDRESS_STATUS, st), 0xC001200Au);
    st.ulAddressID = 0;
    EXPECT_EQ(query(OID_TAPI_GET_ADDRESS_STATUS, st), 0u);
    EXPECT_EQ(st.LineAddressStatus.ulAddressFeatures, 2u);
    EXPECT_EQ(st.LineAddressStatus.ulNumRingsNoAnswer, 999u);
}

// ---- calls ----

TEST_F(TapiTest, OfferedCallRingsOnceAsNewCallAndTimesOutWithoutAnswer)
{
    ULONG hd = open_line(3, 0x333);
    Link* l = link(3);
    size_t m = mark();
    locked([&] { TapiLineDevStateHandler(a, l, LINEDEVSTATE_RINGING); });
    auto ev = tapi_events(m);
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0].ulMsg, ULONG(LINE_NEWCALL));
    EXPECT_EQ(ev[0].htLine, 0x333u);
    EXPECT_EQ(ev[0].ulParam1, hd);
    ULONG htCall = l->htCall;
    EXPECT_NE(htCall, 0u) << "TAPI's call handle is written back into ulParam2";
    EXPECT_EQ(ev[1].ulMsg, ULONG(LINE_LINEDEVSTATE));
    EXPECT_EQ(ev[1].ulParam2, 1u);
    EXPECT_EQ(ev[1].ulParam3, 1u);
    EXPECT_EQ(ev[2].ulMsg, ULONG(LINE_CALLSTATE));
    EXPECT_EQ(ev[2].htCall, htCall);
    EXPECT_EQ(ev[2].ulParam1, ULONG(LINECALLSTATE_OFFERING));
    EXPECT_EQ(ev[2].ulParam3, 0x100u);

    m = mark();
    locked([&] { TapiLineDevStateHandler(a, l, LINEDEVSTATE_RINGING); });
    ev = tapi_events(m);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].ulMsg, ULONG(LINE_LINEDEVSTATE));
    EXPECT_EQ(ev[0].ulParam3, 2u);

    // The NDIS link of an earlier call still up: the time-out is a WAN fragment too.
    l->NdisLinkContext = 0x4321;
    m = mark();
    r.host.run_for(plat::ms(69900));
    EXPECT_EQ(l->CallState, ULONG(LINECALLSTATE_OFFERING));
    r.host.run_for(plat::ms(200));
    EXPECT_EQ(call_states(m), std::vector<ULONG>{LINECALLSTATE_DISCONNECTED});
    EXPECT_EQ(tapi_events(m).back().ulParam2, ULONG(LINEDISCONNECTMODE_NOANSWER));
    EXPECT_EQ(count_status(NDIS_STATUS_WAN_FRAGMENT, m), 1u);
    EXPECT_EQ(count_status(NDIS_STATUS_WAN_LINE_DOWN, m), 1u) << "the call is cleared";

    NDIS_TAPI_GET_CALL_STATUS cs{};
    cs.hdCall = hd;
    ASSERT_EQ(query(OID_TAPI_GET_CALL_STATUS, cs), 0u);
    EXPECT_EQ(cs.LineCallStatus.ulCallState, ULONG(LINECALLSTATE_DISCONNECTED));
    EXPECT_EQ(cs.LineCallStatus.ulCallStateMode, 0x40u);
    EXPECT_EQ(cs.LineCallStatus.ulCallPrivilege, 4u);
}

TEST_F(TapiTest, AnswerRestartsTheWindowAndConnectedCancelsItAndBringsTheLinkUp)
{
    ULONG hd = open_line(5);
    Link* l = link(5);
    locked([&] { TapiLineDevStateHandler(a, l, LINEDEVSTATE_RINGING); });
    r.host.run_for(plat::ms(60000));
    NDIS_TAPI_ANSWER ans{0, hd, 0, {0}};
    ASSERT_EQ(set(OID_TAPI_ANSWER, ans), 0u);
    EXPECT_EQ(l->CallState, ULONG(LINECALLSTATE_ACCEPTED));
    r.host.run_for(plat::ms(60000));
    EXPECT_EQ(l->CallState, ULONG(LINECALLSTATE_ACCEPTED)) << "answering restarted the 70 s";

    size_t m = mark();
    locked([&] { TapiLineDevStateHandler(a, l, LINEDEVSTATE_CONNECTED); });
    EXPECT_EQ(call_states(m), std::vector<ULONG>{LINECALLSTATE_CONNECTED});
    EXPECT_EQ(count_status(NDIS_STATUS_WAN_LINE_UP, m), 1u);
    EXPECT_NE(l->NdisLinkContext, 0u);
    r.host.run_for(plat::ms(80000));
    EXPECT_EQ(l->CallState, ULONG(LINECALLSTATE_CONNECTED));

    NDIS_TAPI_GET_CALL_INFO info{};
    info.hdCall = hd;
    ASSERT_EQ(query(OID_TAPI_GET_CALL_INFO, info), 0u);
    EXPECT_EQ(info.LineCallInfo.hLine, hd);
    EXPECT_EQ(info.LineCallInfo.ulLineDeviceID, 5u);
    EXPECT_EQ(info.LineCallInfo.ulNeededSize, 296u);

    // The far end clears: disconnected (normal), the NDIS link goes down once.
    m = mark();
    locked([&] { TapiLineDevStateHandler(a, l, LINEDEVSTATE_DISCONNECTED); });
    locked([&] { TapiLineDevStateHandler(a, l, LINEDEVSTATE_DISCONNECTED); });
    EXPECT_EQ(call_states(m), std::vector<ULONG>{LINECALLSTATE_DISCONNECTED});
    EXPECT_EQ(count_status(NDIS_STATUS_WAN_LINE_DOWN, m), 1u);

    NDIS_TAPI_CLOSE_CALL cc{0, hd};
    m = mark();
    ASSERT_EQ(set(OID_TAPI_CLOSE_CALL, cc), 0u);
    EXPECT_EQ(call_states(m), std::vector<ULONG>{LINECALLSTATE_IDLE});
}

TEST_F(TapiTest, MakeCallChecksTheLineTheStateAndTheAddress)
{
    ULONG hd = open_line(0);
    Bytes b(200, 0);
    auto* mc = reinterpret_cast<NDIS_TAPI_MAKE_CALL*>(b.data());
    auto make = [&](const char* dest, ULONG size, ULONG offset = 140) {
        std::fill(b.begin(), b.end(), 0);
        mc->hdLine = hd;
        mc->htCall = 0x9001;
        mc->bUseDefaultLineCallParams = 1;
        mc->ulDestAddressOffset = offset;
        mc->ulDestAddressSize = size;
        if (uint64_t(offset) + size <= b.size()) std::memcpy(b.data() + offset, dest, size);
        return query(OID_TAPI_MAKE_CALL, b.data(), 200).status;
    };
    a->LineUp[0] = 0;
    EXPECT_EQ(make("555", 4), 0xC0012002u) << "D channel down";
    EXPECT_EQ(link(0)->CallState, ULONG(LINECALLSTATE_IDLE));
    a->LineUp[0] = 1;
    EXPECT_EQ(make("", 0), 0xC0012009u);
    EXPECT_EQ(make("RV", 3), 0xC0012009u) << "no digit";
    EXPECT_EQ(make("555", 4, 190), 0xC0012009u) << "address beyond the request";
    EXPECT_EQ(make("555", 0xFFFFFFFF, 150), 0xC0012009u);
    EXPECT_EQ(link(0)->CallState, ULONG(LINECALLSTATE_IDLE));

    link(0)->CallState = LINECALLSTATE_CONNECTED;
    EXPECT_EQ(make("555", 4), 0xC0012008u);
    link(0)->CallState = LINECALLSTATE_IDLE;
    mc->hdLine = link(1)->LinkHandle;  // a line TAPI has not opened
    EXPECT_EQ(query(OID_TAPI_MAKE_CALL, b.data(), 200).status, 0xC0012011u);
}

TEST_F(TapiTest, ADialledCallReportsDialToneThenDiallingAndOneCallPerLine)
{
    r.host.run_for(plat::ms(3000));  // the line and its D channel come up
    ASSERT_EQ(a->LineUp[0], 1);
    ULONG hd = open_line(0, 0x111);
    Bytes b(160, 0);
    auto* mc = reinterpret_cast<NDIS_TAPI_MAKE_CALL*>(b.data());
    mc->hdLine = hd;
    mc->htCall = 0x9001;
    mc->bUseDefaultLineCallParams = 1;
    mc->ulDestAddressOffset = 140;
    mc->ulDestAddressSize = 5;
    std::memcpy(b.data() + 140, "555R", 5);
    size_t m = mark();
    ASSERT_EQ(query(OID_TAPI_MAKE_CALL, b.data(), 160).status, 0u);
    EXPECT_EQ(mc->hdCall, hd);
    Link* l = link(0);
    EXPECT_EQ(l->TransferCaps, 2u);
    EXPECT_EQ(l->LinkSpeed, 56000u);
    EXPECT_EQ(std::string(l->CalledNumber + 1, l->CalledNumber[0]), "555");
    auto ev = tapi_events(m);
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[0].ulParam1, ULONG(LINECALLSTATE_DIALTONE));
    EXPECT_EQ(ev[0].ulParam2, 1u);
    EXPECT_EQ(ev[0].htCall, 0x9001u);
    EXPECT_EQ(ev[1].ulParam1, ULONG(LINECALLSTATE_DIALING));

    EXPECT_EQ(query(OID_TAPI_MAKE_CALL, b.data(), 160).status, 0xC0012008u) << "one call per line";

    NDIS_TAPI_DROP d{0, hd, 0, {0}};
    EXPECT_EQ(set(OID_TAPI_DROP, d), 0u);
    EXPECT_EQ(l->CallState, ULONG(LINECALLSTATE_DISCONNECTED));
}

// The 70-second timer ends offering and accepted with "no answer" (and a WAN fragment
// when an NDIS link is up), dialling with "unreachable", and leaves every other state.
TEST_F(TapiTest, TheCallTimerActsOnlyInOfferingAcceptedAndDialling)
{
    struct Case {
        ULONG state;
        ULONG after;     // call state 70 s later
        ULONG mode;      // DisconnectMode then
        size_t fragments;
    };
    const Case cases[] = {
        {LINECALLSTATE_OFFERING, LINECALLSTATE_DISCONNECTED, 0x40, 1},
        {LINECALLSTATE_ACCEPTED, LINECALLSTATE_DISCONNECTED, 0x40, 1},
        {LINECALLSTATE_DIALING, LINECALLSTATE_DISCONNECTED, 0x100, 0},
        {LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALTONE, 2, 0},  // a modem call waiting for its pump
        {LINECALLSTATE_CONNECTED, LINECALLSTATE_CONNECTED, 2, 0},
    };
    ULONG device = 12;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "state 0x" << c.state);
        open_line(device);
        Link* l = link(device++);
        l->NdisLinkContext = 0x700 + device;  // an NDIS link up
        locked([&] {
            TapiCallStateHandler(a, l, c.state, 0);
            TapiArmCallTimer(l);  // as make call arms it
        });
        size_t m = mark();
        r.host.run_for(plat::ms(69990));
        EXPECT_EQ(l->CallState, c.state);
        r.host.run_for(plat::ms(20));
        EXPECT_EQ(l->CallState, c.after);
        EXPECT_EQ(l->DisconnectMode, c.mode);
        EXPECT_EQ(count_status(NDIS_STATUS_WAN_FRAGMENT, m), c.fragments);
        if (c.after == LINECALLSTATE_DISCONNECTED) {
            EXPECT_EQ(tapi_events(m).back().ulParam2, c.mode);
        }
    }
}

TEST_F(TapiTest, ClosingALineWithACallClearsItAndTakesTheNdisLinkDown)
{
    ULONG hd = open_line(9);
    Link* l = link(9);
    locked([&] {
        TapiLineDevStateHandler(a, l, LINEDEVSTATE_RINGING);
        TapiLineDevStateHandler(a, l, LINEDEVSTATE_CONNECTED);
    });
    ASSERT_NE(l->NdisLinkContext, 0u);
    size_t m = mark();
    NDIS_TAPI_CLOSE c{0, hd};
    ASSERT_EQ(set(OID_TAPI_CLOSE, c), 0u);
    EXPECT_EQ(call_states(m), std::vector<ULONG>{LINECALLSTATE_IDLE}) << "the call is reported idle";
    EXPECT_EQ(count_status(NDIS_STATUS_WAN_LINE_DOWN, m), 1u);
    EXPECT_EQ(l->CurrentOwner, ULONG(OWNER_NONE));
    EXPECT_EQ(l->NdisLinkContext, 0u);
}

TEST_F(TapiTest, DevSpecificFillsTheLineAddressAndRefusesPumpRequestsWithoutAPump)
{
    ULONG hd = open_line(11);
    Bytes b(20 + 84, 0);
    auto* ds = reinterpret_cast<NDIS_TAPI_DEV_SPECIFIC*>(b.data());
    auto* rec = reinterpret_cast<BACKDOOR_REQUEST_HEADER*>(b.data() + 20);
    ds->hdLine = hd;
    ds->ulParamsSize = 84;
    rec->Class = 7;
    rec->Status = 0x1234;
    ASSERT_EQ(query(OID_TAPI_DEV_SPECIFIC, b.data(), ULONG(b.size())).status, 0u);
    EXPECT_EQ(rec->Arg[0], 0u);
    EXPECT_EQ(rec->Arg[1], 11u);
    EXPECT_EQ(rec->Status, 0x1234u);

    rec->Class = 10;
    ASSERT_EQ(query(OID_TAPI_DEV_SPECIFIC, b.data(), ULONG(b.size())).status, 0u);
    EXPECT_EQ(rec->Status, 0xF0000003u);

    ds->ulParamsSize = 85;  // one byte more than NDIS gave
    Answer x = query(OID_TAPI_DEV_SPECIFIC, b.data(), ULONG(b.size()));
    EXPECT_EQ(x.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(x.needed, 105u);
    ds->ulParamsSize = 8;  // too short to be a record, in a buffer long enough: no length would do
    EXPECT_EQ(query(OID_TAPI_DEV_SPECIFIC, b.data(), ULONG(b.size())).status, NDIS_STATUS_INVALID_DATA);
    ds->ulParamsSize = 0xFFFFFFFF;  // more than any buffer: the need does not wrap round to a small one
    x = query(OID_TAPI_DEV_SPECIFIC, b.data(), ULONG(b.size()));
    EXPECT_EQ(x.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(x.needed, 0xFFFFFFFFu);
}

TEST_F(TapiTest, ProviderShutdownReleasesEveryTapiLinkAndClearsTheirCalls)
{
    open_line(0);
    open_line(1);
    Link* l = link(1);
    locked([&] {
        TapiLineDevStateHandler(a, l, LINEDEVSTATE_RINGING);
        TapiLineDevStateHandler(a, l, LINEDEVSTATE_CONNECTED);
    });
    ASSERT_EQ(LinkAcquire(a, 0, 0, 2, OWNER_VOVIZ4EZ), link(2));
    size_t m = mark();
    NDIS_TAPI_PROVIDER_SHUTDOWN s{};
    ASSERT_EQ(set(OID_TAPI_PROVIDER_SHUTDOWN, s), 0u);
    EXPECT_EQ(link(0)->CurrentOwner, ULONG(OWNER_NONE));
    EXPECT_EQ(link(1)->CurrentOwner, ULONG(OWNER_NONE));
    EXPECT_EQ(link(2)->CurrentOwner, ULONG(OWNER_VOVIZ4EZ)) << "a serial port's Link is not TAPI's";
    EXPECT_EQ(link(1)->DisconnectCause, 1u);
    EXPECT_EQ(a->OpenLineCount, 0u);
    EXPECT_EQ(count_status(NDIS_STATUS_WAN_LINE_DOWN, m), 1u);
    r.host.run_for(plat::ms(80000));  // no call timer is left to fire
    EXPECT_EQ(tapi_events(m).size(), 0u);
}

// A reset ends every call and tells TAPI so, but the lines stay open: TAPI's handles
// keep naming them, a call offered later rings them, and TAPI closes them itself.
TEST_F(TapiTest, ResetReportsEveryOpenLineDisconnectedAndKeepsTheLinesOpen)
{
    const ULONG hd0 = open_line(0, 0x100);
    const ULONG hd4 = open_line(4, 0x104);
    Link* l = link(4);
    locked([&] {
        TapiLineDevStateHandler(a, l, LINEDEVSTATE_RINGING);
        TapiLineDevStateHandler(a, l, LINEDEVSTATE_CONNECTED);
    });
    const ULONG htCall = l->htCall;
    NDIS_TAPI_SET_STATUS_MESSAGES sm{};
    sm.hdLine = hd0;
    sm.ulLineStates = LINEDEVSTATE_RINGING | LINEDEVSTATE_DISCONNECTED;
    ASSERT_EQ(set(OID_TAPI_SET_STATUS_MESSAGES, sm), NDIS_STATUS_SUCCESS);
    size_t m = mark();
    a->AdapterFailed = 1;
    r.host.ndis().reset(na);
    auto ev = tapi_events(m);
    std::vector<std::pair<ULONG, ULONG>> got;  // (htLine, what)
    for (const auto& e : ev) got.push_back({e.htLine, e.ulMsg == LINE_CALLSTATE ? 0x10000 | e.ulParam1 : e.ulParam1});
    const std::vector<std::pair<ULONG, ULONG>> want = {
        {0x100, LINEDEVSTATE_DISCONNECTED}, {0x104, LINEDEVSTATE_DISCONNECTED}, {0x104, 0x10000 | LINECALLSTATE_DISCONNECTED}};
    EXPECT_EQ(got, want);
    EXPECT_EQ(count_status(NDIS_STATUS_WAN_LINE_DOWN, m), 1u);

    for (ULONG i = 0; i < 23; i++)
        EXPECT_EQ(link(i)->CurrentOwner, ULONG(i == 0 || i == 4 ? OWNER_TELEPHONY_SUBSYSTEM : OWNER_NONE)) << i;
    EXPECT_EQ(link(0)->OwnerContext, 0x100u);
    EXPECT_EQ(link(4)->OwnerContext, 0x104u);
    EXPECT_EQ(link(0)->LineStatesEnabled, ULONG(LINEDEVSTATE_RINGING | LINEDEVSTATE_DISCONNECTED)) << "what TAPI asked for";
    EXPECT_EQ(a->OpenLineCount, 2u);
    EXPECT_EQ(l->ThisBChannel, nullptr);
    EXPECT_EQ(l->NdisLinkContext, 0u);

    // The disconnected call is TAPI's until it closes it; the line's status says so.
    NDIS_TAPI_GET_CALL_STATUS cs{};
    cs.hdCall = hd4;
    cs.LineCallStatus.ulTotalSize = sizeof cs.LineCallStatus;
    ASSERT_EQ(query(OID_TAPI_GET_CALL_STATUS, cs), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(cs.LineCallStatus.ulCallState, ULONG(LINECALLSTATE_DISCONNECTED));
    m = mark();
    NDIS_TAPI_CLOSE_CALL cc{0, hd4};
    ASSERT_EQ(set(OID_TAPI_CLOSE_CALL, cc), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(call_states(m), std::vector<ULONG>{LINECALLSTATE_IDLE});
    ASSERT_FALSE(tapi_events(m).empty());
    EXPECT_EQ(tapi_events(m)[0].htCall, htCall);

    // A call offered after the reset rings the open line.
    m = mark();
    locked([&] { TapiLineDevStateHandler(a, link(0), LINEDEVSTATE_RINGING); });
    ev = tapi_events(m);
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0].ulMsg, ULONG(LINE_NEWCALL));
    EXPECT_EQ(ev[0].htLine, 0x100u);
    EXPECT_EQ(ev[1].ulMsg, ULONG(LINE_LINEDEVSTATE));
    EXPECT_EQ(ev[2].ulParam1, ULONG(LINECALLSTATE_OFFERING));

    // TAPI closes both lines with the handles it kept.
    for (ULONG hd : {hd0, hd4}) {
        NDIS_TAPI_CLOSE c{0, hd};
        EXPECT_EQ(set(OID_TAPI_CLOSE, c), NDIS_STATUS_SUCCESS);
    }
    EXPECT_EQ(link(0)->CurrentOwner, ULONG(OWNER_NONE));
    EXPECT_EQ(link(4)->CurrentOwner, ULONG(OWNER_NONE));
    EXPECT_EQ(a->OpenLineCount, 0u);
}

// ---- ownership, line addresses and the second adapter ----

TEST_F(TapiTest, AReleaseByAnyoneButTheOwnerChangesNothing)
{
    Link* l = nullptr;
    locked([&] { l = LinkAcquire(a, 0x1234, 0, 3, OWNER_TELEPHONY_SUBSYSTEM); });
    ASSERT_NE(l, nullptr);
    l->htCall = 0x77;
    for (ULONG other : {ULONG(OWNER_VOVIZ4EZ), ULONG(OWNER_DRIVER), ULONG(OWNER_NONE)}) {
        locked([&] { LinkRelease(l, other); });
        EXPECT_EQ(l->CurrentOwner, ULONG(OWNER_TELEPHONY_SUBSYSTEM));
        EXPECT_EQ(l->OwnerContext, 0x1234u);
        EXPECT_EQ(l->htCall, 0x77u);
    }
    Link* again = nullptr;
    locked([&] { again = LinkAcquire(a, 0x9999, 0, 3, OWNER_VOVIZ4EZ); });
    EXPECT_EQ(again, nullptr) << "still taken";
    EXPECT_EQ(l->OwnerContext, 0x1234u);
    locked([&] { LinkRelease(l, OWNER_TELEPHONY_SUBSYSTEM); });
    EXPECT_EQ(l->CurrentOwner, ULONG(OWNER_NONE));
    EXPECT_EQ(l->OwnerContext, 0u);
}

// The default board with its own AddressList, or a second adapter beside it.
class LinkSetupTest : public ::testing::Test {
public:
    rig::Rig r;
    std::vector<plat::ndis::Adapter*> adapters;

    void start(const std::vector<std::string>& addresses, unsigned instances)
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        if (!addresses.empty())
            r.host.registry.set_value(r.parameters_key(1), "AddressList", plat::reg::Value::MultiSz(addresses));
        for (unsigned i = 2; i <= instances; i++) {
            r.host.registry.set_sz(r.parameters_key(i), "DeviceName", "SECOND");
            r.host.registry.set_value(r.parameters_key(i), "AddressList", plat::reg::Value::MultiSz({"5552000"}));
        }
        ASSERT_EQ(r.load_driver(), 0);
        for (unsigned i = 1; i <= instances; i++) {
            r.add_board_for(i, 3 + i);
            adapters.push_back(r.initialize(i));
            ASSERT_NE(adapters.back(), nullptr);
        }
    }
    void TearDown() override
    {
        for (auto* na : adapters) r.halt(na);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
    std::string address_caps(plat::ndis::Adapter* na, ULONG device, ULONG* size)
    {
        Bytes b(300, 0);
        auto* q = reinterpret_cast<NDIS_TAPI_GET_ADDRESS_CAPS*>(b.data());
        q->ulDeviceID = device;
        q->LineAddressCaps.ulTotalSize = 300 - offsetof(NDIS_TAPI_GET_ADDRESS_CAPS, LineAddressCaps);
        ULONG w = 0, n = 0;
        EXPECT_EQ(r.host.ndis().query(na, OID_TAPI_GET_ADDRESS_CAPS, b.data(), 300, &w, &n), NDIS_STATUS_SUCCESS);
        *size = q->LineAddressCaps.ulAddressSize;
        const char* at = reinterpret_cast<const char*>(b.data() + offsetof(NDIS_TAPI_GET_ADDRESS_CAPS, LineAddressCaps) +
                                                       q->LineAddressCaps.ulAddressOffset);
        return q->LineAddressCaps.ulAddressSize == 0 ? std::string() : std::string(at);
    }
};

TEST_F(LinkSetupTest, TwoAddressesGoToTheFirstTwoLinksAndALongOneIsCutTo31Characters)
{
    const std::string longer(40, 'x');
    start({"5551000", longer}, 1);
    Adapter* a = rig::Rig::driver_adapter(adapters[0]);
    EXPECT_STREQ(a->NdisWanInfo[0][0].LineAddress, "5551000");
    EXPECT_EQ(std::string(a->NdisWanInfo[0][1].LineAddress), std::string(31, 'x'));
    for (ULONG l = 2; l < 32; l++) EXPECT_EQ(a->NdisWanInfo[0][l].LineAddress[0], 0) << l;

    NDIS_TAPI_PROVIDER_INITIALIZE init{};
    init.ulDeviceIDBase = 10;
    ULONG w = 0, n = 0;
    ASSERT_EQ(r.host.ndis().query(adapters[0], OID_TAPI_PROVIDER_INITIALIZE, &init, sizeof init, &w, &n), 0u);
    ULONG size = 0;
    EXPECT_EQ(address_caps(adapters[0], 11, &size), std::string(31, 'x'));
    EXPECT_EQ(size, 32u) << "31 characters and the NUL";
    EXPECT_EQ(address_caps(adapters[0], 12, &size), "");
    EXPECT_EQ(size, 1u) << "an empty address is its NUL";
}

TEST_F(LinkSetupTest, TheSecondAdapterAnswersItsOwnWanAddress)
{
    start({}, 2);
    for (unsigned i = 0; i < 2; i++) {
        SCOPED_TRACE(i);
        Bytes b(6, 0);
        ULONG w = 0, n = 0;
        ASSERT_EQ(r.host.ndis().query(adapters[i], 0x04010101, b.data(), 6, &w, &n), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(std::string(b.begin(), b.end()), "QLSID" + std::to_string(i + 1));
    }
    EXPECT_EQ(rig::Rig::driver_adapter(adapters[1])->InstanceNumber, 2);
}

}  // namespace
