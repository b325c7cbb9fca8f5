// The serial port transport. Every operation but the comm-event wait runs on the
// worker that executes the modem's message; the management thread waits on the event.
#include "QLCommon/SerialPortMethod.h"

#include "QLCommon/ConfigMap.h"

namespace {

constexpr DWORD kCommEvents = EV_DSR | EV_RLSD | EV_RING;  // 0x130
constexpr DWORD kControlWaitMs = 3000;

}  // namespace

bool serial_WaitOverlapped(HANDLE port, OVERLAPPED* ov, DWORD ms, DWORD* count)
{
    DWORD n = 0;
    bool ok;
    if (WaitForSingleObject(ov->hEvent, ms) == WAIT_OBJECT_0) {
        ok = GetOverlappedResult(port, ov, &n, FALSE) != 0;
    } else {
        CancelIo(port);
        ok = GetOverlappedResult(port, ov, &n, TRUE) != 0;
    }
    if (count != nullptr) *count = n;
    return ok;
}

CSerialPortMethod::CSerialPortMethod(const std::string& portName) : CMethod(portName, "SerialPort")
{
    if (!Open(portName)) return;
    m_Overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetCommMask(m_hPort, kCommEvents);
    m_bOpened = true;
    WaitForEvent();
}

CSerialPortMethod::~CSerialPortMethod()
{
    if (!m_bOpened) return;
    // The pending wait writes into this object: end it and see it ended first.
    SetCommMask(m_hPort, 0);
    DWORD n = 0;
    GetOverlappedResult(m_hPort, &m_Overlapped, &n, TRUE);
    CloseHandle(m_hPort);
    CloseHandle(m_Overlapped.hEvent);
}

bool CSerialPortMethod::Open(const std::string& name)
{
    std::string path = "\\\\.\\" + name;
    m_hPort = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                          nullptr);
    if (m_hPort == INVALID_HANDLE_VALUE) {
        ZEL_TRACE(1, "Unable to open specified COM port <%s>. GetLastError = %ld", name.c_str(), (long)GetLastError());
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(m_hPort, &dcb)) {
        ZEL_TRACE(1, "Unable to get COM port communication parameters");
        CloseHandle(m_hPort);
        m_hPort = INVALID_HANDLE_VALUE;
        return false;
    }
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(m_hPort, &dcb)) {
        ZEL_TRACE(1, "Unable to set COM port communication parameters");
        CloseHandle(m_hPort);
        m_hPort = INVALID_HANDLE_VALUE;
        return false;
    }
    return true;
}

bool CSerialPortMethod::SetBlocking(int on)
{
    if (on == 1 && IsDSROn() == 1) return false;  // a call on the modem
    BYTE flag = on == 1 ? 1 : 0;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    BOOL ok = DeviceIoControl(m_hPort, IOCTL_SHADOW_SETBLOCKING, &flag, 1, nullptr, 0, &n, &ov);
    // A port driver that never answers is given up on, as for every other control.
    if (ok || GetLastError() == ERROR_IO_PENDING) ok = serial_WaitOverlapped(m_hPort, &ov, kControlWaitMs, &n);
    CloseHandle(ov.hEvent);
    if (!ok) ZEL_TRACE(1, "ERROR: IOCTL_SHADOW_SETBLOCKING call failed!!");
    return ok != 0;
}

int CSerialPortMethod::ModemStatusBit(DWORD bit)
{
    DWORD status = 0;
    if (!GetCommModemStatus(m_hPort, &status)) return 2;
    return (status & bit) != 0 ? 1 : 2;
}

int CSerialPortMethod::IsCTSOn() { return ModemStatusBit(MS_CTS_ON); }
int CSerialPortMethod::IsDSROn() { return ModemStatusBit(MS_DSR_ON); }
int CSerialPortMethod::IsDCDOn() { return ModemStatusBit(MS_RLSD_ON); }
int CSerialPortMethod::IsDTROn() { return (SendControl(IOCTL_SERIAL_GET_DTRRTS) & SERIAL_DTR_STATE) != 0 ? 1 : 2; }
int CSerialPortMethod::IsRTSOn() { return (SendControl(IOCTL_SERIAL_GET_DTRRTS) & SERIAL_RTS_STATE) != 0 ? 1 : 2; }
void CSerialPortMethod::SetDTR(int value) { SendControl(value == 1 ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR); }
void CSerialPortMethod::SetRTS(int value) { SendControl(value == 1 ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS); }

DWORD CSerialPortMethod::SendControl(DWORD code)
{
    DWORD out = 0, n = 0;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (DeviceIoControl(m_hPort, code, nullptr, 0, &out, sizeof out, &n, &ov) || GetLastError() == ERROR_IO_PENDING)
        serial_WaitOverlapped(m_hPort, &ov, kControlWaitMs, &n);
    CloseHandle(ov.hEvent);
    return n >= sizeof out ? out : 0;
}

bool CSerialPortMethod::WaitForEvent()
{
    if (!m_bOpened) return false;
    m_EventMask = 0;
    if (WaitCommEvent(m_hPort, &m_EventMask, &m_Overlapped)) return true;
    return GetLastError() == ERROR_IO_PENDING;
}
