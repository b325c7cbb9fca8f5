// The ISDN primary-rate debug page: hand-made layer-3 messages on a line, the stack's
// test mode, the call view, the layer-2/3 statistics and the signalling trace backup.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/mfc/afxdlgs.h"

class CMyPropertyPage9 : public CPropertyPage {
    DECLARE_DYNCREATE(CMyPropertyPage9)
public:
    CMyPropertyPage9();
    ~CMyPropertyPage9() override;
    BOOL OnInitDialog() override;

    CTabCtrl m_Lines;
    CButton m_Setup;
    CString m_CallRefValue = "0001";
    CString m_CallRefLength = "2";
    int m_TestMode = 0;
    CString m_CallingNumber;
    int m_Channel = -1;
    int m_Cause = -1;
    int m_Bearer = -1;
    int m_Exclusive = 0;
    int m_RestartIndicator = -1;
    CString m_Display;
    int m_StatisticsType = 0;
    int m_Periodic = 0;
    int m_BackupPeriod = 60;
    int m_FrameType = 0;
    int m_CurrentLine = 0;
    char m_NextPeriodic = 'A';
    int m_PeriodicTicks = 0;
    CString m_Status;

    // The one-second tick of the periodic backup.
    void PeriodicTick();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    void OnSelchangeTab(NMHDR* pNMHDR, LRESULT* pResult);
    void OnSetup();
    void OnConnect();
    void OnDisconnect();
    void OnInformation();
    void OnRestart();
    void OnTestRunning();
    void OnCallView();
    void OnStatistics();
    void OnTraceBackup();
    void OnFrameType();
    void OnPeriodic();
    void OnTimer(UINT_PTR nIDEvent);
    void OnDestroy();
    DECLARE_MESSAGE_MAP()

private:
    void SendFrame(uint32_t action, const std::vector<uint32_t>& args, const char* sent);
    void ShowStatus(const std::string& text);
    void ShowDisplay(const std::string& text);
    // Writes the stack's trace into `file`; false when a request failed (the display says why).
    bool WriteTrace(const std::string& file);
    UINT_PTR m_Timer = 0;
};
