// Two pages on one link of one line: its state, counters and numbers beside its HDLC
// statistics ("Link Info"), and its transmit and receive rings ("Messages").
#pragma once

#include "platform/mfc/afxdlgs.h"

class CMyPropertyPage10 : public CPropertyPage {
    DECLARE_DYNCREATE(CMyPropertyPage10)
public:
    CMyPropertyPage10();
    BOOL OnInitDialog() override;

    CTabCtrl m_Lines;
    CString m_Left;
    CString m_Right;
    int m_Link = 0;
    int m_CurrentLine = 0;

    // Both reports of the current line and link.
    void Refresh();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    void OnSelchangeTab(NMHDR* pNMHDR, LRESULT* pResult);
    void OnSelchangeLink();
    DECLARE_MESSAGE_MAP()
};

class CMyPropertyPage11 : public CPropertyPage {
    DECLARE_DYNCREATE(CMyPropertyPage11)
public:
    CMyPropertyPage11();
    BOOL OnInitDialog() override;

    CTabCtrl m_Lines;
    CSliderCtrl m_TxSlider;
    CSliderCtrl m_RxSlider;
    int m_CurrentLine = 0;
    int m_Link = 0;
    int m_TxPosition = 0;
    int m_RxPosition = 0;
    int m_TxCount = 0;
    int m_RxCount = 0;

    void DescriptorReport();
    void DataReport();
    void ResetSliders();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    void OnSelchangeTab(NMHDR* pNMHDR, LRESULT* pResult);
    void OnSelchangeLink();
    void OnHScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar);
    DECLARE_MESSAGE_MAP()

private:
    void Restart();
};
