// The transport of a serial-attached modem: its port through the zelCOM port driver's
// shadow device, one overlapped comm-event wait kept pending on it (its event is the
// modem object's event), the modem-control lines, and the driver's blocking mode that
// holds the real port's user off during an AT exchange. Line reads answer 1 for on
// and 2 for off.
#pragma once

#include <string>

#include "QLCommon/Method.h"
#include "platform/win32/windows.h"

class CSerialPortMethod : public CMethod {
public:
    explicit CSerialPortMethod(const std::string& portName);
    ~CSerialPortMethod() override;
    CSerialPortMethod(const CSerialPortMethod&) = delete;
    CSerialPortMethod& operator=(const CSerialPortMethod&) = delete;

    bool Open(const std::string& name);
    bool SetBlocking(int on);
    int IsCTSOn();
    int IsDSROn();
    int IsDCDOn();
    int IsDTROn();
    int IsRTSOn();
    void SetDTR(int value);
    void SetRTS(int value);
    DWORD SendControl(DWORD code);
    HANDLE GetEventHandle() const { return m_Overlapped.hEvent; }
    DWORD GetEventMask() const { return m_EventMask; }
    bool WaitForEvent();

    bool IsOpened() const { return m_bOpened; }
    HANDLE GetPortHandle() const { return m_hPort; }

private:
    int ModemStatusBit(DWORD bit);

    bool m_bOpened = false;
    DWORD m_EventMask = 0;
    OVERLAPPED m_Overlapped{};
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
};

// Waits up to ms for an overlapped request on port to end; one still running then is
// cancelled and waited for, so nothing it was given is written after the return. True
// when it succeeded (in time, or in the moment before its cancelling); *count gets the
// bytes it transferred.
bool serial_WaitOverlapped(HANDLE port, OVERLAPPED* ov, DWORD ms, DWORD* count);
