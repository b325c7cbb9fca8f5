// The road of a TAPI client on the default board, through NDIS's query and set entry
// points only: NDISWAN asks the WAN information, TAPI initialises the provider, reads
// every line's capabilities and names, opens a line, places a call on the ISDN line
// once its D channel is up, hears dial tone and dialling, drops and closes the call,
// closes the line and shuts the provider down; the adapter then halts clean.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_tspi.h"
#include "driver/Wmp_nt40/Wmp_wspi.h"
#include "tools/harness/rig.h"

namespace {

class TapiScenario : public ::testing::Test {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        r.add_board_for(1, 4);
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        ASSERT_NE(na, nullptr);
    }
    void TearDown() override
    {
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }

    NDIS_STATUS query(NDIS_OID oid, void* b, ULONG n)
    {
        ULONG w = 0, need = 0;
        return r.host.ndis().query(na, oid, b, n, &w, &need);
    }
    NDIS_STATUS set(NDIS_OID oid, void* b, ULONG n)
    {
        ULONG rd = 0, need = 0;
        return r.host.ndis().set(na, oid, b, n, &rd, &need);
    }
    std::vector<ULONG> call_states(size_t from)
    {
        std::vector<ULONG> s;
        for (size_t i = from; i < na->indications.size(); i++) {
            const auto& ind = na->indications[i];
            if (ind.status != NDIS_STATUS_TAPI_INDICATION || ind.buffer.size() != sizeof(NDIS_TAPI_EVENT)) continue;
            NDIS_TAPI_EVENT e;
            std::memcpy(&e, ind.buffer.data(), sizeof e);
            if (e.ulMsg == LINE_CALLSTATE) s.push_back(e.ulParam1);
        }
        return s;
    }
};

TEST_F(TapiScenario, ATapiClientPlacesAndDropsACallThroughTheMiniportEntryPoints)
{
    NDIS_WAN_INFO info{};
    ASSERT_EQ(query(OID_WAN_GET_INFO, &info, sizeof info), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(info.MaxFrameSize, 2014u);
    EXPECT_EQ(info.Endpoints, 128u);

    NDIS_TAPI_PROVIDER_INITIALIZE init{};
    init.ulDeviceIDBase = 100;
    ASSERT_EQ(query(OID_TAPI_PROVIDER_INITIALIZE, &init, sizeof init), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(init.ulNumLineDevs, 23u);

    // Every line is named from DeviceName, as the applet counts them.
    ULONG named = 0;
    for (ULONG id = 100; id < 100 + init.ulNumLineDevs; id++) {
        std::vector<uint8_t> b(400, 0);
        auto* caps = reinterpret_cast<NDIS_TAPI_GET_DEV_CAPS*>(b.data());
        caps->ulDeviceID = id;
        caps->LineDevCaps.ulTotalSize = 388;
        ASSERT_EQ(query(OID_TAPI_GET_DEV_CAPS, b.data(), 400), NDIS_STATUS_SUCCESS);
        std::string name(reinterpret_cast<char*>(b.data() + 12 + caps->LineDevCaps.ulLineNameOffset));
        named += name == "RIROVE Channel:" + std::to_string(id);
    }
    EXPECT_EQ(named, 23u);

    r.host.run_for(plat::ms(3000));  // layer 1 and the D channel come up
    ASSERT_EQ(rig::Rig::driver_adapter(na)->LineUp[0], 1);

    NDIS_TAPI_OPEN open{};
    open.ulDeviceID = 100 + 3;
    open.htLine = 0xABC;
    ASSERT_EQ(query(OID_TAPI_OPEN, &open, sizeof open), NDIS_STATUS_SUCCESS);

    std::vector<uint8_t> b(160, 0);
    auto* mc = reinterpret_cast<NDIS_TAPI_MAKE_CALL*>(b.data());
    mc->hdLine = open.hdLine;
    mc->htCall = 0xCA11;
    mc->LineCallParams.ulBearerMode = LINEBEARERMODE_DATA;
    mc->LineCallParams.ulMinRate = mc->LineCallParams.ulMaxRate = 64000;
    mc->ulDestAddressOffset = 140;
    mc->ulDestAddressSize = 9;
    std::memcpy(b.data() + 140, "5552000I", 9);
    size_t m = na->indications.size();
    ASSERT_EQ(query(OID_TAPI_MAKE_CALL, b.data(), 160), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(mc->hdCall, open.hdLine);
    std::vector<ULONG> states = call_states(m);
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states[0], ULONG(LINECALLSTATE_DIALTONE));
    EXPECT_EQ(states[1], ULONG(LINECALLSTATE_DIALING));

    r.host.run_for(plat::ms(2000));  // whatever the network makes of it
    NDIS_TAPI_DROP drop{0, mc->hdCall, 0, {0}};
    EXPECT_EQ(set(OID_TAPI_DROP, &drop, sizeof drop), NDIS_STATUS_SUCCESS);
    NDIS_TAPI_GET_CALL_STATUS cs{};
    cs.hdCall = mc->hdCall;
    ASSERT_EQ(query(OID_TAPI_GET_CALL_STATUS, &cs, sizeof cs), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(cs.LineCallStatus.ulCallState, ULONG(LINECALLSTATE_DISCONNECTED));
    NDIS_TAPI_CLOSE_CALL cc{0, mc->hdCall};
    EXPECT_EQ(set(OID_TAPI_CLOSE_CALL, &cc, sizeof cc), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(call_states(m).back(), ULONG(LINECALLSTATE_IDLE));

    // The NDIS link, if the call ever came up, went down again.
    size_t ups = 0, downs = 0;
    for (size_t i = m; i < na->indications.size(); i++) {
        ups += na->indications[i].status == NDIS_STATUS_WAN_LINE_UP;
        downs += na->indications[i].status == NDIS_STATUS_WAN_LINE_DOWN;
    }
    EXPECT_EQ(ups, downs);

    NDIS_TAPI_CLOSE close{0, open.hdLine};
    EXPECT_EQ(set(OID_TAPI_CLOSE, &close, sizeof close), NDIS_STATUS_SUCCESS);
    NDIS_TAPI_PROVIDER_SHUTDOWN shutdown{};
    EXPECT_EQ(set(OID_TAPI_PROVIDER_SHUTDOWN, &shutdown, sizeof shutdown), NDIS_STATUS_SUCCESS);
    r.host.run_for(plat::ms(1000));

    r.halt(na);
    EXPECT_EQ(r.leaked_allocations(), 0u);
    EXPECT_EQ(r.leaked_mappings(), 0u);
}

}  // namespace
