#include "applet/StatusGridPage.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "applet/ControlPanel.h"
#include "applet/PropertySheet.h"
#include "setup/RegValue.h"

namespace {

constexpr UINT kDialog = 154;
constexpr int kLegendImage[6] = {grid::kImageIdle,    grid::kImageEstablishing, grid::kImageConnected,
                                 grid::kImageDropping, grid::kImageOutOfService, grid::kImageDChannel};
const char* const kLegendText[6] = {"Idle",    "Establishing call", "Connected",
                                    "Dropping call", "Out of service", "D Channel"};
const char* const kModuleGroup[grid::kSockets] = {"Module 0 State", "Module 1 State", "Module 2 State",
                                                   "Module 3 State"};

// Not present: the lamp's ring without its glass.
const char* const kAbsentLamp[] = {
    "15 15 2 1",       "  c None",        ". c #808080",     "               ", "     .....     ",
    "   ..     ..   ", "  .         .  ", "  .         .  ", " .           . ", " .           . ",
    " .           . ", " .           . ", " .           . ", "  .         .  ", "  .         .  ",
    "   ..     ..   ", "     .....     ", "               ",
};

// Lamps of 10 by 9 dialog units, twelve to a row.
short LampX(short left, uint32_t i) { return static_cast<short>(left + i * 12); }

std::vector<AFX_DLGITEM> GridItems()
{
    auto lamp = [](int id, short x, short y, UINT image = grid::kImageNotPresent) {
        return AFX_DLGITEM{AfxItem::Bitmap, id, nullptr, x, y, 10, 9, WS_VISIBLE, nullptr, image};
    };
    std::vector<AFX_DLGITEM> items = {
        {AfxItem::Tab, grid::kLineTabs, nullptr, 7, 4, 316, 14},
        {AfxItem::GroupBox, IDC_STATIC, "ISDN", 7, 22, 160, 122},
        {AfxItem::GroupBox, IDC_STATIC, "Layer 1", 14, 32, 70, 24},
        {AfxItem::GroupBox, IDC_STATIC, "Layer 2", 90, 32, 70, 24},
        {AfxItem::GroupBox, IDC_STATIC, "Layer 3", 14, 60, 146, 78},
        {AfxItem::LText, grid::kE1ChannelsLabel, "25 26 27 28 29 30 31", 20, 124, 90, 8, WS_VISIBLE},
        {AfxItem::GroupBox, IDC_STATIC, " Led color meaning", 7, 148, 160, 60},
        {AfxItem::LText, grid::kStatusText, "", 7, 214, 316, 8, WS_VISIBLE},
    };
    items.push_back(lamp(grid::kLayer1Control, 22, 43));
    items.push_back(lamp(grid::kLayer2Control, 98, 43));
    for (uint32_t n = 1; n <= 31; n++)
        items.push_back(lamp(grid::ChannelControl(n), LampX(20, (n - 1) % 12), static_cast<short>(72 + (n - 1) / 12 * 17)));
    for (int i = 0; i < 6; i++) {
        short x = static_cast<short>(14 + (i / 3) * 76), y = static_cast<short>(160 + (i % 3) * 15);
        items.push_back(lamp(IDC_STATIC, x, y, kLegendImage[i]));
        items.push_back({AfxItem::LText, IDC_STATIC, kLegendText[i], static_cast<short>(x + 14),
                         static_cast<short>(y + 2), 60, 8, WS_VISIBLE});
    }
    for (uint32_t s = 0; s < grid::kSockets; s++) {
        short top = static_cast<short>(22 + s * 48);
        items.push_back({AfxItem::GroupBox, IDC_STATIC, kModuleGroup[s], 173, top, 150, 44});
        for (uint32_t c = 0; c < 2; c++)
            for (uint32_t p = 0; p < grid::kPumps; p++)
                items.push_back(lamp(grid::PumpControl(s, c, p), LampX(180, p), static_cast<short>(top + 12 + c * 15)));
        items.push_back({AfxItem::PushButton, grid::NoModuleControl(s), "No module installed", 200,
                         static_cast<short>(top + 17), 96, 14, WS_TABSTOP});
    }
    return items;
}

uint32_t ReadLineMode(uint32_t line)
{
    if (GPropertySheet == nullptr || GPropertySheet->m_CurrentAdapter >= GPropertySheet->m_AdapterCount)
        return 0;
    std::string key = ParametersKeyOf(GPropertySheet->m_DeviceNumbers[GPropertySheet->m_CurrentAdapter]);
    std::string name = "LineMode_" + std::to_string(line);
    char text[64] = {};
    DWORD value = 0;
    if (!ReadRegValue(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), text, sizeof text, REG_DWORD, 0))
        return 0;
    return HexToDword(text, &value) ? value : 0;
}

}  // namespace

void RegisterStatusGridResources()
{
    static const AFX_BITMAPRES bitmaps[] = {{grid::kImageNotPresent, kAbsentLamp}};
    static const std::vector<AFX_DLGITEM> items = GridItems();
    static const AFX_DLGTEMPLATE dialog = {kDialog, "Monitor", 330, 226, items.data(), items.size()};
    static const AFX_DLGTEMPLATE* const dialogs[] = {&dialog};
    static AFX_RESOURCES resources;
    static bool registered = false;
    if (registered)
        return;
    resources.dialogs = dialogs;
    resources.dialog_count = std::size(dialogs);
    resources.bitmaps = bitmaps;
    resources.bitmap_count = std::size(bitmaps);
    AfxRegisterResources(&resources);
    registered = true;
}

BEGIN_MESSAGE_MAP(CMyPropertyPage8, CPropertyPage)
    ON_WM_DESTROY()
    ON_NOTIFY(TCN_SELCHANGE, grid::kLineTabs, OnSelectLine)
END_MESSAGE_MAP()

CMyPropertyPage8::CMyPropertyPage8() : CPropertyPage(kDialog) { RegisterStatusGridResources(); }

CMyPropertyPage8::~CMyPropertyPage8() = default;

void CMyPropertyPage8::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_Control(pDX, grid::kLineTabs, m_LineTabs);
}

uint32_t CMyPropertyPage8::Lines() const
{
    if (GPropertySheet == nullptr || GPropertySheet->m_pBoardRow == nullptr)
        return 0;
    // The page keeps four lines' socket counts at most.
    return std::min<uint32_t>(GPropertySheet->m_pBoardRow->Word[35], 4);
}

uint32_t CMyPropertyPage8::SocketsOf(uint32_t line) const
{
    if (GPropertySheet == nullptr || GPropertySheet->m_pBoardRow == nullptr || line >= 4)
        return 0;
    return GPropertySheet->m_pBoardRow->Word[line];
}

BOOL CMyPropertyPage8::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    for (uint32_t i = 0; i < Lines(); i++)
        m_LineTabs.InsertItem(static_cast<int>(i), ("Port " + std::to_string(i)).c_str());
    for (size_t i = 0; i < std::size(m_Images); i++)
        m_Images[i].LoadBitmap(kImageIds[i]);
    m_SelectedLine = 0;
    m_Grid.Reset(SocketsOf(0));
    ShowLine(0);
    return TRUE;
}

// The line's E1 label, no "No module installed" and no status yet.
void CMyPropertyPage8::ShowLine(uint32_t line)
{
    if (CWnd* label = GetDlgItem(grid::kE1ChannelsLabel))
        label->ShowWindow(ReadLineMode(line) == 1 ? SW_SHOW : SW_HIDE);
    for (uint32_t s = 0; s < grid::kSockets; s++) {
        if (CWnd* button = GetDlgItem(grid::NoModuleControl(s)))
            button->ShowWindow(SW_HIDE);
        ShowModuleLamps(s, true);
    }
    SetDlgItemText(grid::kStatusText, "");
}

// A socket without a module shows its notice in place of its pump lamps.
void CMyPropertyPage8::ShowModuleLamps(uint32_t socket, bool show)
{
    for (uint32_t c = 0; c < 2; c++)
        for (uint32_t p = 0; p < grid::kPumps; p++)
            if (CWnd* lamp = GetDlgItem(grid::PumpControl(socket, c, p)))
                lamp->ShowWindow(show ? SW_SHOW : SW_HIDE);
}

BOOL CMyPropertyPage8::OnSetActive()
{
    m_AutoRefresh = 1;
    Refresh(m_SelectedLine);
    Invalidate();
    return CPropertyPage::OnSetActive();
}

BOOL CMyPropertyPage8::OnKillActive()
{
    m_AutoRefresh = 0;
    return CPropertyPage::OnKillActive();
}

void CMyPropertyPage8::OnDestroy()
{
    m_AutoRefresh = 0;
    CPropertyPage::OnDestroy();
}

void CMyPropertyPage8::OnSelectLine(NMHDR*, LRESULT* pResult)
{
    m_AutoRefresh = 0;
    UpdateData(TRUE);
    int selected = m_LineTabs.GetCurSel();
    m_SelectedLine = selected > 0 ? static_cast<uint32_t>(selected) : 0;
    m_Grid.Reset(SocketsOf(m_SelectedLine));
    ShowLine(m_SelectedLine);
    ClearLamps();
    UpdateData(FALSE);
    Invalidate();
    Refresh(m_SelectedLine);
    Invalidate();
    m_AutoRefresh = 1;
    if (pResult != nullptr)
        *pResult = 0;
}

void CMyPropertyPage8::Refresh(uint32_t line)
{
    CMyPropertySheet* sheet = GPropertySheet;
    if (sheet == nullptr || !::IsWindow(m_hWnd))
        return;
    UpdateData(TRUE);
    sheet->ClearDriverRequest();
    sheet->m_Request.Class = 0;
    sheet->m_Request.Action = 26;
    sheet->m_Request.Arg[0] = line;
    if (!sheet->SendDriverRequest())
        return;  // the previous lamps stay; the next tick tries again

    grid::GridRefresh r = grid::ReadPortStatus(sheet->m_Request, m_Grid);
    switch (r.Outcome) {
    case grid::GridOutcome::Refused:
        SetDlgItemText(grid::kStatusText, CMyPropertySheet::StatusText(sheet->m_Request).c_str());
        return;
    case grid::GridOutcome::Incomplete:
        SetDlgItemText(grid::kStatusText, "The driver's reply holds no port status.");
        return;
    case grid::GridOutcome::Drawn: break;
    }
    SetDlgItemText(grid::kStatusText, "");
    for (uint32_t s = 0; s < grid::kSockets; s++)
        if (r.ShowNoModule[s]) {
            if (CWnd* button = GetDlgItem(grid::NoModuleControl(s)))
                button->ShowWindow(SW_SHOW);
            ClearModule(s);
            ShowModuleLamps(s, false);
        }
    for (const grid::GridImage& image : r.Images)
        SetImage(image.Control, image.Image);
    UpdateData(FALSE);
}

unsigned CMyPropertyPage8::GetChannelImage(uint32_t channel) const
{
    if (channel >= grid::kChannels)
        return grid::kImageNotPresent;
    return grid::ChannelImage(m_Grid.SignallingProtocol, m_Grid.Channels[channel]);
}

// The previous line's lamps go, so a line whose reply is refused shows none of them.
void CMyPropertyPage8::ClearLamps()
{
    SetImage(grid::kLayer1Control, grid::kImageNotPresent);
    SetImage(grid::kLayer2Control, grid::kImageNotPresent);
    for (uint32_t n = 1; n < grid::kChannels; n++)
        SetImage(grid::ChannelControl(n), grid::kImageNotPresent);
    for (uint32_t s = 0; s < grid::kSockets; s++)
        ClearModule(s);
}

void CMyPropertyPage8::ClearModule(uint32_t socket)
{
    for (uint32_t c = 0; c < 2; c++)
        for (uint32_t p = 0; p < grid::kPumps; p++)
            SetImage(grid::PumpControl(socket, c, p), grid::kImageNotPresent);
}

void CMyPropertyPage8::SetImage(int control, unsigned image)
{
    auto* lamp = static_cast<CStatic*>(GetDlgItem(control));
    if (lamp == nullptr)
        return;
    for (size_t i = 0; i < std::size(kImageIds); i++)
        if (kImageIds[i] == image) {
            lamp->SetBitmap(m_Images[i]);
            m_ImagesSet++;
            return;
        }
}

unsigned CMyPropertyPage8::ShownImage(int control) const
{
    auto* lamp = static_cast<CStatic*>(GetDlgItem(control));
    HBITMAP shown = lamp != nullptr ? lamp->GetBitmap() : nullptr;
    for (size_t i = 0; shown != nullptr && i < std::size(kImageIds); i++)
        if (static_cast<HBITMAP>(m_Images[i]) == shown)
            return kImageIds[i];
    return 0;
}
