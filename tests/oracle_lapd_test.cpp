// Our D-channel encodings against an outside decoder: the default board with the
// network side of each switch variant at the far end of line 0 runs an exchange (link
// establishment, an incoming call answered and cleared by the network, an outgoing call
// answered by the network and cleared by the adapter, STATUS ENQUIRY and STATUS, RESTART
// both ways), the network side writes every D-channel frame of both directions to a pcap
// file of link type LINUX_LAPD, and tshark must decode every frame without a malformed
// packet or an error, and report the Q.931 messages that were exchanged. Skipped when
// tshark is not installed (scripts/install-deps.sh installs it).
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "driver/Common/RSS_init.h"
#include "driver/signalling/isdn/IsdnStack.h"
#include "tools/harness/rig.h"

namespace {

using sim::SwitchVariant;
using MT = sim::q931::MsgType;
namespace q931 = sim::q931;
namespace lapd = sim::lapd;

constexpr ULONG kLine = 0;

std::string run(const std::string& command, int* status = nullptr)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    int rc = pclose(p);
    if (status) *status = rc;
    return out;
}

bool have_tshark() { return !run("command -v tshark 2>/dev/null").empty(); }

// The frames of a LINUX_LAPD pcap file as we wrote them: sent by the network or not.
struct Record {
    bool from_network;
    std::vector<uint8_t> frame;
};
std::vector<Record> read_pcap(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Record> out;
    auto le32 = [&](size_t at) { return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24; };
    for (size_t at = 24; at + 16 <= b.size();) {
        uint32_t len = le32(at + 8);
        if (at + 16 + len > b.size() || len < 16) break;
        const uint8_t* r = &b[at + 16];
        out.push_back({r[1] == 4, std::vector<uint8_t>(r + 16, r + len)});
        at += 16 + len;
    }
    return out;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> v;
    std::istringstream s(text);
    for (std::string l; std::getline(s, l);) v.push_back(l);
    return v;
}

using VariantCase = rig::IsdnVariantCase;
const auto& kVariants = rig::kIsdnVariants;

void NoUpcall(Link*) {}
void NoIncoming(Adapter*, Link*, ULONG) {}

class LapdOracle : public ::testing::TestWithParam<VariantCase> {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    ISDN_STACK* s = nullptr;
    sim::IsdnNetworkSide* net = nullptr;
    sim::LapdPcapWriter pcap;
    std::string path;

    void SetUp() override
    {
        if (!have_tshark()) GTEST_SKIP() << "tshark is not installed";
        const VariantCase& v = GetParam();
        path = (std::filesystem::temp_directory_path() /
                ("vornet-lapd-" + std::string(v.name) + "-" + std::to_string(getpid()) + ".pcap"))
                   .string();
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        const std::string key = r.parameters_key(1);
        r.host.registry.set_dword(key, "SignallingProtocol_0", uint32_t(v.variant));
        if (v.e1) {
            r.host.registry.set_dword(key, "LineMode_0", 1);
            r.host.registry.set_dword(key, "FramingFormat_0", 4);
            r.host.registry.set_dword(key, "LineCode_0", 2);
            r.host.registry.set_dword(key, "SystemBusMode_0", 5);
        }
        sim::Card& card = r.add_board_for(1, 4);
        sim::IsdnNetworkConfig config;
        config.variant = v.variant;
        config.e1 = v.e1;
        config.keep_link_up = plat::ms(500);
        net = &r.attach_isdn_network(card, kLine, config);
        ASSERT_TRUE(pcap.open(path));
        net->set_pcap(&pcap);
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        a = rig::Rig::driver_adapter(na);
        ASSERT_NE(a, nullptr);
        s = (ISDN_STACK*)a->ThisSgnlStack[kLine];
        // Call control answers nothing by itself; the test drives it.
        s->Upcalls.IncomingCallIndHdlr = NoIncoming;
        s->Upcalls.ConnectHdlr = NoUpcall;
        s->Upcalls.DisconnectHdlr = NoUpcall;
    }
    void TearDown() override
    {
        if (na) r.halt(na);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
        if (!path.empty() && getenv("VORNET_KEEP_PCAP") == nullptr) std::filesystem::remove(path);
    }
    bool run_until(const std::function<bool()>& done, plat::VTime limit) { return rig::run_until(r.host, done, limit); }
    template <typename F>
    auto locked(F fn)
    {
        NdisAcquireSpinLock(&a->AdapterSpinLock);
        auto v = fn(a->SgnlProtocolOps[kLine]);
        NdisReleaseSpinLock(&a->AdapterSpinLock);
        return v;
    }
    ULONG channel_state(ULONG ch)
    {
        return locked([&](SGNL_PROTOCOL_OPS& o) { return o.Control(CTL_KIND_GET, CTL_CHANNEL_STATE, s, ch); });
    }
    void request(UCHAR primitive, PVOID call, PUCHAR number, UCHAR value)
    {
        locked([&](SGNL_PROTOCOL_OPS& o) {
            o.CallRequest(primitive, call, number, value, 0);
            return 0;
        });
    }

    // Link up, a call each way, enquiry, restarts, and a last exchange in the idle link.
    void exchange()
    {
        ASSERT_TRUE(run_until([&] { return net->link_up() && s->L2.L3State == L2_ESTABLISHED; }, plat::ms(6000)));

        const unsigned ch = 5;
        auto in = net->offer_call(ch, "5551004", "2125550000", q931::Bearer::speech(GetParam().e1));
        ASSERT_TRUE(in);
        ASSERT_TRUE(run_until([&] { return net->channel_state(ch) == sim::NetState::CallReceived; }, plat::ms(1000)));
        request(REQUEST_SETUP_RESPONSE, &s->Calls[ch], NULL, 0);
        ASSERT_TRUE(run_until([&] { return channel_state(ch) == 10; }, plat::ms(1000)));
        ASSERT_TRUE(net->status_enquiry(*in));
        r.host.run_for(plat::ms(200));
        ASSERT_TRUE(net->clear_call(*in));
        ASSERT_TRUE(run_until([&] { return !net->call(*in) && channel_state(ch) == 0; }, plat::ms(1000)));

        PVOID out = locked([&](SGNL_PROTOCOL_OPS& o) { return o.AllocCall(s, &a->NdisWanInfo[kLine][7], 7); });
        ASSERT_NE(out, nullptr);
        unsigned out_ch = ((ISDN_CALL*)out)->Channel;
        UCHAR number[] = {7, '5', '5', '5', '9', '8', '7', '6'};
        request(REQUEST_SETUP, out, number, 0);  // speech
        ASSERT_TRUE(run_until([&] { return channel_state(out_ch) == 10; }, plat::ms(2000)));
        request(REQUEST_DISCONNECT, out, NULL, BUSY);
        ASSERT_TRUE(run_until([&] { return net->calls().empty() && channel_state(out_ch) == 0; }, plat::ms(1000)));

        ASSERT_TRUE(net->restart(9));
        ASSERT_TRUE(run_until([&] { return !net->restart_pending(); }, plat::ms(1000)));
        locked([&](SGNL_PROTOCOL_OPS& o) {
            o.ManagementRequest(MGMT_SEND_RESTART, s, 0, 0, 2, 0, 0, 0, 0, 0, 0);
            return 0;
        });
        r.host.run_for(plat::ms(12000));  // an idle link: T203 enquiries both ways
        pcap.close();
    }
};

TEST_P(LapdOracle, TsharkDecodesEveryFrameAndTheMessagesWeExchanged)
{
    exchange();
    ASSERT_FALSE(HasFailure());
    std::vector<Record> records = read_pcap(path);
    ASSERT_GT(records.size(), 20u);

    // Every frame decodes, without a malformed packet or an error of the decoder.
    int status = 0;
    std::string verbose = run("tshark -n -r '" + path + "' -V 2>&1", &status);
    ASSERT_EQ(status, 0) << verbose.substr(0, 2000);
    for (const char* bad : {"[Malformed Packet", "Expert Info (Error"}) {
        size_t at = verbose.find(bad);
        EXPECT_EQ(at, std::string::npos) << bad << " in:\n"
                                         << verbose.substr(at == std::string::npos ? 0 : (at > 3000 ? at - 3000 : 0), 4000);
    }
    // Warnings too, but one: VN4 ends the called party number of its SETUP with an octet
    // 0x80 outside the element's length, as the variant's switch expects it.
    size_t trailers = 0;
    for (const std::string& l : lines(verbose)) {
        if (l.find("Expert Info (Warning") == std::string::npos) continue;
        if (GetParam().variant == SwitchVariant::Vn4 && l.find("Unknown information element (0x80)") != std::string::npos)
            trailers++;
        else
            ADD_FAILURE() << l;
    }
    EXPECT_EQ(trailers, GetParam().variant == SwitchVariant::Vn4 ? 1u : 0u) << "one SETUP from the adapter";

    // Frame by frame: tshark's SAPI and Q.931 message type against what went on the line.
    std::string fields = run("tshark -n -r '" + path + "' -T fields -E separator=, -e lapd.sapi -e lapd.tei -e q931.message_type 2>/dev/null", &status);
    ASSERT_EQ(status, 0) << fields;
    std::vector<std::string> rows = lines(fields);
    ASSERT_EQ(rows.size(), records.size()) << "one decoded row per frame";
    std::map<bool, std::vector<MT>> exchanged;  // by direction: from the network
    for (size_t i = 0; i < records.size(); i++) {
        SCOPED_TRACE(testing::Message() << "frame " << i + 1 << ": " << rows[i]);
        auto f = lapd::parse(records[i].frame);
        ASSERT_TRUE(f);
        std::string expect = std::to_string(f->sapi) + "," + std::to_string(f->tei) + ",";
        if (f->kind == lapd::Frame::Kind::I) {
            q931::Decoded d = q931::decode(f->info);
            ASSERT_TRUE(d.ok());
            char type[8];
            std::snprintf(type, sizeof type, "0x%02x", d.msg.type);
            expect += type;
            exchanged[records[i].from_network].push_back(MT(d.msg.type));
        }
        EXPECT_EQ(rows[i], expect);
    }
    auto has = [&](bool from_network, MT type) {
        const auto& v = exchanged[from_network];
        return std::find(v.begin(), v.end(), type) != v.end();
    };
    for (MT t : {MT::Alerting, MT::Connect, MT::Release, MT::Setup, MT::ConnectAcknowledge, MT::Disconnect,
                 MT::ReleaseComplete, MT::Status, MT::RestartAcknowledge, MT::Restart})
        EXPECT_TRUE(has(false, t)) << "the adapter sent " << q931::message_name(uint8_t(t));
    for (MT t : {MT::Setup, MT::ConnectAcknowledge, MT::StatusEnquiry, MT::Disconnect, MT::ReleaseComplete,
                 MT::CallProceeding, MT::Alerting, MT::Connect, MT::Release, MT::Restart, MT::RestartAcknowledge})
        EXPECT_TRUE(has(true, t)) << "the network sent " << q931::message_name(uint8_t(t));

    // The numbers and causes the adapter encoded, as tshark reads them.
    std::string numbers = run("tshark -n -r '" + path +
                                  "' -Y 'q931.message_type == 0x05 && lapd.cr == 0' -T fields -e q931.called_party_number.digits 2>/dev/null");
    EXPECT_NE(numbers.find("5559876"), std::string::npos) << numbers;
    // DISCONNECT and RELEASE of both calls in frame order: the network clears the first
    // call (normal clearing), the adapter the second (user busy).
    auto causes = [&](const char* type) {
        return lines(run("tshark -n -r '" + path + "' -Y 'q931.message_type == " + type +
                         "' -T fields -e lapd.cr -e q931.cause_value 2>/dev/null"));
    };
    EXPECT_EQ(causes("0x45"), (std::vector<std::string>{"1\t16", "0\t" + std::to_string(BUSY)}))
        << "DISCONNECT: from the network (C/R 1), then from the adapter";
    EXPECT_EQ(causes("0x4d"), (std::vector<std::string>{"0\t16", "1\t" + std::to_string(BUSY)}))
        << "RELEASE: each side answers with the cause it was given";
}

INSTANTIATE_TEST_SUITE_P(Variants, LapdOracle, ::testing::ValuesIn(kVariants),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
