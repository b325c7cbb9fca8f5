#include "applet/ConfigSheet.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "applet/resource.h"

// --- the line setup ---------------------------------------------------------------------

CLiConfig::CLiConfig() : CPropertyPage(IDD_PRI_SETUP) {}

int CLiConfig::FramingEntry(int value)
{
    if (value >= 0 && value <= 5)
        return value;
    return value == 6 ? 5 : -1;
}

void CLiConfig::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_CBIndex(pDX, IDC_LINE_CODING, m_LineCoding);
    DDX_CBIndex(pDX, IDC_SWITCH_TYPE, m_SwitchType);
    DDX_CBIndex(pDX, IDC_TX_LEVEL, m_TxLevel);
    int entry = FramingEntry(m_Framing);
    if (!pDX->m_bSaveAndValidate)
        m_FramingEntryShown = entry;
    DDX_CBIndex(pDX, IDC_FRAMING, entry);
    // The entry the value showed leaves the value as it is (a stored 5 stays 5).
    if (pDX->m_bSaveAndValidate && entry >= 0 && entry != m_FramingEntryShown)
        m_Framing = entry == 5 ? 6 : entry;
}

BOOL CLiConfig::OnInitDialog() { return CPropertyPage::OnInitDialog(); }

CLineSetupLists zel_SetupToLists(const rpri_tSetup& setup)
{
    CLineSetupLists l;
    int protocol = setup.SignallingProtocol;
    // Robbed bit (0), leased line (6) and others have no entry: the list shows none.
    l.SwitchType = protocol >= 1 && protocol <= 5 ? protocol - 1 : -1;
    l.LineCoding = setup.LineCode >= 0 && setup.LineCode <= 4 ? setup.LineCode : -1;
    l.TxLevel = setup.TxPulseTemplate <= 7 ? setup.TxPulseTemplate : -1;
    l.Framing = setup.FramingFormat;
    return l;
}

void zel_ListsToSetup(const CLineSetupLists& shown, const CLineSetupLists& chosen, rpri_tSetup& setup)
{
    if (chosen.SwitchType >= 0 && chosen.SwitchType != shown.SwitchType)
        setup.SignallingProtocol = static_cast<int8_t>(chosen.SwitchType + 1);
    if (chosen.LineCoding >= 0 && chosen.LineCoding != shown.LineCoding)
        setup.LineCode = static_cast<int8_t>(chosen.LineCoding);
    if (chosen.TxLevel >= 0 && chosen.TxLevel != shown.TxLevel)
        setup.TxPulseTemplate = static_cast<uint8_t>(chosen.TxLevel);
    if (chosen.Framing >= 0)
        setup.FramingFormat = static_cast<int8_t>(chosen.Framing);
    bool e1 = setup.FramingFormat < 0 || setup.FramingFormat > 3;
    setup.LineMode = e1 ? 1 : 0;
    setup.SystemBusMode = e1 ? 5 : 2;
}

// --- directory numbers --------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CQLSDirectoryDialog, CPropertyPage)
    ON_CBN_SELCHANGE(IDC_DIR_LIST, OnSelectNumber)
    ON_BN_CLICKED(IDC_DIR_FILL, OnFill)
    ON_WM_VSCROLL()
END_MESSAGE_MAP()

CQLSDirectoryDialog::CQLSDirectoryDialog() : CPropertyPage(IDD_DIRECTORY_NUMBERS) {}

void CQLSDirectoryDialog::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_DIR_SPIN, m_Spin);
    DDX_Control(pDX, IDC_DIR_LIST, m_List);
    DDX_Text(pDX, IDC_DIR_CHANNEL, m_Channel);
    DDV_MinMaxInt(pDX, m_Channel, 0, kEntries - 1);
    DDX_CBString(pDX, IDC_DIR_LIST, m_ListText);
    DDV_MaxChars(pDX, m_ListText, kLength);
    DDX_Radio(pDX, IDC_DIR_INCREMENT, m_FillMode);
    DDX_Text(pDX, IDC_DIR_FIRST_NUMBER, m_FirstNumber);
    DDV_MaxChars(pDX, m_FirstNumber, kLength);
}

BOOL CQLSDirectoryDialog::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    m_FillMode = 0;
    m_EditedEntry = 0;
    m_Channel = 0;
    m_Spin.SetRange(0, kEntries - 1);
    m_Spin.SetBase(10);
    m_Spin.SetPos(0);
    m_List.InitStorage(kEntries, kLength);
    for (int i = 0; i < kEntries; i++)
        m_List.AddString(CString(m_Numbers[i], static_cast<int>(strnlen(m_Numbers[i], kLength))));
    m_List.SetCurSel(0);
    m_List.GetLBText(0, m_ListText);
    UpdateData(FALSE);
    return TRUE;
}

void CQLSDirectoryDialog::ReplaceEditedEntry()
{
    if (m_EditedEntry < 0 || m_EditedEntry >= m_List.GetCount())
        return;
    m_List.DeleteString(static_cast<UINT>(m_EditedEntry));
    m_List.InsertString(m_EditedEntry, m_ListText);
}

void CQLSDirectoryDialog::OnChannelSpin(UINT nSBCode, UINT, CScrollBar* pScrollBar)
{
    if (nSBCode == SB_ENDSCROLL || (pScrollBar != nullptr && pScrollBar->GetDlgCtrlID() != IDC_DIR_SPIN))
        return;
    if (!UpdateData(TRUE))
        return;
    int position = m_Spin.GetPos();
    if (position < 0 || position >= kEntries) {
        MessageBox("Wrong Channel Number", "Error", MB_ICONEXCLAMATION);
        return;
    }
    ReplaceEditedEntry();
    m_EditedEntry = position;
    m_Channel = position;
    m_List.SetCurSel(position);
    m_List.GetLBText(position, m_ListText);
    UpdateData(FALSE);
}

void CQLSDirectoryDialog::OnSelectNumber()
{
    if (!UpdateData(TRUE))
        return;
    int entry = m_List.GetCurSel();
    if (entry < 0 || entry == m_EditedEntry)
        return;
    m_EditedEntry = entry;
    m_Channel = entry;
    m_Spin.SetPos(entry);
    m_List.GetLBText(entry, m_ListText);
    UpdateData(FALSE);
}

std::vector<std::string> CQLSDirectoryDialog::FillEntries(const std::string& first, bool increment)
{
    std::vector<std::string> entries{first};
    for (int i = 1; i < kEntries; i++) {
        std::string next = entries.back();
        // The last three characters count in decimal, the hundreds' carry dropped; a
        // character there that is no digit ends the count.
        for (size_t k = 0; increment && k < 3 && k < next.size(); k++) {
            char& c = next[next.size() - 1 - k];
            if (!std::isdigit(static_cast<unsigned char>(c)))
                break;
            if (c != '9') {
                c++;
                break;
            }
            c = '0';
        }
        entries.push_back(next);
    }
    return entries;
}

void CQLSDirectoryDialog::OnFill()
{
    if (!UpdateData(TRUE))
        return;
    std::string first = m_FirstNumber.str();
    if (m_FillMode != 1 && first.empty()) {
        MessageBox("No number entered.");
        return;
    }
    m_List.ResetContent();
    for (const std::string& entry : FillEntries(first, m_FillMode != 1))
        m_List.AddString(entry.c_str());
    m_List.SetCurSel(0);
    m_EditedEntry = 0;
    m_Channel = 0;
    m_Spin.SetPos(0);
    m_ListText = first.c_str();
    UpdateData(FALSE);
}

void CQLSDirectoryDialog::StoreNumbers()
{
    for (int i = 0; i < kEntries; i++) {
        CString entry;
        if (i < m_List.GetCount())
            m_List.GetLBText(i, entry);
        std::string digits;
        for (char c : entry.str())
            if (c >= '0' && c <= '9' && digits.size() < kLength - 1)
                digits += c;
        std::memset(m_Numbers[i], 0, kLength);
        std::memcpy(m_Numbers[i], digits.data(), digits.size());
    }
}

// In a sheet the pages are read after the run: the numbers are taken when the page is left.
BOOL CQLSDirectoryDialog::OnKillActive()
{
    if (!CPropertyPage::OnKillActive())
        return FALSE;
    ReplaceEditedEntry();
    m_List.SetCurSel(m_EditedEntry);
    StoreNumbers();
    return TRUE;
}

void CQLSDirectoryDialog::OnOK()
{
    if (m_hWnd != nullptr) {
        if (!UpdateData(TRUE))
            return;
        ReplaceEditedEntry();
        StoreNumbers();
    }
    CPropertyPage::OnOK();
}

// --- asynchronous ports ----------------------------------------------------------------

CAsyncPorts::CAsyncPorts() : CPropertyPage(IDD_ASYNC_PORTS) {}

void CAsyncPorts::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_FIRST_PORT, m_FirstPort);
    DDV_MinMaxUInt(pDX, m_FirstPort, 1, 250);
    DDX_Text(pDX, IDC_PORT_COUNT, m_PortCount);
    DDV_MinMaxUInt(pDX, m_PortCount, 0, 30);
}

BOOL CAsyncPorts::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    CenterWindow(CWnd::GetDesktopWindow());
    return TRUE;
}

void CAsyncPorts::OnOK()
{
    if (m_hWnd != nullptr && !UpdateData(TRUE))
        return;
    CPropertyPage::OnOK();
}

// --- the sheet ------------------------------------------------------------------------------

CConfigSheet::CConfigSheet(UINT nIDCaption, CVX2430Adapter* adapter, CWnd* pParentWnd, UINT iSelectPage)
    : CPropertySheet(nIDCaption, pParentWnd, iSelectPage), m_pAdapter(adapter), m_UpdateCode(adapter)
{
    AddPages();
}

CConfigSheet::CConfigSheet(LPCTSTR pszCaption, CVX2430Adapter* adapter, CWnd* pParentWnd, UINT iSelectPage)
    : CPropertySheet(pszCaption, pParentWnd, iSelectPage), m_pAdapter(adapter), m_UpdateCode(adapter)
{
    AddPages();
}

void CConfigSheet::AddPages()
{
    AddPage(&m_LineConfig);
    AddPage(&m_DirectoryNumbers);
    AddPage(&m_UpdateCode);
    AddPage(&m_AsyncPorts);
}

BOOL CConfigSheet::OnInitDialog()
{
    BOOL result = CPropertySheet::OnInitDialog();
    CenterWindow(CWnd::GetDesktopWindow());
    return result;
}
