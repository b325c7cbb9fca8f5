// A serial port's pump in network modem mode on the default board with its firmware
// booted: opening the port enters network mode (network mode, asynchronous framing, CRC,
// one message per step); modem data fills the port's receive ring with flow control at
// one FIFO block of room; a DTR/RTS change goes to the modem before the port's data.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/ser_init.h"
#include "platform/nt/win32.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/rig.h"

namespace {

class NetworkMode : public ::testing::Test {
protected:
    rig::Rig r;
    sim::Card* card = nullptr;
    plat::ndis::Adapter* na = nullptr;
    plat::nt::Win32Client client;
    plat::nt::HANDLE h = plat::nt::INVALID_HANDLE_VALUE;
    Pump* pump = nullptr;

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        r.host.registry.set_dword(r.parameters_key(1), "AsyncPorts_0", 1);
        r.host.registry.set_dword(r.parameters_key(1), "AsyncPortNumbersStartAt", 5);
        r.set_firmware(sim::fw::default_image());
        card = &r.add_board_for(1, 4);
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        ASSERT_NE(na, nullptr);
        r.host.run_for(plat::ms(14000));
        h = client.CreateFile("\\\\.\\COM5");
        ASSERT_NE(h, plat::nt::INVALID_HANDLE_VALUE);
        pump = a()->NdisWanInfo[0][0].ThisPump;
        ASSERT_NE(pump, nullptr);
    }
    void TearDown() override
    {
        if (h != plat::nt::INVALID_HANDLE_VALUE) client.CloseHandle(h);
        r.host.run_for(plat::ms(100));
        r.halt(na);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
    Adapter* a() { return rig::Rig::driver_adapter(na); }
    sim::ModemSocket& model() { return *card->modem(pump->ThisCsm->ThisSocket->SocketIndex); }
    // Messages the driver posted to the pump since `from`, by code.
    std::vector<sim::ModemSocket::Message> posted(size_t from)
    {
        std::vector<sim::ModemSocket::Message> out;
        const auto& log = model().messages();
        for (size_t i = from; i < log.size(); i++)
            if (log[i].running && log[i].processor == pump->ThisCsm->Index && (log[i].words[3] & 0xFF) == pump->PumpNumber)
                out.push_back(log[i]);
        return out;
    }
    size_t count(size_t from, uint8_t code)
    {
        auto m = posted(from);
        return size_t(std::count_if(m.begin(), m.end(), [&](const auto& x) { return x.code() == code; }));
    }
    void modem_data(size_t n)
    {
        model().send_to_host(pump->ThisCsm->Index, {0, 0, uint16_t(n), uint16_t(MSG_FIFODAT << 8 | pump->PumpNumber)},
                             std::vector<uint8_t>(n, 'd'));
        r.host.run_for(plat::ms(50));
    }
    SER_RX_RING& ring() { return ser_PortOf(a()->NdisWanInfo[0][0].ThisAsyncPort)->Rx; }
};

TEST_F(NetworkMode, OpeningThePortEntersNetworkModeOneMessagePerStep)
{
    r.host.run_for(plat::ms(300));
    std::vector<uint8_t> chain;
    std::vector<plat::VTime> at;
    for (const auto& m : posted(0))
        if (m.code() == MSG_NTWKENA || m.code() == MSG_SETASYN || m.code() == MSG_CRCENA) {
            chain.push_back(m.code());
            at.push_back(m.time);
        }
    ASSERT_EQ(chain, (std::vector<uint8_t>{MSG_NTWKENA, MSG_SETASYN, MSG_CRCENA}));
    EXPECT_LT(at[0], at[1]);
    EXPECT_LT(at[1], at[2]);
    EXPECT_EQ(pump->NetworkMode, 1u);
    EXPECT_EQ(pump->SyncMode, 0u);
    EXPECT_EQ(pump->PumpEvent, ULONG(Pump_Ev_None));
    EXPECT_TRUE(model().network_mode(pump->ThisCsm->Index, pump->PumpNumber));
}

// 896 bytes stored leave 128 free: data requests go on. 897 leave 127: the modem is
// held (no further data request) and the port stops receiving.
TEST_F(NetworkMode, ReceptionStopsWithLessThanOneBlockFree)
{
    r.host.run_for(plat::ms(300));
    for (int i = 0; i < 7; i++) modem_data(128);
    ASSERT_EQ(ring().ByteCount, 896u);
    EXPECT_EQ(ring().ReceiveAllowed, 1);
    size_t mark = model().messages().size();
    r.host.run_for(plat::ms(100));
    EXPECT_EQ(pump->DataRequested, 1) << "asked again";
    modem_data(1);
    ASSERT_EQ(ring().ByteCount, 897u);
    EXPECT_EQ(ring().ReceiveAllowed, 0);
    mark = model().messages().size();
    r.host.run_for(plat::ms(300));
    EXPECT_EQ(count(mark, MSG_DATAREQ), 0u) << "the modem is held";
    EXPECT_EQ(pump->DataRequested, 1);
}

// A DTR/RTS change and data for the modem on the same step: the change goes first.
TEST_F(NetworkMode, ADtrChangeIsPostedBeforeTheData)
{
    r.host.run_for(plat::ms(300));
    size_t mark = model().messages().size();
    rig::with_adapter_lock(a(), [&] {
        pump->DteSignals = DTE_SIGNAL_RTS;
        pump->DteSignalsChanged = 1;
    });
    auto w = client.start_write(h, {'A', 'T', 'Z', '\r'});
    ASSERT_TRUE(client.wait(*w, plat::ms(1000)));
    r.host.run_for(plat::ms(100));
    auto m = posted(mark);
    auto dte = std::find_if(m.begin(), m.end(), [](const auto& x) { return x.code() == MSG_DTERPT; });
    auto data = std::find_if(m.begin(), m.end(), [](const auto& x) { return x.code() == MSG_FIFODAT; });
    ASSERT_NE(dte, m.end());
    ASSERT_NE(data, m.end()) << "the port's bytes reached the modem";
    EXPECT_LT(dte - m.begin(), data - m.begin());
    EXPECT_EQ(dte->words[2], DTE_SIGNAL_RTS);
    EXPECT_FALSE(model().dtr(pump->ThisCsm->Index, pump->PumpNumber));
}

}  // namespace

#include "sim/far/isdn_network.h"
#include "sim/far/modem_peer.h"

namespace {

// A call offered to the port's Link: the modem rings the application, which answers
// with ATA; the call connects through the board's time-slot switch to the far modem,
// and data crosses both ways between the far modem and the port.
class PortCall : public NetworkMode {
protected:
    std::unique_ptr<sim::IsdnNetworkSide> net;
    std::unique_ptr<sim::ModemPeer> peer;
    void SetUp() override
    {
        NetworkMode::SetUp();
        if (HasFatalFailure()) return;
        sim::IsdnNetworkConfig config;
        config.keep_link_up = plat::ms(500);
        net = std::make_unique<sim::IsdnNetworkSide>(r.host, card->line(0), config);
        peer = std::make_unique<sim::ModemPeer>(r.host.sched, card->line(0));
        peer->follow(*net);
        ASSERT_TRUE(rig::run_until(r.host, [&] { return net->link_up(); }, plat::ms(5000)));
    }
    void TearDown() override
    {
        NetworkMode::TearDown();
        peer.reset();
        net.reset();
    }
    std::string read_port(uint32_t max)
    {
        std::vector<char> b(max);
        uint32_t n = 0;
        client.ReadFile(h, b.data(), max, &n);
        return std::string(b.data(), n);
    }
};

TEST_F(PortCall, AnOfferedCallRingsIsAnsweredWithAtaAndCarriesData)
{
    const unsigned kChannel = 1;
    auto key = net->offer_call(kChannel, "5551000", "4165550123", sim::q931::Bearer::speech(false));
    ASSERT_TRUE(key.has_value());
    ASSERT_TRUE(rig::run_until(r.host, [&] { return ring().ByteCount >= 8; }, plat::ms(3000))) << "RING";
    EXPECT_EQ(read_port(64), "\r\nRING\r\n");
    uint32_t written = 0;
    ASSERT_TRUE(client.WriteFile(h, "ATA\r", 4, &written));
    ASSERT_TRUE(rig::run_until(r.host, [&] { return pump->PumpState == PUMP_ON_LINE && pump->OnLineData == 1; },
                               plat::ms(5000)));
    EXPECT_EQ(net->call(*key)->state, sim::NetState::Active);
    EXPECT_EQ(peer->state(kChannel), sim::ModemPeer::State::Connected);
    std::string said = read_port(256);
    EXPECT_NE(said.find("ATA\r"), std::string::npos) << "echo";
    EXPECT_NE(said.find("\r\nCONNECT 33600\r\n"), std::string::npos);

    // Far modem -> port.
    ASSERT_TRUE(peer->send(kChannel, {'h', 'e', 'l', 'l', 'o'}));
    ASSERT_TRUE(rig::run_until(r.host, [&] { return ring().ByteCount >= 5; }, plat::ms(500)));
    EXPECT_EQ(read_port(64), "hello");
    // Port -> far modem.
    ASSERT_TRUE(client.WriteFile(h, "world", 5, &written));
    ASSERT_TRUE(rig::run_until(r.host, [&] { return !peer->received(kChannel).empty(); }, plat::ms(500)));
    EXPECT_EQ(peer->received(kChannel).back(), (std::vector<uint8_t>{'w', 'o', 'r', 'l', 'd'}));

    // The far modem hangs up: NO CARRIER to the application, the call is cleared.
    ASSERT_TRUE(peer->hang_up(kChannel));
    ASSERT_TRUE(rig::run_until(r.host, [&] { return !net->call(*key) || net->call(*key)->state == sim::NetState::Null; },
                               plat::ms(5000)));
    EXPECT_NE(read_port(64).find("\r\nNO CARRIER\r\n"), std::string::npos);
}

}  // namespace
