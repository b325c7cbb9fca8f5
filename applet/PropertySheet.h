// The applet's main window: one page per adapter, the table of adapters with their
// driver devices, the one management record that pages send on the user-interface
// thread, the current adapter's layout rows, and the TAPI lines it holds open while it
// runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "QLCommon/IOCTLMethod.h"
#include "applet/LayoutTables.h"
#include "applet/AdapterInfoPage.h"
#include "applet/LineConfigPage.h"
#include "applet/StatusGridPage.h"
#include "platform/mfc/afxdlgs.h"
#include "platform/tapi32/tapi.h"

class CVX2430Adapter;
class CPropertyPageQLS;

class CMyPropertySheet : public CPropertySheet {
public:
    static constexpr uint32_t kMaxAdapters = 255;

    explicit CMyPropertySheet(CWnd* pParentWnd);
    ~CMyPropertySheet() override;

    void AddAdapterPage(CVX2430Adapter* adapter);
    void AddCommonPages();
    bool HasCommonPages() const { return m_bCommonPages; }
    BOOL ClearDriverRequest();
    BOOL SendDriverRequest();
    // Segment k of the reply in the request block; empty unless the driver accepted the
    // request (Status 0) and the segment lies in the data area.
    static CReplyData ReplySegment(const BackdoorRequest& reply, int k);
    static std::string StatusText(const BackdoorRequest& reply);

    BOOL OnInitDialog() override;

    // The common pages.
    // line configuration page: CMyPropertyPage3 m_LineConfigPage;  (wired with its page)
    // information page: CMyPropertyPage7 m_InfoPage;  (wired with its page)
    CMyPropertyPage8 m_StatusGridPage;
    CMyPropertyPage7 m_InfoPage;
    CMyPropertyPage3 m_LineConfigPage;
    CWnd* m_pParent;
    std::vector<CPropertyPageQLS*> m_AdapterPages;
    uint32_t m_DeviceNumbers[kMaxAdapters] = {};
    HANDLE m_DeviceHandles[kMaxAdapters] = {};
    uint32_t m_AdapterCount = 0;
    uint32_t m_CurrentAdapter = 0;

    LINEINITIALIZEEXPARAMS m_TapiParams{};
    HLINEAPP m_hLineApp = 0;
    DWORD m_TapiVersion = 0;
    DWORD m_LineVersion = 0;
    DWORD m_HighVersion = 0;
    DWORD m_LowVersion = 0;
    DWORD m_LineDevices = 0;
    DWORD m_KeptLines = 0;
    std::vector<std::string> m_LineNames;
    std::vector<HLINE> m_LineHandles;

    BackdoorRequest* m_pRequest = nullptr;
    BackdoorRequest m_Request{};

    uint32_t m_AdapterType = 0;
    const BoardTypeRow* m_pBoardRow = nullptr;
    const ModuleTypeRow* m_pModuleRows[kModuleSockets] = {};

protected:
    void OnDestroy();
    DECLARE_MESSAGE_MAP()

private:
    bool ScanTapiLines();
    void CloseTapiLines();
    bool m_bCommonPages = false;
    HMODULE m_hTapi = nullptr;
};

extern CMyPropertySheet* GPropertySheet;
