// The "Bt8370" engineering page: one line's framer turned into readable reports (receive
// and transmit counters, device status, alarms, statistics, the register dump, which is
// also written to a file, and the robbed-bit signalling state).
#pragma once

#include <cstdint>

#include "applet/FramerReports.h"
#include "platform/mfc/afxdlgs.h"

struct BackdoorRequest;

class CMyPropertyPage2 : public CPropertyPage {
    DECLARE_DYNCREATE(CMyPropertyPage2)
public:
    CMyPropertyPage2();

    BOOL OnInitDialog() override;

    CString m_Report;
    CString m_Prototype;
    int m_DeviceIndex = -1;

    // The running sums of the receive counters, kept for the whole applet.
    static uint32_t s_Sums[framer::kRunningSums];

protected:
    void DoDataExchange(CDataExchange* pDX) override;

    void OnDeviceCloseUp();
    void OnReceive();
    void OnTransmit();
    void OnOthers();
    void OnStatus();
    void OnStatistics();
    void OnRbs();
    void OnDump();
    void OnClear();
    DECLARE_MESSAGE_MAP()

private:
    // The common frame: saves the controls, shows "Start Processing ...", reads the line
    // with (0, 4). The request block holding the accepted reply, or nullptr with the
    // report box already telling why.
    BackdoorRequest* ReadLine();
    BackdoorRequest* Send(uint32_t cls, uint32_t action);
    void Show(const std::string& report);
};

// The page's factory, as the applet's table of engineering pages takes it.
CPropertyPage* CreateFramerDumpPage();
