#include "platform/mfc/sample/sample.h"

#include <cstring>

#include "platform/mfc/sample/sample_bitmaps.h"

namespace sample {

namespace {
const char* const kFramings[] = {"T1 - Extended Super Frame", "T1 - 12 Frame Multi-Frame", "E1 - FAS with CRC", nullptr};
const char* const kNumbers[] = {"5551200", "5551201", "5551202", nullptr};

const AFX_DLGITEM kLineItems[] = {
    {AfxItem::GroupBox, IDC_STATIC, "Line", 7, 7, 201, 112},
    {AfxItem::Tab, IDC_LINES, nullptr, 14, 18, 186, 14},
    {AfxItem::LText, IDC_STATIC, "Framing Format:", 14, 38, 60, 8},
    {AfxItem::ComboBox, IDC_FRAMING, nullptr, 80, 36, 120, 60, WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWNLIST, kFramings},
    {AfxItem::LText, IDC_STATIC, "Window Size:", 14, 56, 60, 8},
    {AfxItem::Edit, IDC_WINDOW, nullptr, 80, 54, 36, 13},
    {AfxItem::Spin, IDC_WINDOW_SPIN, nullptr, 116, 54, 10, 13,
     WS_VISIBLE | UDS_AUTOBUDDY | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS},
    {AfxItem::Slider, IDC_WINDOW_SLIDER, nullptr, 124, 53, 76, 16, WS_VISIBLE | WS_TABSTOP | TBS_AUTOTICKS},
    {AfxItem::LText, IDC_STATIC, "Name:", 14, 74, 60, 8},
    {AfxItem::Edit, IDC_NAME, nullptr, 80, 72, 120, 13},
    {AfxItem::LText, IDC_STATIC, "Directory Number:", 14, 92, 64, 8},
    {AfxItem::ComboBox, IDC_NUMBER, nullptr, 80, 90, 120, 60, WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWN, kNumbers},
    {AfxItem::GroupBox, IDC_STATIC, "Fill", 7, 124, 100, 44},
    {AfxItem::RadioButton, IDC_INCREMENT, "Increment number", 14, 136, 88, 10, WS_VISIBLE | WS_TABSTOP | WS_GROUP},
    {AfxItem::RadioButton, IDC_SAME, "Same Number for all", 14, 150, 88, 10},
    {AfxItem::CheckBox, IDC_TEST, "Test running", 114, 128, 80, 10, WS_VISIBLE | WS_TABSTOP | WS_GROUP},
    {AfxItem::PushButton, IDC_LAMP, nullptr, 114, 146, 12, 12, WS_VISIBLE | BS_OWNERDRAW},
    {AfxItem::LText, IDC_STATUS, "Layer 1 Status", 130, 148, 70, 8},
    {AfxItem::PushButton, IDC_CONFIGURATION, "Configuration...", 130, 172, 78, 14},
};
const AFX_DLGTEMPLATE kLine = {IDD_LINE, "Line", 215, 192, kLineItems, std::size(kLineItems)};

const AFX_DLGITEM kDeviceItems[] = {
    {AfxItem::LText, IDC_STATIC, "Object", 7, 7, 60, 8},
    {AfxItem::Tree, IDC_TREE, nullptr, 7, 18, 100, 150,
     WS_VISIBLE | WS_TABSTOP | WS_BORDER | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS},
    {AfxItem::LText, IDC_STATIC, "State", 112, 7, 60, 8},
    {AfxItem::Edit, IDC_DUMP, nullptr, 112, 18, 96, 130, WS_VISIBLE | ES_MULTILINE | ES_READONLY | WS_VSCROLL | WS_HSCROLL},
    {AfxItem::PushButton, IDC_REFRESH, "Refresh", 112, 154, 50, 14},
    {AfxItem::PushButton, IDC_RESET, nullptr, 170, 152, 17, 17, WS_VISIBLE | BS_OWNERDRAW},
};
const AFX_DLGTEMPLATE kDevice = {IDD_DEVICE, "Device Manager", 215, 180, kDeviceItems, std::size(kDeviceItems)};

const AFX_DLGITEM kBusItems[] = {
    {AfxItem::LText, IDC_STATIC, "Enter the Bus Number of the adapter.\rIn most cases the Bus Number is 0.", 7, 7, 170, 20},
    {AfxItem::LText, IDC_STATIC, "Bus Number", 7, 34, 50, 8},
    {AfxItem::Edit, IDC_BUS, nullptr, 60, 32, 40, 13},
    {AfxItem::DefPushButton, IDOK, "OK", 74, 54, 50, 14},
    {AfxItem::PushButton, IDCANCEL, "Cancel", 128, 54, 50, 14},
};
const AFX_DLGTEMPLATE kBus = {IDD_BUS, "Bus Number", 185, 75, kBusItems, std::size(kBusItems)};

const AFX_DLGTEMPLATE* const kDialogs[] = {&kLine, &kDevice, &kBus};

const AFX_MENUITEM kLampItems[] = {
    {"Out Of Service", ID_OUT_OF_SERVICE},
    {"Enable Debug Log", ID_DEBUG_LOG},
    {nullptr, 0},
};
const AFX_MENUITEM kLampBar[] = {{"Lamp", 0, kLampItems}, {nullptr, 0}};
const AFX_MENU kMenus[] = {{IDM_LAMP, kLampBar}};

const AFX_STRINGRES kStrings[] = {{IDS_CAPTION, "Sample Sheet"}};
const AFX_BITMAPRES kBitmaps[] = {
    {IDB_LAMP_GREEN, lamp_green_xpm},
    {IDB_LAMP_GREY, lamp_grey_xpm},
    {IDB_LAMP_ORANGE, lamp_orange_xpm},
    {IDB_TREE, tree_icons_xpm},
};

const AFX_RESOURCES kResources = {kStrings, std::size(kStrings), kDialogs, std::size(kDialogs), kMenus, std::size(kMenus),
                                  kBitmaps, std::size(kBitmaps)};
}  // namespace

void RegisterResources() { AfxRegisterResources(&kResources); }

// ---- The lamp -------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CLampButton, CButton)
    ON_WM_RBUTTONDOWN()
    ON_WM_LBUTTONUP()
END_MESSAGE_MAP()

void CLampButton::DrawItem(LPDRAWITEMSTRUCT lpDIS)
{
    ++paints;
    if (std::this_thread::get_id() != uiThread) paintedOffUiThread = true;
    CBitmap bitmap;
    if (!bitmap.LoadBitmap(outOfService ? IDB_LAMP_GREY : toggle ? IDB_LAMP_ORANGE : IDB_LAMP_GREEN)) return;
    CDC* pDC = CDC::FromHandle(lpDIS->hDC);
    CDC memDC;
    memDC.CreateCompatibleDC(pDC);
    CBitmap* old = memDC.SelectObject(&bitmap);
    CRect r(lpDIS->rcItem);
    pDC->BitBlt(r.left + 2, r.top + 2, r.Width(), r.Height(), &memDC, 0, 0, SRCCOPY);
    memDC.SelectObject(old);
    if (lpDIS->itemState & ODS_FOCUS) pDC->DrawFocusRect(&lpDIS->rcItem);
}

void CLampButton::OnRButtonDown(UINT nFlags, CPoint point)
{
    CButton::OnRButtonDown(nFlags, point);
    CMenu menu;
    if (!menu.Attach(::LoadMenu(AfxGetResourceHandle(), MAKEINTRESOURCE(IDM_LAMP)))) return;
    CMenu* popup = menu.GetSubMenu(0);
    popup->CheckMenuItem(ID_OUT_OF_SERVICE, MF_BYCOMMAND | (outOfService ? MF_CHECKED : MF_UNCHECKED));
    popup->CheckMenuItem(ID_DEBUG_LOG, MF_BYCOMMAND | (debugLog ? MF_CHECKED : MF_UNCHECKED));
    ClientToScreen(&point);
    popup->TrackPopupMenu(TPM_LEFTALIGN | TPM_RIGHTBUTTON, point.x, point.y, GetParent());
    menu.DestroyMenu();
}

void CLampButton::OnLButtonUp(UINT nFlags, CPoint point)
{
    CButton::OnLButtonUp(nFlags, point);
    toggle = !toggle;
    Invalidate();
}

// ---- The bus-number dialog ------------------------------------------------------------

void CBusDialog::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_BUS, m_bus);
    DDV_MinMaxUInt(pDX, m_bus, 0, 10);
}

BOOL CBusDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    CenterWindow();
    return TRUE;
}

// ---- The line page --------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CLinePage, CPropertyPage)
    ON_BN_CLICKED(IDC_CONFIGURATION, OnConfiguration)
    ON_COMMAND(ID_OUT_OF_SERVICE, OnOutOfService)
    ON_COMMAND(ID_DEBUG_LOG, OnDebugLog)
    ON_NOTIFY(TCN_SELCHANGE, IDC_LINES, OnSelectLine)
    ON_CBN_SELCHANGE(IDC_FRAMING, OnFramingChange)
    ON_WM_HSCROLL()
    ON_WM_VSCROLL()
    ON_WM_TIMER()
    ON_WM_DESTROY()
    ON_NOTIFY_EX_RANGE(TTN_NEEDTEXTA, 0, 0xFFFF, OnToolTipText)
END_MESSAGE_MAP()

CLinePage::CLinePage() : CPropertyPage(IDD_LINE) {}

void CLinePage::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_WINDOW_SPIN, m_spin);
    DDX_CBIndex(pDX, IDC_FRAMING, m_framing);
    DDX_Text(pDX, IDC_WINDOW, m_window);
    DDV_MinMaxInt(pDX, m_window, 1, 7);
    DDX_Slider(pDX, IDC_WINDOW_SLIDER, m_slider);
    DDX_Text(pDX, IDC_NAME, m_name);
    DDV_MaxChars(pDX, m_name, 10);
    DDX_CBString(pDX, IDC_NUMBER, m_number);
    DDV_MaxChars(pDX, m_number, 40);
    DDX_Radio(pDX, IDC_INCREMENT, m_fill);
    DDX_Check(pDX, IDC_TEST, m_test);
}

BOOL CLinePage::OnInitDialog()
{
    m_lamp.SubclassDlgItem(IDC_LAMP, this);
    CPropertyPage::OnInitDialog();
    auto* tabs = static_cast<CTabCtrl*>(GetDlgItem(IDC_LINES));
    tabs->InsertItem(0, "Port 0");
    tabs->InsertItem(1, "Port 1");
    auto* slider = static_cast<CSliderCtrl*>(GetDlgItem(IDC_WINDOW_SLIDER));
    slider->SetRange(1, 7);
    slider->SetTicFreq(1);
    slider->SetPos(m_window);
    m_spin.SetRange(1, 7);
    m_spin.SetBase(10);
    m_spin.SetPos(m_window);
    EnableToolTips(TRUE);
    SetTimer(1, 50, nullptr);
    events.push_back("init");
    return TRUE;
}

BOOL CLinePage::OnSetActive()
{
    events.push_back("set active");
    return CPropertyPage::OnSetActive();
}

BOOL CLinePage::OnKillActive()
{
    BOOL ok = CPropertyPage::OnKillActive();
    events.push_back(ok ? "kill active" : "kill active refused");
    return ok;
}

void CLinePage::OnConfiguration()
{
    CBusDialog dlg(this);
    dlg.m_bus = m_bus;
    if (dlg.DoModal() != IDOK) {
        events.push_back("configuration cancelled");
        return;
    }
    if (MessageBox("Save configuration changes?", "Configuration", MB_YESNO) != IDYES) {
        events.push_back("not saved");
        return;
    }
    m_bus = dlg.m_bus;
    ++m_saves;
    events.push_back("saved");
}

void CLinePage::OnOutOfService()
{
    m_lamp.outOfService = !m_lamp.outOfService;
    m_lamp.Invalidate();
    events.push_back(m_lamp.outOfService ? "out of service" : "in service");
}

void CLinePage::OnDebugLog()
{
    m_lamp.debugLog = !m_lamp.debugLog;
    events.push_back(m_lamp.debugLog ? "debug log on" : "debug log off");
}

void CLinePage::OnSelectLine(NMHDR*, LRESULT* pResult)
{
    m_line = static_cast<CTabCtrl*>(GetDlgItem(IDC_LINES))->GetCurSel();
    events.push_back("line " + std::to_string(m_line));
    *pResult = 0;
}

void CLinePage::OnFramingChange()
{
    UpdateData(TRUE);
    events.push_back("framing " + std::to_string(m_framing));
}

// The slider and the spin move together; each moves the other.
void CLinePage::OnHScroll(UINT, UINT, CScrollBar* pScrollBar)
{
    if (!pScrollBar || pScrollBar->GetDlgCtrlID() != IDC_WINDOW_SLIDER) return;
    int pos = static_cast<CSliderCtrl*>(GetDlgItem(IDC_WINDOW_SLIDER))->GetPos();
    m_spin.SetPos(pos);
    events.push_back("slider " + std::to_string(pos));
}

void CLinePage::OnVScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar)
{
    if (pScrollBar != &m_spin || nSBCode != SB_THUMBPOSITION) return;
    static_cast<CSliderCtrl*>(GetDlgItem(IDC_WINDOW_SLIDER))->SetPos(static_cast<int>(nPos));
    events.push_back("spin " + std::to_string(nPos));
}

void CLinePage::OnTimer(UINT_PTR nIDEvent)
{
    if (nIDEvent == 1) ++m_ticks;
}

void CLinePage::OnDestroy()
{
    KillTimer(1);
    events.push_back("destroy");
    CPropertyPage::OnDestroy();
}

BOOL CLinePage::OnToolTipText(UINT, NMHDR* pNMHDR, LRESULT* pResult)
{
    auto* ttt = reinterpret_cast<TOOLTIPTEXTA*>(pNMHDR);
    if (!(ttt->uFlags & TTF_IDISHWND)) return FALSE;
    int id = ::GetDlgCtrlID(reinterpret_cast<HWND>(pNMHDR->idFrom));
    if (id != IDC_LAMP) return FALSE;
    std::strncpy(ttt->szText, m_lamp.outOfService ? "Layer 1: Out of service" : "Layer 1: Synchronised", 79);
    ttt->szText[79] = '\0';
    *pResult = 0;
    return TRUE;
}

// ---- The device page ------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CDevicePage, CPropertyPage)
    ON_NOTIFY(TVN_SELCHANGED, IDC_TREE, OnSelchangedTree)
    ON_BN_CLICKED(IDC_REFRESH, OnRefresh)
    ON_BN_CLICKED(IDC_RESET, OnResetButton)
END_MESSAGE_MAP()

CDevicePage::CDevicePage() : CPropertyPage(IDD_DEVICE) {}

void CDevicePage::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_TREE, m_tree);
    DDX_Text(pDX, IDC_DUMP, m_text);
    DDV_MaxChars(pDX, m_text, 16000);
}

BOOL CDevicePage::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    m_reset.SubclassDlgItem(IDC_RESET, this);
    m_reset.LoadBitmaps(IDB_LAMP_ORANGE, IDB_LAMP_GREEN);
    m_reset.SizeToContent();
    m_images.Create(16, 16, ILC_COLOR8 | ILC_MASK, 2, 0);
    CBitmap strip;
    strip.LoadBitmap(IDB_TREE);
    m_images.Add(&strip, RGB(255, 0, 255));
    m_tree.SetImageList(&m_images, TVSIL_NORMAL);

    TVINSERTSTRUCT tv{};
    tv.hParent = TVI_ROOT;
    tv.hInsertAfter = TVI_LAST;
    tv.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    tv.item.pszText = const_cast<LPSTR>("Adapter");
    tv.item.lParam = 0x01000000;
    m_root = m_tree.InsertItem(&tv);
    HTREEITEM bus = m_tree.InsertItem("System Bus 0", 0, 0, m_root);
    m_tree.SetItemData(bus, 0x07000000);
    HTREEITEM framer = m_tree.InsertItem("Bt8370 Device 0", 0, 0, bus);
    m_tree.SetItemData(framer, 0x02000000);
    m_module = m_tree.InsertItem("Module 0", 1, 1, bus);
    m_tree.SetItemData(m_module, 0x04000000);
    for (int p = 0; p < 3; ++p) {
        CString name;
        name.Format("Channel %d", p);
        m_tree.SetItemData(m_tree.InsertItem(name, 0, 0, m_module), static_cast<DWORD_PTR>(0x06000000 + p));
    }
    m_tree.Expand(m_root, TVE_EXPAND);
    m_tree.Expand(bus, TVE_EXPAND);
    m_tree.Expand(m_module, TVE_EXPAND);
    HTREEITEM driver = m_tree.InsertItem("Driver", 0, 0);
    m_tree.SetItemData(driver, 0x09000000);
    m_text = "Select an object.";
    UpdateData(FALSE);
    return TRUE;
}

void CDevicePage::OnSelchangedTree(NMHDR* pNMHDR, LRESULT* pResult)
{
    auto* nm = reinterpret_cast<NMTREEVIEW*>(pNMHDR);
    UpdateData(TRUE);
    m_text.Format("%s\r\nItemCode= 0x%08X\r\n", static_cast<LPCTSTR>(m_tree.GetItemText(nm->itemNew.hItem)),
                  static_cast<unsigned>(nm->itemNew.lParam));
    m_tree.SetItemImage(nm->itemNew.hItem, 1, 1);
    UpdateData(FALSE);
    *pResult = 0;
}

void CDevicePage::OnRefresh()
{
    UpdateData(TRUE);
    m_text += "Refreshed\r\n";
    UpdateData(FALSE);
}

void CDevicePage::OnResetButton()
{
    ++m_resets;
}

// ---- The sheet ------------------------------------------------------------------------

CSampleSheet::CSampleSheet(CWnd* pParent) : CPropertySheet(IDS_CAPTION, pParent, 0)
{
    AddPage(&m_line);
    AddPage(&m_device);
}

BOOL CSampleSheet::OnInitDialog()
{
    BOOL result = CPropertySheet::OnInitDialog();
    if (m_hideButtons) {
        GetDlgItem(IDOK)->ShowWindow(SW_HIDE);
        GetDlgItem(IDCANCEL)->ShowWindow(SW_HIDE);
    }
    return result;
}

}  // namespace sample
