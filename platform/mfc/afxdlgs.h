// Property sheets and pages, and the file dialog.
#pragma once

#include <vector>

#include "platform/mfc/afxcmn.h"

enum : DWORD { PSP_DEFAULT = 0x0000, PSP_USETITLE = 0x0008, PSP_HASHELP = 0x0020 };
enum : DWORD { PSH_DEFAULT = 0x0000, PSH_NOAPPLYNOW = 0x0080, PSH_HASHELP = 0x0200 };
constexpr int ID_APPLY_NOW = 0x3021;

struct PROPSHEETPAGE {
    DWORD dwSize;
    DWORD dwFlags;
    LPCTSTR pszTitle;
};
struct PROPSHEETHEADER {
    DWORD dwSize;
    DWORD dwFlags;
    LPCTSTR pszCaption;
    UINT nStartPage;
};

class CPropertySheet;

// A page: a dialog template shown under a tab of its sheet. Its window is made when
// the page is first shown; it may also run alone as a modal dialog.
class CPropertyPage : public CDialog {
    DECLARE_DYNAMIC(CPropertyPage)
public:
    explicit CPropertyPage(UINT nIDTemplate = 0, UINT nIDCaption = 0);
    PROPSHEETPAGE m_psp;

    virtual BOOL OnSetActive();
    virtual BOOL OnKillActive();
    virtual BOOL OnApply();
    virtual void OnReset();
    virtual BOOL OnQueryCancel();
    void SetModified(BOOL bChanged = TRUE);
    void CancelToClose();
    // The caption of its tab.
    CString GetTitle() const;

protected:
    void OnOK() override;
    void OnCancel() override;

private:
    friend class CPropertySheet;
    friend struct AfxWindowAccess;
    CString caption_;
    CPropertySheet* sheet_ = nullptr;
    bool modified_ = false;
    bool firstActive_ = true;
};

class CPropertySheet : public CWnd {
    DECLARE_DYNAMIC(CPropertySheet)
public:
    explicit CPropertySheet(UINT nIDCaption = 0, CWnd* pParentWnd = nullptr, UINT iSelectPage = 0);
    explicit CPropertySheet(LPCTSTR pszCaption, CWnd* pParentWnd = nullptr, UINT iSelectPage = 0);
    ~CPropertySheet() override;
    PROPSHEETHEADER m_psh;

    // Pages may be added and removed while the sheet runs.
    void AddPage(CPropertyPage* pPage);
    void RemovePage(CPropertyPage* pPage);
    void RemovePage(int nPage);
    int GetPageCount() const;
    CPropertyPage* GetPage(int nPage) const;
    CPropertyPage* GetActivePage() const;
    int GetActiveIndex() const;
    int GetPageIndex(CPropertyPage* pPage) const;
    BOOL SetActivePage(int nPage);
    BOOL SetActivePage(CPropertyPage* pPage);
    void SetTitle(LPCTSTR lpszText);
    CTabCtrl* GetTabControl() const;

    virtual int DoModal();
    void EndDialog(int nEndID);
    virtual BOOL OnInitDialog();
    BOOL OnCmdMsg(UINT nID, int nCode, void* pExtra, void* pHandlerInfo) override;

private:
    friend class CPropertyPage;
    friend struct AfxWindowAccess;
    bool Activate(int index);  // false when the current page refuses to leave
    void PressOK();
    void PressCancel();
    void PressApply();
    void UpdateApply();
    void AddTab(CPropertyPage* page);
    CString caption_;
    CWnd* parent_;
    std::vector<CPropertyPage*> pages_;
    int active_ = -1;
    int result_ = -1;
    bool modal_ = false;
};

enum : DWORD {
    OFN_READONLY = 0x0001, OFN_OVERWRITEPROMPT = 0x0002, OFN_HIDEREADONLY = 0x0004,
    OFN_PATHMUSTEXIST = 0x0800, OFN_FILEMUSTEXIST = 0x1000,
};
struct OPENFILENAME {
    DWORD Flags;
    LPCTSTR lpstrInitialDir;
    LPCTSTR lpstrTitle;
};

class CFileDialog : public CDialog {
    DECLARE_DYNAMIC(CFileDialog)
public:
    // The filter reads "Name|pattern|Name|pattern||".
    explicit CFileDialog(BOOL bOpenFileDialog, LPCTSTR lpszDefExt = nullptr, LPCTSTR lpszFileName = nullptr,
                         DWORD dwFlags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, LPCTSTR lpszFilter = nullptr,
                         CWnd* pParentWnd = nullptr);
    int DoModal() override;
    CString GetPathName() const { return path_; }
    CString GetFileName() const;
    CString GetFileExt() const;
    OPENFILENAME m_ofn;

private:
    BOOL open_;
    CString defExt_, fileName_, filter_, path_;
};
