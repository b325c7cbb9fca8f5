// The Control Panel entry: the application object, its panel, the card selection and
// the reading of the adapter's type and module types from its registry parameters.
#pragma once

#include <cstdint>

#include "platform/mfc/afxdlgs.h"
#include "platform/win32/cpl.h"

class CControlPanel {
public:
    CControlPanel();
    virtual ~CControlPanel();
    virtual LONG OnDblclk(HWND hwndCPl, LPARAM lParam1, LPARAM lParam2);
    virtual LONG OnExit();
    virtual LONG OnGetCount();
    virtual LONG OnInit();
    virtual LONG OnNewInquire(UINT uAppNum, NEWCPLINFOA* pInfo);
    virtual LONG OnSelect(LPARAM lParam1, LPARAM lParam2);
    virtual LONG OnStop(LPARAM lParam1, LPARAM lParam2);
};

class CMyPanel : public CControlPanel {
public:
    LONG OnDblclk(HWND hwndCPl, LPARAM lParam1, LPARAM lParam2) override;
    LONG OnNewInquire(UINT uAppNum, NEWCPLINFOA* pInfo) override;
};

class CAppletApp : public CWinApp {
public:
    CAppletApp();
    ~CAppletApp() override;
    CMyPanel m_Panel;
};

class CCardSelection : public CDialog {
public:
    explicit CCardSelection(CWnd* pParent = nullptr);
    int m_Selected = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
};

extern CControlPanel* GControlPanel;

uint32_t ReadAdapterId(uint32_t deviceNumber);
uint32_t ReadModuleId(uint32_t deviceNumber, uint32_t socket);
// The parameters key of the adapter: under the control set that SYSTEM\Select names as
// current, else under CurrentControlSet.
std::string ParametersKeyOf(uint32_t deviceNumber);
void AppletTimerProc(HWND hWnd, UINT message, UINT_PTR id, DWORD time);

extern "C" LONG CPlApplet(HWND hwndCPl, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
