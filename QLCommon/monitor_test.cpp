// The modem monitors: the trace decoder and code tables, the port ring and firmware
// chunk followers, the log files a monitoring switch leaves behind and the viewer it
// launches, and a monitored modem's deletion.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

#include "QLCommon/Monitor.h"
#include "QLCommon/fake_device.h"
#include "platform/win32/test_root.h"

namespace fs = std::filesystem;

namespace {

std::string Decoded(CZELVXMonitor& m, const std::vector<uint8_t>& bytes)
{
    m.BuildCodeTable();
    m.ClearDecoder();
    m.Flush();
    for (uint8_t b : bytes) m.Decode(b);
    std::string out = m.Pending();
    m.Flush();
    return out;
}

TEST(MonitorDecoder, ItemsAndCodes)
{
    struct Case {
        const char* what;
        bool firmware;
        std::vector<uint8_t> bytes;
        const char* text;
    } const cases[] = {
        {"one-byte value, then a code", true, {0xF3, 0x01, 0x1E, 0x55}, "(1E-30)\n55:DCDOn"},
        {"two-byte value", true, {0xF3, 0x02, 0x34, 0x12, 0x00}, "(1234-4660)"},
        {"time stamp", true, {0xF5, 0x04, 0x01, 0x02, 0x03, 0x04, 0x00}, "[04030201-67305985]"},
        {"all bits set", true, {0xF3, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}, "(FFFFFFFF--1)"},
        {"three bytes show no number", true, {0xF3, 0x03, 0x01, 0x02, 0x03, 0x00}, "()"},
        // Only four bytes fit the value: the rest neither shift nor show.
        {"eight-byte value", true, {0xF3, 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0x00}, "()"},
        {"255-byte value", true, [] {
             std::vector<uint8_t> b{0xF3, 0xFF};
             b.insert(b.end(), 255, 0xAB);
             b.push_back(0x00);
             return b;
         }(),
         "()"},
        {"string with CR", true, {0xF4, 0x02, 0x0D, 'A', 0x00}, "\"\\rA\""},
        {"string with LF and a control", true, {0xF4, 0x03, 0x0A, 0x01, 'z', 0xF1}, "\"\\n\\x01z\""},
        {"empty string", true, {0xF4, 0x00, 0x00}, "\"\""},
        {"skipped codes", true, {0x00, 0xF0, 0xF1}, ""},
        {"unnamed and ranged codes", true, {0x3B, 0x11, 0xF2}, "\n3B\n11:RxMboxCHRESET\nF2: ...."},
        {"an item open at the end stays open", true, {0xF3, 0x01, 0x07}, "("},
        {"driver directions", false, {0x01, 0xF4, 0x02, 'h', 'i', 0x02}, "\n01:<--\"hi\"\n02:-->"},
        {"driver unknown code", false, {0x07, 0x03}, "\n\n03:-->"},
    };
    CARMMonitor firmware;
    CDriverMonitor driver;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Decoded(c.firmware ? static_cast<CZELVXMonitor&>(firmware) : driver, c.bytes), c.text);
    }
}

TEST(MonitorDecoder, CodeTables)
{
    CARMMonitor firmware;
    firmware.BuildCodeTable();
    EXPECT_EQ(firmware.CodeText(0x00), "00");
    EXPECT_EQ(firmware.CodeText(0x1B), "1B:SoftResetDp");
    EXPECT_EQ(firmware.CodeText(0x50), "50:SendCHANSTATUSMessage = TRUE");
    EXPECT_EQ(firmware.CodeText(0x63), "63");
    EXPECT_EQ(firmware.CodeText(0xDF), "DF:RxMboxDTERPT: DTR LOW");
    EXPECT_EQ(firmware.CodeText(0xF0), "F0:End of Buffer");
    EXPECT_EQ(firmware.CodeText(0xF3), "") << "243 codes, 0x00 to 0xF2";
    CDriverMonitor driver;
    driver.BuildCodeTable();
    EXPECT_EQ(driver.CodeText(0), "00");
    EXPECT_EQ(driver.CodeText(3), "03:-->");
    EXPECT_EQ(driver.CodeText(4), "");
}

// The port ring: position and wrap count against the last ones.
TEST(DriverMonitorRing, WrapsGapsAndPositionsPastTheRing)
{
    CDriverMonitor m;
    m.BuildCodeTable();
    std::vector<uint8_t> ring(CDriverMonitor::kRingSize, 0);
    auto put = [&](uint32_t at, uint8_t code) { ring[at % CDriverMonitor::kRingSize] = code; };
    struct Step {
        const char* what;
        uint32_t position, wraps;
        std::vector<std::pair<uint32_t, uint8_t>> writes;  // into the ring before the poll
        const char* text;
    } const steps[] = {
        {"first bytes", 2, 0, {{0, 1}, {1, 2}}, "\n01:<--\n02:-->"},
        {"nothing new", 2, 0, {}, ""},
        {"up to the end", 510, 0, {{2, 3}, {509, 1}}, "\n03:-->\n01:<--"},
        {"one wrap", 1, 1, {{510, 2}, {511, 3}, {0, 1}}, "\n02:-->\n03:-->\n01:<--"},
        {"a wrap past the last position", 5, 2, {{3, 2}}, "*** GAP *** [1,1] - [2-5]\n"},
        {"resumes from the new position", 7, 2, {{5, 3}, {6, 1}}, "\n03:-->\n01:<--"},
        {"two wraps", 3, 4, {{0, 2}}, "*** GAP *** [2,7] - [4-3]\n"},
        {"a position past the ring", 4000, 4, {{3, 3}}, "*** GAP *** [4,3] - [4-4000]\n"},
        {"back inside: from the last good position", 4, 4, {}, "\n03:-->"},
        {"wrap count going back", 1, 0, {}, "*** GAP *** [4,4] - [0-1]\n"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        for (auto& [at, code] : s.writes) put(at, code);
        m.TakeRing(s.position, s.wraps, ring.data());
        EXPECT_EQ(m.Pending(), s.text);
        m.Flush();
    }
}

std::vector<uint8_t> Chunk(uint16_t sequence, uint16_t length, const std::vector<uint8_t>& trace, size_t room = 0)
{
    std::vector<uint8_t> d(12 + std::max(room, trace.size()), 0);
    d[6] = uint8_t(sequence), d[7] = uint8_t(sequence >> 8);
    d[10] = uint8_t(length), d[11] = uint8_t(length >> 8);
    std::copy(trace.begin(), trace.end(), d.begin() + 12);
    return d;
}

// Firmware chunks: each sequence number once, a jump as a gap, counts held to the data.
TEST(FirmwareMonitorChunks, SequenceNumbersAndCounts)
{
    CARMMonitor m;
    m.BuildCodeTable();
    std::vector<uint8_t> trace58(58, 0);
    trace58[0] = 0x55;
    struct Step {
        const char* what;
        std::vector<uint8_t> data;
        bool full;
        const char* text;
    } const steps[] = {
        {"first full chunk", Chunk(1, 58, trace58), true, "\n55:DCDOn"},
        {"the same chunk again", Chunk(1, 58, trace58), true, ""},
        {"a short chunk", Chunk(2, 2, {0x24, 0x25}), false, "\n24:GoToIDLE\n25:GoToINIT"},
        {"an older one", Chunk(1, 58, trace58), true, ""},
        {"a jump", Chunk(9, 1, {0x30}), false, "*** GAP ***\n\n30:DoHangup"},
        {"a count past the data", Chunk(10, 60000, {0x2F}, 4), false, "\n2F:GoToHANGUP"},
        {"far ahead", Chunk(0x8009, 1, {0x21}), false, "*** GAP ***\n\n21:StartAnswer"},
        {"half the numbers back is older", Chunk(10, 1, {0x22}), true, ""},
        {"no header", std::vector<uint8_t>(11, 0), false, ""},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(m.TakeChunk(s.data.data(), s.data.size()), s.full);
        EXPECT_EQ(m.Pending(), s.text);
        m.Flush();
    }
}

// A board that answers the port monitor with a ring growing by one record a poll, and
// the firmware's trace with a chunk of a new sequence number per read.
struct MonitoredBoard {
    std::mutex lock;
    uint32_t position = 0, wraps = 0;
    uint8_t ring[CDriverMonitor::kRingSize] = {};
    uint16_t sequence = 0;
    std::vector<BackdoorRequest> seen;
    std::unique_ptr<FakeDevice> device;

    explicit MonitoredBoard(const fs::path& root)
    {
        device = std::make_unique<FakeDevice>(root, "VORNET0", [this](BackdoorRequest& r) { Answer(r); });
    }
    void Put(uint8_t b)
    {
        ring[position] = b;
        if (++position == CDriverMonitor::kRingSize) position = 0, wraps++;
    }
    void Answer(BackdoorRequest& r)
    {
        std::lock_guard<std::mutex> g(lock);
        seen.push_back(r);
        r.Status = 0;
        if (r.Class == 12) {
            for (uint8_t b : std::vector<uint8_t>{0x02, 0xF4, 0x03, 'A', 'T', 0x0D, 0x01, 0xF3, 0x01, 0x2A}) Put(b);
            r.Segment[0].Offset = kBackdoorHeaderSize;
            r.Segment[0].Length = 8 + CDriverMonitor::kRingSize;
            std::memcpy(r.Data, &position, 4);
            std::memcpy(r.Data + 4, &wraps, 4);
            std::memcpy(r.Data + 8, ring, sizeof ring);
        } else if (r.Class == 5 && r.Action == 8) {
            r.Status = 1;
        } else if (r.Class == 0 && r.Action == 43) {
            std::vector<uint8_t> chunk = Chunk(++sequence, 4, {0x55, 0xF3, 0x01, 0x1E});
            r.Status = 1;
            r.Segment[0].Offset = kBackdoorHeaderSize;
            r.Segment[0].Length = (uint32_t)chunk.size();
            std::memcpy(r.Data, chunk.data(), chunk.size());
        }
    }
    size_t Requests()
    {
        std::lock_guard<std::mutex> g(lock);
        return seen.size();
    }
};

std::string ReadAll(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::vector<fs::path> Logs(const fs::path& root)
{
    std::vector<fs::path> found;
    for (auto& e : fs::directory_iterator(root / "C"))
        if (e.path().filename().string().rfind("LOG-Modem", 0) == 0) found.push_back(e.path());
    std::sort(found.begin(), found.end());
    return found;
}

TEST(ModemMonitoring, TheSwitchLogsBothSourcesAndOpensEachLogInTheViewer)
{
    TempRoot root("qlcommon-monitor");
    std::ofstream(root.dir / "registry.reg") << "REGEDIT4\n";
    fs::path launcher = root.dir / "launcher.sh";
    std::ofstream(launcher) << "#!/bin/sh\necho \"$@\" >> " << (root.dir / "launched").string() << "\n";
    fs::permissions(launcher, fs::perms::owner_all);
    setenv("VORNET_LAUNCHER", launcher.c_str(), 1);
    MonitoredBoard board(root.dir);
    Monitor_Install();
    {
        CIOCTLMethod transport("\\\\.\\VORNET0");
        CRockyModem modem(&transport, 5, nullptr, ModemAddress{0, 1, 1});
        modem.SetMonitoring(true);
        EXPECT_TRUE(modem.IsMonitoring());
        for (int i = 0; i < 200 && board.Requests() < 12; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        modem.SetMonitoring(false);
        EXPECT_FALSE(modem.IsMonitoring());
    }
    unsetenv("VORNET_LAUNCHER");
    CRockyModem::SetMonitorFactory(nullptr);

    std::vector<fs::path> logs = Logs(root.dir);
    ASSERT_EQ(logs.size(), 2u);
    const std::regex name("LOG-Modem5-(ARM|Driver)--[01][0-9]-[0-3][0-9]--[0-2][0-9]-[0-5][0-9]-[0-5][0-9]\\.TXT");
    for (auto& p : logs) EXPECT_TRUE(std::regex_match(p.filename().string(), name)) << p;
    std::string arm = ReadAll(logs[0]), driver = ReadAll(logs[1]);
    EXPECT_EQ(logs[0].filename().string().rfind("LOG-Modem5-ARM--", 0), 0u);
    EXPECT_EQ(driver.rfind("\n02:-->\"AT\\r\"\n01:<--(2A-42)\n02:-->", 0), 0u) << driver;
    EXPECT_EQ(arm.rfind("\n55:DCDOn(1E-30)\n55:DCDOn(1E-30)", 0), 0u) << arm;
    EXPECT_EQ(arm.find("GAP"), std::string::npos) << arm;

    // Modem 5: module 0, processor 1, pump 1; every request names that pump.
    {
        std::lock_guard<std::mutex> g(board.lock);
        bool port = false, command = false;
        for (auto& r : board.seen) {
            if (r.Class == 12) port = port || (r.Arg[0] == 0 && r.Arg[1] == 1 && r.Arg[2] == 1);
            if (r.Class == 5)
                command = command || (r.Action == 8 && r.Arg[0] == 0 && r.Arg[1] == 1 && r.Arg[2] == 1 &&
                                      r.Arg[3] == 1 && r.Arg[4] >= 248 && r.Arg[5] == 1);
        }
        EXPECT_TRUE(port);
        EXPECT_TRUE(command);
    }
    // The viewer runs on its own: wait for both launches.
    std::string launched;
    for (int i = 0; i < 300 && std::count(launched.begin(), launched.end(), '\n') < 2; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        launched = ReadAll(root.dir / "launched");
    }
    for (auto& p : logs) EXPECT_NE(launched.find("Notepad.exe " + p.string()), std::string::npos) << launched;
}

TEST(ModemMonitoring, DeletingAMonitoredModemJoinsItsThreadsAndClosesTheLogs)
{
    TempRoot root("qlcommon-monitor");
    std::ofstream(root.dir / "registry.reg") << "REGEDIT4\n";
    MonitoredBoard board(root.dir);
    Monitor_Install();
    auto* transport = new CIOCTLMethod("\\\\.\\VORNET0");
    auto* modem = new CRockyModem(transport, 1, nullptr, ModemAddress{0, 0, 0});
    modem->SetMonitoring(true);
    for (int i = 0; i < 200 && board.Requests() < 6; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    delete modem;
    delete transport;  // a monitor thread still running would use it now
    size_t after = board.Requests();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(board.Requests(), after) << "no request after the modem went";
    CRockyModem::SetMonitorFactory(nullptr);
    std::vector<fs::path> logs = Logs(root.dir);
    ASSERT_EQ(logs.size(), 2u);
    for (auto& p : logs) EXPECT_NE(ReadAll(p), "") << p << ": flushed and closed";
}

TEST(ModemMonitoring, ALogThatCannotBeCreatedStartsNoThread)
{
    TempRoot root("qlcommon-monitor", "D");  // no drive C
    std::ofstream(root.dir / "registry.reg") << "REGEDIT4\n";
    MonitoredBoard board(root.dir);
    CIOCTLMethod transport("\\\\.\\VORNET0");
    CDriverMonitor driver;
    EXPECT_FALSE(driver.Start(&transport, 1, ModemAddress{0, 0, 0}));
    EXPECT_FALSE(driver.IsRunning());
    CARMMonitor firmware;
    EXPECT_FALSE(firmware.Start(&transport, 1, ModemAddress{0, 0, 0}));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(board.Requests(), 0u);
    driver.Stop();
    EXPECT_EQ(driver.GetLogFileName().rfind("c:\\LOG-Modem1-Driver--", 0), 0u);
}

TEST(ModemMonitoring, RequestFailuresAreWrittenAndPollingGoesOn)
{
    TempRoot root("qlcommon-monitor");
    std::ofstream(root.dir / "registry.reg") << "REGEDIT4\n";
    std::atomic<int> calls{0};
    FakeDevice device(root.dir, "VORNET0", [&](BackdoorRequest& r) {
        calls++;
        r.Status = r.Class == 0 ? 0xFFFFFFFFu : 1;
    });
    CIOCTLMethod transport("\\\\.\\VORNET0");
    CIOCTLMethod missing("\\\\.\\VORNET9");
    os_SetMessageBoxHandler([](const std::string&) {});
    CARMMonitor refused, unreachable;
    CDriverMonitor noDevice;
    ASSERT_TRUE(refused.Start(&transport, 1, ModemAddress{0, 0, 0}));
    ASSERT_TRUE(unreachable.Start(&missing, 2, ModemAddress{0, 0, 1}));
    ASSERT_TRUE(noDevice.Start(&missing, 3, ModemAddress{0, 0, 2}));
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    refused.Stop();
    unreachable.Stop();
    noDevice.Stop();
    os_SetMessageBoxHandler(nullptr);
    EXPECT_GE(calls.load(), 6);
    auto log = [&](CZELVXMonitor& m) {
        std::string name = m.GetLogFileName();
        return ReadAll(root.dir / "C" / name.substr(3));
    };
    std::string a = log(refused), b = log(unreachable), c = log(noDevice);
    EXPECT_EQ(a.rfind("CMDDAT Failure\nCMDDAT Failure\n", 0), 0u) << a;
    EXPECT_EQ(refused.GetCurrentCommand(), 248u) << "a failed read keeps the command";
    EXPECT_EQ(b.rfind("SendBufferRequest Function Call Failed!\nRecvBufferRequest Function Call Failed!\n"
                      "SendBufferRequest Function Call Failed!\n", 0), 0u) << b;
    EXPECT_EQ(c.rfind("SendBufferRequest Function Call Failed!\nSendBufferRequest Function Call Failed!\n", 0), 0u) << c;
}

}  // namespace
