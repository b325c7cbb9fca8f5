#include "applet/LinkPages.h"

#include "applet/EngineeringPages.h"
#include "applet/LineReports.h"
#include "applet/resource.h"

using namespace linereports;

namespace {

constexpr int kReportChars = 4096;
constexpr int kDataChars = 5000;
constexpr int kDescriptionChars = 50;

void InsertLineTabs(CTabCtrl& tabs)
{
    for (int line = 0; line < SheetLineCount(); line++) {
        CString tab;
        tab.Format("Port %d", line);
        tabs.InsertItem(line, tab);
    }
    tabs.SetCurSel(0);
}

void LimitEdit(CWnd* page, int id, int chars)
{
    if (auto* edit = static_cast<CEdit*>(page->GetDlgItem(id)))
        edit->SetLimitText(static_cast<UINT>(chars));
}

CString Clip(const std::string& text, int chars)
{
    return CString(text.size() > static_cast<size_t>(chars) ? text.substr(0, static_cast<size_t>(chars)) : text);
}

}  // namespace

// ---- Link Info ------------------------------------------------------------------------

IMPLEMENT_DYNCREATE(CMyPropertyPage10, CPropertyPage)

BEGIN_MESSAGE_MAP(CMyPropertyPage10, CPropertyPage)
    ON_NOTIFY(TCN_SELCHANGE, IDC_LINK_TAB, OnSelchangeTab)
    ON_CBN_SELCHANGE(IDC_LINK_COMBO, OnSelchangeLink)
    ON_BN_CLICKED(IDC_LINK_REFRESH, Refresh)
END_MESSAGE_MAP()

CMyPropertyPage10::CMyPropertyPage10() : CPropertyPage(IDD_LINK_INFO) {}

void CMyPropertyPage10::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_LINK_TAB, m_Lines);
    DDX_CBIndex(pDX, IDC_LINK_COMBO, m_Link);
    DDX_Text(pDX, IDC_LINK_DUMP, m_Left);
    DDX_Text(pDX, IDC_LINK_STATISTICS, m_Right);
}

BOOL CMyPropertyPage10::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    LimitEdit(this, IDC_LINK_DUMP, kReportChars);
    LimitEdit(this, IDC_LINK_STATISTICS, kReportChars);
    InsertLineTabs(m_Lines);
    m_CurrentLine = 0;
    m_Link = 0;
    UpdateData(FALSE);
    return TRUE;
}

void CMyPropertyPage10::Refresh()
{
    UpdateData(TRUE);
    uint32_t line = static_cast<uint32_t>(m_CurrentLine), link = static_cast<uint32_t>(m_Link);
    const BackdoorRequest* reply = SendSheetRequest([&](BackdoorRequest& r) { FillRequest(r, 0, 28, {line, link}); });
    if (reply != nullptr)
        m_Left = Clip(LinkDumpText(*reply), kReportChars);
    reply = SendSheetRequest([&](BackdoorRequest& r) { FillRequest(r, 0, 8, {line, link}); });
    m_Right = reply == nullptr ? CString("?????") : Clip(LinkStatisticsText(*reply), kReportChars);
    UpdateData(FALSE);
}

void CMyPropertyPage10::OnSelchangeTab(NMHDR*, LRESULT* pResult)
{
    int line = m_Lines.GetCurSel();
    m_CurrentLine = line >= 0 ? line : 0;
    Refresh();
    if (pResult != nullptr)
        *pResult = 0;
}

void CMyPropertyPage10::OnSelchangeLink() { Refresh(); }

// ---- Messages -------------------------------------------------------------------------

IMPLEMENT_DYNCREATE(CMyPropertyPage11, CPropertyPage)

BEGIN_MESSAGE_MAP(CMyPropertyPage11, CPropertyPage)
    ON_NOTIFY(TCN_SELCHANGE, IDC_MSG_TAB, OnSelchangeTab)
    ON_CBN_SELCHANGE(IDC_MSG_LINK, OnSelchangeLink)
    ON_WM_HSCROLL()
END_MESSAGE_MAP()

CMyPropertyPage11::CMyPropertyPage11() : CPropertyPage(IDD_MESSAGES) {}

void CMyPropertyPage11::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_MSG_TAB, m_Lines);
    DDX_Control(pDX, IDC_MSG_TX_SLIDER, m_TxSlider);
    DDX_Control(pDX, IDC_MSG_RX_SLIDER, m_RxSlider);
    DDX_CBIndex(pDX, IDC_MSG_LINK, m_Link);
}

BOOL CMyPropertyPage11::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    LimitEdit(this, IDC_MSG_TX_DATA, kDataChars);
    LimitEdit(this, IDC_MSG_RX_DATA, kDataChars);
    InsertLineTabs(m_Lines);
    m_CurrentLine = 0;
    m_Link = 0;
    m_TxPosition = m_RxPosition = 0;
    UpdateData(FALSE);
    DescriptorReport();
    ResetSliders();
    return TRUE;
}

void CMyPropertyPage11::DescriptorReport()
{
    uint32_t line = static_cast<uint32_t>(m_CurrentLine), link = static_cast<uint32_t>(m_Link);
    const BackdoorRequest* reply = SendSheetRequest([&](BackdoorRequest& r) { FillRequest(r, 0, 41, {line, link}); });
    if (reply == nullptr) {
        SetDlgItemText(IDC_MSG_STATUS, "Function Call Failed!");
        return;
    }
    RingDescriptors d = RingDescriptorReport(*reply, m_TxPosition, m_RxPosition);
    SetDlgItemText(IDC_MSG_STATUS, d.status.c_str());
    m_TxCount = d.txCount;
    m_RxCount = d.rxCount;
    SetDlgItemText(IDC_MSG_TX_DESCRIPTION, Clip(d.tx, kDescriptionChars));
    SetDlgItemText(IDC_MSG_RX_DESCRIPTION, Clip(d.rx, kDescriptionChars));
}

void CMyPropertyPage11::DataReport()
{
    uint32_t line = static_cast<uint32_t>(m_CurrentLine), link = static_cast<uint32_t>(m_Link);
    const BackdoorRequest* reply = SendSheetRequest([&](BackdoorRequest& r) {
        FillRequest(r, 0, 10,
                    {line, link, static_cast<uint32_t>(m_TxSlider.GetPos()), static_cast<uint32_t>(m_RxSlider.GetPos())});
    });
    if (reply == nullptr) {
        SetDlgItemText(IDC_MSG_STATUS, "Function Call Failed!");
        return;
    }
    RingData d = RingDataReport(*reply);
    SetDlgItemText(IDC_MSG_STATUS, d.status.c_str());
    SetDlgItemText(IDC_MSG_TX_DATA, Clip(d.tx, kDataChars));
    SetDlgItemText(IDC_MSG_RX_DATA, Clip(d.rx, kDataChars));
}

void CMyPropertyPage11::ResetSliders()
{
    // A ring the reply holds no descriptor of keeps the single position 0.
    m_TxSlider.SetRange(0, m_TxCount > 0 ? m_TxCount - 1 : 0);
    m_TxSlider.SetTicFreq(1);
    m_TxSlider.SetPos(0);
    m_RxSlider.SetRange(0, m_RxCount > 0 ? m_RxCount - 1 : 0);
    m_RxSlider.SetTicFreq(1);
    m_RxSlider.SetPos(0);
}

void CMyPropertyPage11::Restart()
{
    m_TxPosition = m_RxPosition = 0;
    DescriptorReport();
    ResetSliders();
    DataReport();
}

void CMyPropertyPage11::OnSelchangeTab(NMHDR*, LRESULT* pResult)
{
    int line = m_Lines.GetCurSel();
    m_CurrentLine = line >= 0 ? line : 0;
    m_Link = 0;
    UpdateData(FALSE);
    Restart();
    if (pResult != nullptr)
        *pResult = 0;
}

void CMyPropertyPage11::OnSelchangeLink()
{
    UpdateData(TRUE);
    if (m_Link < 0)
        m_Link = 0;
    Restart();
}

void CMyPropertyPage11::OnHScroll(UINT, UINT, CScrollBar*)
{
    m_TxPosition = m_TxSlider.GetPos();
    m_RxPosition = m_RxSlider.GetPos();
    DescriptorReport();
    DataReport();
}
