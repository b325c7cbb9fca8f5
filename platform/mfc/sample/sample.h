// A sample property sheet on the layer: a line page with the common controls, an
// owner-drawn lamp with a popup menu, a modal dialog with a Yes/No question, and a
// device page with a tree, an image list and a bitmap button.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/mfc/afxdlgs.h"
#include "platform/mfc/afxtempl.h"

namespace sample {

enum : UINT {
    IDS_CAPTION = 102,
    IDD_LINE = 200, IDD_DEVICE = 201, IDD_BUS = 210,
    IDB_LAMP_GREEN = 300, IDB_LAMP_GREY = 301, IDB_LAMP_ORANGE = 302, IDB_TREE = 303,
    IDM_LAMP = 400,
    IDC_FRAMING = 1000, IDC_WINDOW = 1001, IDC_WINDOW_SPIN = 1002, IDC_WINDOW_SLIDER = 1003,
    IDC_NAME = 1004, IDC_INCREMENT = 1005, IDC_SAME = 1006, IDC_TEST = 1007, IDC_LAMP = 1008,
    IDC_CONFIGURATION = 1009, IDC_LINES = 1010, IDC_NUMBER = 1011, IDC_STATUS = 1012,
    IDC_TREE = 1100, IDC_DUMP = 1101, IDC_REFRESH = 1102, IDC_RESET = 1103,
    IDC_BUS = 1200,
    ID_OUT_OF_SERVICE = 32780, ID_DEBUG_LOG = 32789,
};

// Registers the sample's resources (once).
void RegisterResources();

// An owner-drawn lamp: green while in service, grey when out of service; a right click
// offers its menu, a left click flips its toggle flag.
class CLampButton : public CButton {
public:
    std::atomic<bool> outOfService{false};
    bool toggle = false;
    bool debugLog = false;
    std::atomic<int> paints{0};
    std::atomic<bool> paintedOffUiThread{false};
    std::thread::id uiThread = std::this_thread::get_id();
    void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct) override;

protected:
    void OnRButtonDown(UINT nFlags, CPoint point);
    void OnLButtonUp(UINT nFlags, CPoint point);
    DECLARE_MESSAGE_MAP()
};

class CBusDialog : public CDialog {
public:
    explicit CBusDialog(CWnd* pParent = nullptr) : CDialog(IDD_BUS, pParent) {}
    UINT m_bus = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
};

class CLinePage : public CPropertyPage {
public:
    CLinePage();
    int m_framing = -1;
    int m_window = 7;
    CString m_name;
    CString m_number;
    int m_fill = 0;
    int m_test = 0;
    int m_slider = 7;
    UINT m_bus = 0;
    int m_line = 0;
    int m_saves = 0;
    int m_ticks = 0;
    CSpinButtonCtrl m_spin;
    CLampButton m_lamp;
    std::vector<std::string> events;  // what the handlers saw, in order

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    BOOL OnKillActive() override;
    void OnConfiguration();
    void OnOutOfService();
    void OnDebugLog();
    void OnSelectLine(NMHDR* pNMHDR, LRESULT* pResult);
    void OnFramingChange();
    void OnHScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar);
    void OnVScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar);
    void OnTimer(UINT_PTR nIDEvent);
    void OnDestroy();
    BOOL OnToolTipText(UINT id, NMHDR* pNMHDR, LRESULT* pResult);
    DECLARE_MESSAGE_MAP()
};

class CDevicePage : public CPropertyPage {
public:
    CDevicePage();
    CTreeCtrl m_tree;
    CImageList m_images;
    CString m_text;
    CBitmapButton m_reset;
    HTREEITEM m_root = nullptr;
    HTREEITEM m_module = nullptr;
    int m_resets = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnSelchangedTree(NMHDR* pNMHDR, LRESULT* pResult);
    void OnRefresh();
    void OnResetButton();
    DECLARE_MESSAGE_MAP()
};

class CSampleSheet : public CPropertySheet {
public:
    explicit CSampleSheet(CWnd* pParent = nullptr);
    CLinePage m_line;
    CDevicePage m_device;
    bool m_hideButtons = false;  // as a sheet closed only by its close box

protected:
    BOOL OnInitDialog() override;
};

}  // namespace sample
