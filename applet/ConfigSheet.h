// The configuration sheet of an adapter: line setup, directory numbers, code update and
// asynchronous ports. The pages only hold values; the adapter page fills them before
// the sheet runs and saves them after the user confirms.
#pragma once

#include <string>
#include <vector>

#include "QLCommon/Variables.h"
#include "applet/UpdateCode.h"
#include "platform/mfc/afxdlgs.h"

class CVX2430Adapter;

class CLiConfig : public CPropertyPage, public CObserver {
public:
    CLiConfig();
    void Update(CSubject*, SubjectHint) override {}

    int m_LineCoding = -1;
    int m_SwitchType = -1;
    int m_TxLevel = -1;
    int m_Framing = -1;  // the framing value; the list shows 6 as its entry 5

    static int FramingEntry(int value);

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

private:
    int m_FramingEntryShown = -1;
};

// What the line list entries show of a setup record, and what goes back: a stored value
// stays unless the user picks another entry.
struct CLineSetupLists {
    int LineCoding, SwitchType, TxLevel, Framing;  // Framing holds the framing value
};
CLineSetupLists zel_SetupToLists(const rpri_tSetup& setup);
void zel_ListsToSetup(const CLineSetupLists& shown, const CLineSetupLists& chosen, rpri_tSetup& setup);

class CQLSDirectoryDialog : public CPropertyPage {
public:
    // The record holds the numbers of channels 0 to 29; the dialog offers no more.
    static constexpr int kEntries = RPRI_DIRNUM_ENTRIES;
    static constexpr int kLength = RPRI_DIRNUM_LENGTH;

    CQLSDirectoryDialog();
    CSpinButtonCtrl m_Spin;
    CComboBox m_List;
    int m_Channel = 0;
    CString m_ListText;
    int m_FillMode = 0;
    CString m_FirstNumber;
    char m_Numbers[kEntries][kLength] = {};
    int m_EditedEntry = 0;

    // The entries "Fill" makes from a first number.
    static std::vector<std::string> FillEntries(const std::string& first, bool increment);

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    BOOL OnKillActive() override;
    void OnSelectNumber();
    void OnFill();
    void OnChannelSpin(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar);
    void OnVScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar) { OnChannelSpin(nSBCode, nPos, pScrollBar); }
    DECLARE_MESSAGE_MAP()

private:
    void ReplaceEditedEntry();
    void StoreNumbers();
};

class CAsyncPorts : public CPropertyPage {
public:
    CAsyncPorts();
    UINT m_FirstPort = 0;
    UINT m_PortCount = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
};

class CConfigSheet : public CPropertySheet {
public:
    CConfigSheet(UINT nIDCaption, CVX2430Adapter* adapter, CWnd* pParentWnd = nullptr, UINT iSelectPage = 0);
    CConfigSheet(LPCTSTR pszCaption, CVX2430Adapter* adapter, CWnd* pParentWnd = nullptr, UINT iSelectPage = 0);
    BOOL OnInitDialog() override;

    CVX2430Adapter* m_pAdapter;
    bool m_bRestartNeeded = false;
    CLiConfig m_LineConfig;
    bool m_bLineSetupChanged = false;
    CQLSDirectoryDialog m_DirectoryNumbers;
    bool m_bDirectoryNumbersChanged = false;
    CUpdateCode m_UpdateCode;
    bool m_bFourth = false;
    CAsyncPorts m_AsyncPorts;

private:
    void AddPages();
};
