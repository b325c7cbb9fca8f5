// The setup sheet: PRI, directory-number and asynchronous-port pages over line 0 of the
// card's parameter tables.
#pragma once

#include <string>
#include <vector>

#include "platform/mfc/afxdlgs.h"

class CPriConfig : public CPropertyPage {
    DECLARE_DYNCREATE(CPriConfig)
public:
    CPriConfig();
    int m_Framing = -1;
    int m_LineCode = -1;
    int m_SwitchType = -1;
    int m_TxLevel = -1;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    void OnPickFraming();
    void OnPickLineCode();
    void OnPickSwitchType();
    void OnPickTxLevel();
    DECLARE_MESSAGE_MAP()

private:
    bool m_Loaded = false;
    // Which lists the user picked from; a value left alone is kept as stored.
    bool m_PickedFraming = false, m_PickedLineCode = false, m_PickedSwitchType = false, m_PickedTxLevel = false;
};

class CDirNumberCfg : public CPropertyPage {
    DECLARE_DYNCREATE(CDirNumberCfg)
public:
    CDirNumberCfg();
    CSpinButtonCtrl m_Spin;
    CComboBox m_Combo;
    int m_Channel = 0;
    CString m_ComboText;
    int m_FillMode = -1;
    CString m_FirstNumber;
    int m_EditChannel = 0;

    // The rows "Fill" makes from a first number.
    static std::vector<std::string> FillRows(const std::string& first, bool increment);

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    BOOL OnKillActive() override;
    void OnOK() override;
    void OnCancel() override;
    void OnVScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar);
    void OnSelchangeDirNumber();
    void OnFill();
    DECLARE_MESSAGE_MAP()

private:
    void ReplaceEditedRow();
    void KeepRows();
    bool RowsFit();
    std::vector<std::string> m_Rows;  // the combo's rows while the page is not shown
};

class CAsyncPorts : public CPropertyPage {
    DECLARE_DYNCREATE(CAsyncPorts)
public:
    CAsyncPorts();
    UINT m_FirstPort = 0;
    UINT m_Count = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;

private:
    bool m_Loaded = false;
};

class CConfigSheet : public CPropertySheet {
public:
    explicit CConfigSheet(LPCTSTR caption);
    CPriConfig m_PriConfig;
    CDirNumberCfg m_DirNumberCfg;
    CAsyncPorts m_AsyncPorts;

    BOOL OnInitDialog() override;

private:
    bool m_Shown = false;
};

class CBusNumberDlg : public CDialog {
public:
    explicit CBusNumberDlg(CWnd* pParent = nullptr);
    UINT m_BusNumber = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
};

// The dialog templates of the library, registered once.
void RegisterSetupResources();
