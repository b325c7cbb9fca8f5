// The message counters of one modem processor: how many mailbox messages of each code
// it has received from the driver and sent to it, read anew on "Refresh".
#pragma once

#include <cstdint>

#include "platform/mfc/afxwin.h"

class CMyPropertySheet;

class CCsmStats : public CDialog {
public:
    CCsmStats(CWnd* pParent, CMyPropertySheet* sheet, uint32_t module, uint32_t csm);

    CMyPropertySheet* m_pSheet;
    uint32_t m_Module;
    uint32_t m_Csm;
    CString m_InBound;
    CString m_OutBound;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    void OnRefresh();
    DECLARE_MESSAGE_MAP()
};
