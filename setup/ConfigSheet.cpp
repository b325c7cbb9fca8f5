// The setup sheet's pages and the bus-number dialog. Every page works on the current
// line (0) of the card's tables: it loads them at initialisation and stores into them
// when it is accepted.
#include "setup/ConfigSheet.h"

#include <cctype>
#include <cstdio>

#include "setup/CardParams.h"
#include "setup/resource.h"

namespace {

const char* const kFramings[] = {"T1 -  Format FT ",          "T1 - 12 Frame Multi-Frame", "T1 -  SLC",
                                 "T1 -  Extended Super Frame", "E1 -  FAS with CRC ",        "E1 -  FAS without CRC",
                                 nullptr};
const char* const kLineCodes[] = {"B8ZS", "B7ZS", "HDB3", "AMI", "UMC", nullptr};
const char* const kSwitchTypes[] = {"PRI - Lucent 5ESS ",  "PRI -National ISDN (1or2)", "PRI -Nortel DMS100",
                                    "PRI -European ISDN ", "PRI -French VN4 ISDN",      nullptr};
const char* const kTxLevels[] = {"Cable 0-133 Ft 100 Ohm",   "Cable 133-266 Ft 100 Ohm", "Cable 266-399 Ft 100 Ohm",
                                 "Cable 399-533 Ft 100 Ohm", "Cable 533-655 Ft 100 Ohm", "Cable ITU-T G.703 75 Ohm",
                                 "Cable ITU-T G.703 120 Ohm", "Long Haul 100 Ohm",       nullptr};

constexpr DWORD kDropList = WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;

const AFX_DLGITEM kPriItems[] = {
    {AfxItem::LText, IDC_STATIC, "Framing Format:", 10, 14, 70, 8},
    {AfxItem::ComboBox, IDC_FRAMING, nullptr, 86, 12, 150, 80, kDropList, kFramings},
    {AfxItem::LText, IDC_STATIC, "Line Coding:", 10, 36, 70, 8},
    {AfxItem::ComboBox, IDC_LINECODE, nullptr, 86, 34, 150, 80, kDropList, kLineCodes},
    {AfxItem::LText, IDC_STATIC, "Switch Type:", 10, 58, 70, 8},
    {AfxItem::ComboBox, IDC_SWITCHTYPE, nullptr, 86, 56, 150, 80, kDropList, kSwitchTypes},
    {AfxItem::LText, IDC_STATIC, "Tx Level:", 10, 80, 70, 8},
    {AfxItem::ComboBox, IDC_TXLEVEL, nullptr, 86, 78, 150, 80, kDropList, kTxLevels},
};
const AFX_DLGTEMPLATE kPri = {IDD_PRI_CONFIG, "PRI Setup", 250, 150, kPriItems, std::size(kPriItems)};

const AFX_DLGITEM kDirItems[] = {
    {AfxItem::LText, IDC_STATIC, "Channel", 10, 14, 40, 8},
    {AfxItem::Edit, IDC_CHANNEL, nullptr, 82, 12, 30, 13, WS_VISIBLE | WS_TABSTOP | ES_NUMBER},
    {AfxItem::Spin, IDC_CHANNEL_SPIN, nullptr, 112, 12, 10, 13,
     WS_VISIBLE | UDS_AUTOBUDDY | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS},
    {AfxItem::LText, IDC_STATIC, "Directory Number", 10, 36, 70, 8},
    {AfxItem::ComboBox, IDC_DIRNUMBER, nullptr, 82, 34, 158, 100, WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN},
    {AfxItem::GroupBox, IDC_STATIC, "Fill", 10, 56, 230, 76},
    {AfxItem::LText, IDC_STATIC, "1st Dir. Nbr:", 18, 72, 50, 8},
    {AfxItem::Edit, IDC_FIRST_NUMBER, nullptr, 82, 70, 148, 13},
    {AfxItem::RadioButton, IDC_INCREMENT, "Increment number", 18, 92, 100, 10, WS_VISIBLE | WS_TABSTOP | WS_GROUP},
    {AfxItem::RadioButton, IDC_SAME, "Same Number for all", 18, 108, 100, 10},
    {AfxItem::PushButton, IDC_FILL, "Fill", 180, 106, 50, 14},
};
const AFX_DLGTEMPLATE kDir = {IDD_DIRNUMBER_CFG, "Directory Number Setup", 250, 150, kDirItems, std::size(kDirItems)};

const AFX_DLGITEM kAsyncItems[] = {
    {AfxItem::LText, IDC_STATIC,
     "If you intend to dial out using a terminal program or fax package, enter the number of async ports you "
     "require. The ports will be created sequentially using the starting port number.  Make sure no COM ports "
     "exist in the range you specify",
     10, 10, 230, 50},
    {AfxItem::LText, IDC_STATIC, "Number of Async Ports", 10, 74, 120, 8},
    {AfxItem::Edit, IDC_ASYNC_COUNT, nullptr, 150, 72, 40, 13, WS_VISIBLE | WS_TABSTOP | ES_NUMBER},
    {AfxItem::LText, IDC_STATIC, "Starting Port Number (COMx)", 10, 96, 120, 8},
    {AfxItem::Edit, IDC_FIRST_PORT, nullptr, 150, 94, 40, 13, WS_VISIBLE | WS_TABSTOP | ES_NUMBER},
};
const AFX_DLGTEMPLATE kAsync = {IDD_ASYNC_PORTS, "Async Port Setup", 250, 150, kAsyncItems, std::size(kAsyncItems)};

const AFX_DLGITEM kBusItems[] = {
    {AfxItem::LText, IDC_STATIC,
     "Enter the Bus Number of the ZELVX24/30 adapter.\rIn most cases the Bus Number is 0.", 7, 7, 180, 20},
    {AfxItem::LText, IDC_STATIC, "Bus Number", 7, 36, 50, 8},
    {AfxItem::Edit, IDC_BUS_NUMBER, nullptr, 60, 34, 40, 13, WS_VISIBLE | WS_TABSTOP | ES_NUMBER},
    {AfxItem::DefPushButton, IDOK, "OK", 137, 56, 50, 14},
};
const AFX_DLGTEMPLATE kBus = {IDD_BUS_NUMBER, "ZELVX24/30 Bus Number", 194, 78, kBusItems, std::size(kBusItems)};

const AFX_DLGTEMPLATE* const kDialogs[] = {&kPri, &kDir, &kAsync, &kBus};
const AFX_RESOURCES kResources = {nullptr, 0, kDialogs, std::size(kDialogs), nullptr, 0, nullptr, 0};

CardLine& Line() { return GCard.Line[GCurrentLine]; }

int FramingEntry(CARD_WORD value)
{
    if (value <= 4)
        return (int)value;
    return value == 5 || value == 6 ? 5 : -1;
}

size_t Digits(const std::string& text)
{
    size_t n = 0;
    for (char c : text)
        n += std::isdigit((unsigned char)c) ? 1 : 0;
    return n;
}

}  // namespace

void RegisterSetupResources()
{
    static bool registered = false;
    if (!registered)
        AfxRegisterResources(&kResources);
    registered = true;
}

// --- PRI page ----------------------------------------------------------------------

IMPLEMENT_DYNCREATE(CPriConfig, CPropertyPage)

BEGIN_MESSAGE_MAP(CPriConfig, CPropertyPage)
    ON_CBN_SELCHANGE(IDC_FRAMING, OnPickFraming)
    ON_CBN_SELCHANGE(IDC_LINECODE, OnPickLineCode)
    ON_CBN_SELCHANGE(IDC_SWITCHTYPE, OnPickSwitchType)
    ON_CBN_SELCHANGE(IDC_TXLEVEL, OnPickTxLevel)
END_MESSAGE_MAP()

CPriConfig::CPriConfig() : CPropertyPage(IDD_PRI_CONFIG) {}

void CPriConfig::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_CBIndex(pDX, IDC_FRAMING, m_Framing);
    DDX_CBIndex(pDX, IDC_LINECODE, m_LineCode);
    DDX_CBIndex(pDX, IDC_SWITCHTYPE, m_SwitchType);
    DDX_CBIndex(pDX, IDC_TXLEVEL, m_TxLevel);
}

BOOL CPriConfig::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    // The tables are loaded once; a sheet shown again keeps what the user entered.
    if (!m_Loaded) {
        CardLine& line = Line();
        m_Framing = FramingEntry(line.FramingFormat);
        line.LineMode = line.FramingFormat > 3 ? 1 : 0;
        m_LineCode = line.LineCode <= 4 ? (int)line.LineCode : -1;
        m_SwitchType =
            line.SignallingProtocol >= 1 && line.SignallingProtocol <= 5 ? (int)line.SignallingProtocol - 1 : 0;
        m_TxLevel = line.TxPulseTemplate <= 7 ? (int)line.TxPulseTemplate : -1;
        m_Loaded = true;
    }
    UpdateData(FALSE);
    return TRUE;
}

void CPriConfig::OnCancel()
{
    // The sheet may be shown again: what the lists show is kept.
    if (CComboBox* c = static_cast<CComboBox*>(GetDlgItem(IDC_FRAMING)))
        m_Framing = c->GetCurSel();
    if (CComboBox* c = static_cast<CComboBox*>(GetDlgItem(IDC_LINECODE)))
        m_LineCode = c->GetCurSel();
    if (CComboBox* c = static_cast<CComboBox*>(GetDlgItem(IDC_SWITCHTYPE)))
        m_SwitchType = c->GetCurSel();
    if (CComboBox* c = static_cast<CComboBox*>(GetDlgItem(IDC_TXLEVEL)))
        m_TxLevel = c->GetCurSel();
    CPropertyPage::OnCancel();
}

void CPriConfig::OnOK()
{
    CardLine& line = Line();
    // A value the list has no entry for (robbed bit, leased line, framing 5, ...) stays
    // as stored unless the user picked an entry; any pick is a change.
    if (m_Framing >= 0 && m_PickedFraming)
        line.FramingFormat = m_Framing == 5 ? 6 : (CARD_WORD)m_Framing;
    line.LineMode = line.FramingFormat > 3 ? 1 : 0;
    line.SystemBusMode = line.LineMode == 0 ? 2 : 5;
    if (m_LineCode >= 0 && m_PickedLineCode)
        line.LineCode = (CARD_WORD)m_LineCode;
    if (m_SwitchType >= 0 && m_PickedSwitchType)
        line.SignallingProtocol = (CARD_WORD)m_SwitchType + 1;
    if (m_TxLevel >= 0 && m_PickedTxLevel)
        line.TxPulseTemplate = (CARD_WORD)m_TxLevel;
    CPropertyPage::OnOK();
}

void CPriConfig::OnPickFraming() { m_PickedFraming = true; }
void CPriConfig::OnPickLineCode() { m_PickedLineCode = true; }
void CPriConfig::OnPickSwitchType() { m_PickedSwitchType = true; }
void CPriConfig::OnPickTxLevel() { m_PickedTxLevel = true; }

// --- directory numbers ---------------------------------------------------------------

IMPLEMENT_DYNCREATE(CDirNumberCfg, CPropertyPage)

BEGIN_MESSAGE_MAP(CDirNumberCfg, CPropertyPage)
    ON_WM_VSCROLL()
    ON_CBN_SELCHANGE(IDC_DIRNUMBER, OnSelchangeDirNumber)
    ON_BN_CLICKED(IDC_FILL, OnFill)
END_MESSAGE_MAP()

CDirNumberCfg::CDirNumberCfg() : CPropertyPage(IDD_DIRNUMBER_CFG) {}

void CDirNumberCfg::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_CHANNEL_SPIN, m_Spin);
    DDX_Control(pDX, IDC_DIRNUMBER, m_Combo);
    DDX_Text(pDX, IDC_CHANNEL, m_Channel);
    DDV_MinMaxInt(pDX, m_Channel, 0, CARD_DIRNUMS - 1);
    DDX_CBString(pDX, IDC_DIRNUMBER, m_ComboText);
    DDV_MaxChars(pDX, m_ComboText, CARD_DIRNUM_SIZE);
    DDX_Radio(pDX, IDC_INCREMENT, m_FillMode);
    DDX_Text(pDX, IDC_FIRST_NUMBER, m_FirstNumber);
    DDV_MaxChars(pDX, m_FirstNumber, CARD_DIRNUM_SIZE);
}

BOOL CDirNumberCfg::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    // The tables are loaded once; a sheet shown again keeps what the user entered.
    if (m_Rows.empty()) {
        m_FillMode = 0;
        m_EditChannel = 0;
        m_Channel = 0;
        for (int i = 0; i < CARD_DIRNUMS; i++)
            m_Rows.push_back(Line().DirectoryNumber[i]);
        m_ComboText = m_Rows[0].c_str();
    }
    m_Spin.SetRange(0, CARD_DIRNUMS - 1);
    m_Spin.SetBase(10);
    m_Spin.SetPos(m_EditChannel);
    m_Combo.InitStorage(CARD_DIRNUMS, CARD_DIRNUM_SIZE);
    for (const std::string& row : m_Rows)
        m_Combo.AddString(row.c_str());
    m_Combo.SetCurSel(m_EditChannel);
    UpdateData(FALSE);
    return TRUE;
}

void CDirNumberCfg::OnCancel()
{
    // The sheet may be shown again: the rows, the row being typed and the fill fields are kept.
    GetDlgItemText(IDC_DIRNUMBER, m_ComboText);
    GetDlgItemText(IDC_FIRST_NUMBER, m_FirstNumber);
    m_FillMode = IsDlgButtonChecked(IDC_SAME) ? 1 : 0;
    ReplaceEditedRow();
    KeepRows();
    m_Channel = m_EditChannel;
    CPropertyPage::OnCancel();
}

void CDirNumberCfg::KeepRows()
{
    m_Rows.clear();
    for (int i = 0; i < m_Combo.GetCount(); i++) {
        CString row;
        m_Combo.GetLBText(i, row);
        m_Rows.push_back(row.str());
    }
}

void CDirNumberCfg::ReplaceEditedRow()
{
    if (m_EditChannel < 0 || m_EditChannel >= m_Combo.GetCount())
        return;
    m_Combo.DeleteString((UINT)m_EditChannel);
    m_Combo.InsertString(m_EditChannel, m_ComboText);
}

void CDirNumberCfg::OnVScroll(UINT nSBCode, UINT, CScrollBar* pScrollBar)
{
    if (nSBCode == SB_ENDSCROLL || (pScrollBar != nullptr && pScrollBar->GetDlgCtrlID() != IDC_CHANNEL_SPIN))
        return;
    if (!UpdateData(TRUE))
        return;
    int position = m_Spin.GetPos();
    if (position > CARD_DIRNUMS - 1) {
        MessageBox("Wrong Channel Number", "Error", MB_ICONEXCLAMATION);
        return;
    }
    ReplaceEditedRow();
    m_EditChannel = position;
    m_Channel = position;
    m_Combo.SetCurSel(position);
    m_Combo.GetLBText(position, m_ComboText);
    UpdateData(FALSE);
}

void CDirNumberCfg::OnSelchangeDirNumber()
{
    if (!UpdateData(TRUE))
        return;
    int row = m_Combo.GetCurSel();
    if (row < 0 || row == m_EditChannel)
        return;
    m_EditChannel = row;
    m_Channel = row;
    m_Spin.SetPos(row);
    m_Combo.GetLBText(row, m_ComboText);
    UpdateData(FALSE);
}

std::vector<std::string> CDirNumberCfg::FillRows(const std::string& first, bool increment)
{
    std::vector<std::string> rows{first};
    for (int i = 1; i < CARD_DIRNUMS; i++) {
        std::string next = rows.back();
        // The last three characters count in decimal: 998, 999, 000, 001, ...
        for (size_t k = 0; increment && k < 3 && k < next.size(); k++) {
            char& c = next[next.size() - 1 - k];
            if (!std::isdigit((unsigned char)c))
                break;
            if (c != '9') {
                c++;
                break;
            }
            c = '0';
        }
        rows.push_back(next);
    }
    return rows;
}

void CDirNumberCfg::OnFill()
{
    if (!UpdateData(TRUE))
        return;
    std::string first = m_FirstNumber.str();
    if (m_FillMode != 1 && first.empty()) {
        MessageBox("No number entered.", nullptr, MB_OK);
        return;
    }
    if (Digits(first) > CARD_DIRNUM_MAX_DIGITS) {
        MessageBox("A directory number has at most 38 digits.", "Error", MB_ICONEXCLAMATION);
        return;
    }
    m_Combo.ResetContent();
    for (const std::string& row : FillRows(first, m_FillMode != 1))
        m_Combo.AddString(row.c_str());
    m_Combo.SetCurSel(0);
    m_EditChannel = 0;
    m_Channel = 0;
    m_Spin.SetPos(0);
    m_ComboText = first.c_str();
    UpdateData(FALSE);
}

bool CDirNumberCfg::RowsFit()
{
    for (int i = 0; i < m_Combo.GetCount(); i++) {
        CString row;
        m_Combo.GetLBText(i, row);
        if (Digits(row.str()) > CARD_DIRNUM_MAX_DIGITS) {
            CString text;
            text.Format("The directory number of channel %d has more than 38 digits.", i);
            MessageBox(text, "Error", MB_ICONEXCLAMATION);
            m_Combo.SetCurSel(i);
            return false;
        }
    }
    return true;
}

BOOL CDirNumberCfg::OnKillActive()
{
    if (!CPropertyPage::OnKillActive())
        return FALSE;
    ReplaceEditedRow();
    m_Combo.SetCurSel(m_EditChannel);
    return RowsFit() ? TRUE : FALSE;
}

void CDirNumberCfg::OnOK()
{
    ReplaceEditedRow();
    KeepRows();
    for (int i = 0; i < CARD_DIRNUMS; i++) {
        CString row;
        if (i < m_Combo.GetCount())
            m_Combo.GetLBText(i, row);
        std::string digits;
        for (char c : row.str())
            if (c >= '0' && c <= '9')
                digits += c;
        std::snprintf(Line().DirectoryNumber[i], CARD_DIRNUM_SIZE, "%s", digits.c_str());
    }
    CPropertyPage::OnOK();
}

// --- asynchronous ports --------------------------------------------------------------

IMPLEMENT_DYNCREATE(CAsyncPorts, CPropertyPage)

CAsyncPorts::CAsyncPorts() : CPropertyPage(IDD_ASYNC_PORTS) {}

void CAsyncPorts::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_FIRST_PORT, m_FirstPort);
    DDV_MinMaxUInt(pDX, m_FirstPort, 1, 255);
    DDX_Text(pDX, IDC_ASYNC_COUNT, m_Count);
    DDV_MinMaxUInt(pDX, m_Count, 0, 255);
}

BOOL CAsyncPorts::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    // The tables are loaded once; a sheet shown again keeps what the user entered.
    if (!m_Loaded) {
        m_FirstPort = GCard.AsyncPortNumbersStartAt;
        m_Count = Line().AsyncPorts;
        m_Loaded = true;
    }
    UpdateData(FALSE);
    return TRUE;
}

void CAsyncPorts::OnCancel()
{
    // The sheet may be shown again: numbers typed are kept (they are checked on OK).
    BOOL read = FALSE;
    UINT first = GetDlgItemInt(IDC_FIRST_PORT, &read, FALSE);
    if (read)
        m_FirstPort = first;
    UINT count = GetDlgItemInt(IDC_ASYNC_COUNT, &read, FALSE);
    if (read)
        m_Count = count;
    CPropertyPage::OnCancel();
}

void CAsyncPorts::OnOK()
{
    GCard.AsyncPortNumbersStartAt = m_FirstPort;
    Line().AsyncPorts = m_Count;
    CPropertyPage::OnOK();
}

// --- the sheet and the bus-number dialog -----------------------------------------------

CConfigSheet::CConfigSheet(LPCTSTR caption) : CPropertySheet(caption, nullptr, 0)
{
    m_psh.dwFlags |= PSH_NOAPPLYNOW;
    m_psh.dwFlags &= ~(DWORD)PSH_HASHELP;
    AddPage(&m_PriConfig);
    AddPage(&m_DirNumberCfg);
    AddPage(&m_AsyncPorts);
}

BOOL CConfigSheet::OnInitDialog()
{
    BOOL r = CPropertySheet::OnInitDialog();
    // Shown again after Cancel and No: every page is made, so OK applies the edits each
    // kept even where the user does not open it again.
    if (m_Shown) {
        for (int i = GetPageCount() - 1; i >= 0; --i)
            SetActivePage(i);
    }
    m_Shown = true;
    CenterWindow();
    return r;
}

CBusNumberDlg::CBusNumberDlg(CWnd* pParent) : CDialog(IDD_BUS_NUMBER, pParent) {}

void CBusNumberDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_BUS_NUMBER, m_BusNumber);
    DDV_MinMaxUInt(pDX, m_BusNumber, 0, 10);
}

BOOL CBusNumberDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    CenterWindow();
    return TRUE;
}
