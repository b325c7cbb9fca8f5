// Two pages on one group of the HDLC controller: its part of shared memory as named
// tables with the adapter's addresses ("Shared Memory"), and its registers, adapter and
// link actions and channel statistics ("Bt847x").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/mfc/afxdlgs.h"

class CMyPropertyPage4 : public CPropertyPage {
    DECLARE_DYNCREATE(CMyPropertyPage4)
public:
    CMyPropertyPage4();
    BOOL OnInitDialog() override;

    int m_Source = 1;  // 0 "Bt847x Register Space", 1 "Shared Memory"
    int m_Group = 0;
    int m_Table = 0;
    CString m_Dump;
    // The last memory reply, 0xFF bytes where it said nothing.
    std::vector<uint8_t> m_Copy = std::vector<uint8_t>(8192, 0xFF);

    void Refresh();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    void OnSelchangeView();
    DECLARE_MESSAGE_MAP()

private:
    void ReadAdapter(uint32_t action);
    void ShowDump();
};

class CMyPropertyPage5 : public CPropertyPage {
    DECLARE_DYNCREATE(CMyPropertyPage5)
public:
    CMyPropertyPage5();
    BOOL OnInitDialog() override;

    int m_Group = 0;
    int m_TapiLine = 0;
    int m_Request = 0;
    CString m_Offset;
    CString m_Value;
    CString m_ChannelStatistics;
    CString m_Status;
    CString m_NumberToDial;
    int m_CallType = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    void OnGoChannel();
    void OnGoGroup();
    void OnRead();
    void OnWrite();
    void OnUpdateStatistics();
    void OnGroupStatistics();
    DECLARE_MESSAGE_MAP()

private:
    // The "Request" choice on one channel; false when the request did not reach the driver.
    bool RunOnChannel(int channel);
    void ShowStatus(const std::string& text);
};
