// Serial ports of the zelCOM port driver over the simulator's modem adapter.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "platform/win32/windows.h"
#include "sim/serial/test_ports.h"

namespace {

using sim::serial::TestPorts;

struct Port {
    HANDLE h = INVALID_HANDLE_VALUE;
    explicit Port(const std::string& name)
    {
        h = CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
    }
    ~Port()
    {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

// Reads until the text holds want or a second has passed.
std::string read_until(HANDLE h, const std::string& want)
{
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    while (got.find(want) == std::string::npos && std::chrono::steady_clock::now() < end) {
        COMSTAT st{};
        DWORD errors = 0;
        ClearCommError(h, &errors, &st);
        if (st.cbInQue == 0) {
            Sleep(10);
            continue;
        }
        std::string chunk(st.cbInQue, '\0');
        OVERLAPPED ov{};
        ov.hEvent = ev;
        DWORD n = 0;
        if (!ReadFile(h, chunk.data(), st.cbInQue, &n, &ov)) GetOverlappedResult(h, &ov, &n, TRUE);
        got += chunk.substr(0, n);
    }
    CloseHandle(ev);
    return got;
}

void write_text(HANDLE h, const std::string& text)
{
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, &ov));
    EXPECT_EQ(n, text.size());
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
    CloseHandle(ov.hEvent);
}

TEST(CommPort, OpensOnlyListedPortsOnceAndTalksToTheModem)
{
    TestPorts ports(2);
    Port a(TestPorts::shadow(1));
    ASSERT_NE(a.h, INVALID_HANDLE_VALUE);
    Port again(TestPorts::shadow(1));
    EXPECT_EQ(again.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    Port unlisted("ZELSHADOW9");
    EXPECT_EQ(unlisted.h, INVALID_HANDLE_VALUE);

    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(a.h, &status));
    EXPECT_EQ(status, MS_CTS_ON);

    DCB dcb{};
    ASSERT_TRUE(GetCommState(a.h, &dcb));
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(a.h, &dcb));
    DCB back{};
    ASSERT_TRUE(GetCommState(a.h, &back));
    EXPECT_EQ(back.BaudRate, CBR_9600);
    EXPECT_EQ(back.ByteSize, 8);
    dcb.ByteSize = 12;
    EXPECT_FALSE(SetCommState(a.h, &dcb));

    write_text(a.h, "ati0\r");
    std::string reply = read_until(a.h, "OK\r\n");
    EXPECT_EQ(reply, "ati0\r\r\nZELMQPCI Modem Version 4.16j\r\n\r\nOK\r\n");

    // The second port is a modem of its own.
    Port b(TestPorts::shadow(2));
    ASSERT_NE(b.h, INVALID_HANDLE_VALUE);
    write_text(b.h, "ats10=7\r");
    EXPECT_NE(read_until(b.h, "OK\r\n").find("OK"), std::string::npos);
    EXPECT_EQ(ports.adapter->setting(TestPorts::shadow(2), "s10"), "7");
    EXPECT_EQ(ports.adapter->setting(TestPorts::shadow(1), "s10"), "14");
}

TEST(CommPort, ModemLinesRaiseTheMaskedEventsInOrder)
{
    TestPorts ports(1);
    Port p(TestPorts::shadow(1));
    ASSERT_NE(p.h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(p.h, EV_DSR | EV_RLSD | EV_RING));
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);

    struct Step {
        const char* what;
        std::function<void()> act;
        DWORD events;   // seen, gathered over the waits that complete
        DWORD status;   // modem status afterwards
    };
    auto& modem = *ports.adapter;
    const std::string name = TestPorts::shadow(1);
    std::vector<Step> steps = {
        {"ring", [&] { modem.ring(name); }, EV_RING, MS_CTS_ON},
        {"carrier", [&] { modem.raise_carrier(name); }, EV_DSR | EV_RLSD, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON},
        {"drop", [&] { modem.drop_carrier(name); }, EV_DSR | EV_RLSD, MS_CTS_ON},
        {"ready", [&] { modem.set_dsr(name, true); }, EV_DSR, MS_CTS_ON | MS_DSR_ON},
    };
    for (auto& s : steps) {
        SCOPED_TRACE(s.what);
        DWORD seen = 0;
        s.act();
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while ((seen & s.events) != s.events && std::chrono::steady_clock::now() < end) {
            DWORD mask = 0;
            OVERLAPPED ov{};
            ov.hEvent = ev;
            if (!WaitCommEvent(p.h, &mask, &ov)) {
                ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
                if (WaitForSingleObject(ev, 500) != WAIT_OBJECT_0) {
                    CancelIo(p.h);
                    DWORD n;
                    GetOverlappedResult(p.h, &ov, &n, TRUE);
                    continue;
                }
            }
            seen |= mask;
        }
        EXPECT_EQ(seen, s.events);
        Sleep(250);  // the ring pulse ends
        DWORD status = 0;
        ASSERT_TRUE(GetCommModemStatus(p.h, &status));
        EXPECT_EQ(status, s.status);
    }
    // An event not in the mask completes no wait.
    ASSERT_TRUE(SetCommMask(p.h, EV_RING));
    DWORD mask = 0;
    OVERLAPPED ov{};
    ov.hEvent = ev;
    EXPECT_FALSE(WaitCommEvent(p.h, &mask, &ov));
    modem.set_dsr(name, false);
    EXPECT_EQ(WaitForSingleObject(ev, 200), static_cast<DWORD>(WAIT_TIMEOUT));
    // A new mask ends the pending wait with no event.
    ASSERT_TRUE(SetCommMask(p.h, EV_DSR));
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(p.h, &ov, &n, TRUE));
    EXPECT_EQ(mask, 0u);
    CloseHandle(ev);
}

TEST(CommPort, DeviceControlsReachThePortDriver)
{
    TestPorts ports(1);
    const std::string name = TestPorts::shadow(1);
    Port p(name);
    ASSERT_NE(p.h, INVALID_HANDLE_VALUE);
    struct Case {
        DWORD code;
        uint8_t in;
        DWORD in_size;
        bool ok;
    };
    const Case cases[] = {
        {IOCTL_SERIAL_SET_DTR, 0, 0, true},  {IOCTL_SERIAL_SET_RTS, 0, 0, true},
        {IOCTL_SHADOW_SETBLOCKING, 1, 1, true}, {IOCTL_SHADOW_SETBLOCKING, 7, 1, false},
        {0x00229999, 0, 0, false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.code);
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        uint8_t in = c.in;
        DWORD out = 0, n = 0;
        BOOL started = DeviceIoControl(p.h, c.code, c.in_size ? &in : nullptr, c.in_size, &out, sizeof out, &n, &ov);
        if (!started) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        }
        EXPECT_EQ(GetOverlappedResult(p.h, &ov, &n, TRUE) != 0, c.ok);
        CloseHandle(ov.hEvent);
    }
    EXPECT_TRUE(ports.adapter->dtr(name));
    EXPECT_TRUE(ports.adapter->rts(name));
    EXPECT_TRUE(ports.adapter->blocking(name));

    // Without an OVERLAPPED the request is waited for.
    DWORD lines = 0, n = 0;
    ASSERT_TRUE(DeviceIoControl(p.h, IOCTL_SERIAL_CLR_RTS, nullptr, 0, nullptr, 0, &n, nullptr));
    ASSERT_TRUE(DeviceIoControl(p.h, IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, sizeof lines, &n, nullptr));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(lines, SERIAL_DTR_STATE);
    uint16_t small = 0;
    EXPECT_FALSE(DeviceIoControl(p.h, IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &small, sizeof small, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    // Dropping DTR in a call hangs the modem up.
    ports.adapter->raise_carrier(name);
    Sleep(100);
    ASSERT_TRUE(DeviceIoControl(p.h, IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0, &n, nullptr));
    Sleep(100);
    DWORD status = 0;
    GetCommModemStatus(p.h, &status);
    EXPECT_EQ(status & (MS_DSR_ON | MS_RLSD_ON), 0u);
}

TEST(CommPort, CancelledRequestsEndAndLeaveTheirBuffersAlone)
{
    TestPorts ports(1);
    const std::string name = TestPorts::shadow(1);
    sim::serial::ModemKnobs knobs;
    knobs.silent = true;
    knobs.hold_controls = true;
    ports.adapter->set_knobs(name, knobs);
    Port p(name);
    ASSERT_NE(p.h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(p.h, EV_RLSD));

    // A comm-event wait from another thread outlives this thread's CancelIo.
    HANDLE wait_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED wait_ov{};
    wait_ov.hEvent = wait_event;
    DWORD mask = 0;
    std::thread([&] { EXPECT_FALSE(WaitCommEvent(p.h, &mask, &wait_ov)); }).join();

    auto* buffer = new char[64];
    std::memset(buffer, 'x', 64);
    OVERLAPPED read_ov{};
    read_ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(p.h, buffer, 16, &n, &read_ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    auto* word = new DWORD(0xAAAAAAAA);
    OVERLAPPED control_ov{};
    control_ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(DeviceIoControl(p.h, IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, word, sizeof *word, &n, &control_ov));
    EXPECT_EQ(WaitForSingleObject(read_ov.hEvent, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(GetOverlappedResult(p.h, &read_ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    ASSERT_TRUE(CancelIo(p.h));
    EXPECT_FALSE(GetOverlappedResult(p.h, &read_ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(GetOverlappedResult(p.h, &control_ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    delete[] buffer;
    delete word;

    // Late answers and data go nowhere (the sanitizer watches the freed memory).
    knobs.silent = false;
    knobs.hold_controls = false;
    ports.adapter->set_knobs(name, knobs);
    write_text(p.h, "at\r");
    EXPECT_NE(read_until(p.h, "OK"), "");

    // The other thread's wait is still there and sees the carrier.
    EXPECT_EQ(WaitForSingleObject(wait_event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ports.adapter->raise_carrier(name);
    EXPECT_EQ(WaitForSingleObject(wait_event, 2000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(p.h, &wait_ov, &n, FALSE));
    EXPECT_EQ(mask, EV_RLSD);
    CloseHandle(wait_event);
    CloseHandle(read_ov.hEvent);
    CloseHandle(control_ov.hEvent);
}

TEST(CommPort, ClosingThePortEndsItsPendingRequests)
{
    TestPorts ports(1);
    Port p(TestPorts::shadow(1));
    ASSERT_NE(p.h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(p.h, EV_DSR));
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD mask = 0;
    EXPECT_FALSE(WaitCommEvent(p.h, &mask, &ov));
    CloseHandle(p.h);
    p.h = INVALID_HANDLE_VALUE;
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_OBJECT_0);
    EXPECT_NE(ov.Internal, 0u);
    CloseHandle(ov.hEvent);
    // The port opens again.
    Port again(TestPorts::shadow(1));
    EXPECT_NE(again.h, INVALID_HANDLE_VALUE);
}

}  // namespace
