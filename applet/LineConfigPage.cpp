#include "applet/LineConfigPage.h"

#include <cstdio>
#include <cstring>

#include "applet/PropertySheet.h"
#include "applet/resource.h"

using namespace linecfg;

namespace {

void FillCombo(CWnd* parent, int id, const std::vector<std::string>& texts)
{
    auto* combo = static_cast<CComboBox*>(parent->GetDlgItem(id));
    if (combo == nullptr)
        return;
    combo->ResetContent();
    for (const std::string& t : texts) combo->AddString(t.c_str());
}

void FillChoice(CWnd* parent, int id, const Choice& choice)
{
    std::vector<std::string> texts;
    for (int i = 0; i < choice.Count(); i++) texts.push_back(choice.Texts[i]);
    FillCombo(parent, id, texts);
}

void Show(CWnd* parent, int id, bool shown)
{
    if (CWnd* w = parent->GetDlgItem(id))
        w->ShowWindow(shown ? SW_SHOW : SW_HIDE);
}

void Enable(CWnd* parent, int id, bool enabled)
{
    if (CWnd* w = parent->GetDlgItem(id))
        w->EnableWindow(enabled ? TRUE : FALSE);
}

std::string Hex(uint32_t value)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

}  // namespace

// --- lists ----------------------------------------------------------------------------------

void CChoiceExchange::Exchange(CDataExchange* pDX, int id, const Choice& choice, uint32_t& value)
{
    if (!pDX->m_bSaveAndValidate) {
        int shown = choice.IndexOf(value);
        m_Shown[id] = shown;
        DDX_CBIndex(pDX, id, shown);
        return;
    }
    int chosen = -1;
    DDX_CBIndex(pDX, id, chosen);
    auto shown = m_Shown.find(id);
    if (chosen >= 0 && chosen < choice.Count() && (shown == m_Shown.end() || chosen != shown->second)) {
        value = choice.Values[chosen];
        m_Shown[id] = chosen;
    }
}

// --- layer 1 ----------------------------------------------------------------------------------

Cly1cfg::Cly1cfg(const LineSet& line, CWnd* pParent) : CDialog(IDD_LAYER1_CONFIG, pParent), m_Line(line) {}

BOOL Cly1cfg::OnInitDialog()
{
    FillChoice(this, IDC_L1_LINE_CODE, kLineCodeChoice);
    FillChoice(this, IDC_L1_FRAMING, kFramingChoice);
    FillChoice(this, IDC_L1_DCH_RATE, kDChRateChoice);
    FillChoice(this, IDC_L1_IDLE_CODE, kIdleCodeChoice);
    FillChoice(this, IDC_L1_PULSE, kPulseChoice);
    return CDialog::OnInitDialog();
}

void Cly1cfg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    m_Choices.Exchange(pDX, IDC_L1_LINE_CODE, kLineCodeChoice, m_Line.Value[LineCode]);
    m_Choices.Exchange(pDX, IDC_L1_FRAMING, kFramingChoice, m_Line.Value[FramingFormat]);
    m_Choices.Exchange(pDX, IDC_L1_DCH_RATE, kDChRateChoice, m_Line.Value[DChRate]);
    m_Choices.Exchange(pDX, IDC_L1_IDLE_CODE, kIdleCodeChoice, m_Line.Value[DS0IdleCode]);
    m_Choices.Exchange(pDX, IDC_L1_PULSE, kPulseChoice, m_Line.Value[TxPulseTemplate]);
}

// --- layer 2 ----------------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(cly2cfg, CDialog)
    ON_CBN_SELCHANGE(IDC_L2_MODULUS, OnModulus)
    ON_WM_HSCROLL()
    ON_WM_VSCROLL()
END_MESSAGE_MAP()

cly2cfg::cly2cfg(const LineSet& line, CWnd* pParent)
    : CDialog(IDD_LAYER2_CONFIG, pParent), m_Line(line), m_WindowSize(static_cast<int>(line.Value[WindowSize]))
{
}

int cly2cfg::MaximumWindow() const { return m_Line.Value[Modulus] == 1 ? 7 : 127; }

void cly2cfg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_L2_SPIN, m_Spin);
    DDX_Control(pDX, IDC_L2_SLIDER, m_Slider);
    m_Choices.Exchange(pDX, IDC_L2_MODULUS, kModulusChoice, m_Line.Value[Modulus]);
    DDX_Text(pDX, IDC_L2_WINDOW, m_WindowSize);
    DDV_MinMaxInt(pDX, m_WindowSize, 1, MaximumWindow());
    if (pDX->m_bSaveAndValidate)
        m_Line.Value[WindowSize] = static_cast<uint32_t>(m_WindowSize);
}

void cly2cfg::SetRange()
{
    int maximum = MaximumWindow();
    m_Spin.SetRange32(1, maximum);
    m_Slider.SetRange(1, maximum, TRUE);
    m_Slider.SetTicFreq((maximum + 1) / 8);
}

BOOL cly2cfg::OnInitDialog()
{
    FillChoice(this, IDC_L2_MODULUS, kModulusChoice);
    CDialog::OnInitDialog();
    SetRange();
    m_Spin.SetPos(m_WindowSize);
    m_Slider.SetPos(m_WindowSize);
    return TRUE;
}

void cly2cfg::OnModulus()
{
    auto* list = static_cast<CComboBox*>(GetDlgItem(IDC_L2_MODULUS));
    int entry = list->GetCurSel();
    if (entry >= 0 && entry < kModulusChoice.Count())
        m_Line.Value[Modulus] = kModulusChoice.Values[entry];
    SetRange();
}

void cly2cfg::OnHScroll(UINT, UINT, CScrollBar* pScrollBar)
{
    if (pScrollBar == nullptr || pScrollBar->GetDlgCtrlID() != IDC_L2_SLIDER)
        return;
    m_Spin.SetPos(m_Slider.GetPos());
    SetDlgItemText(IDC_L2_WINDOW, std::to_string(m_Slider.GetPos()).c_str());
}

void cly2cfg::OnVScroll(UINT, UINT, CScrollBar* pScrollBar)
{
    if (pScrollBar == nullptr || pScrollBar->GetDlgCtrlID() != IDC_L2_SPIN)
        return;
    m_Slider.SetPos(m_Spin.GetPos());
}

// --- layer 3 ----------------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(Cly3cfg, CDialog)
    ON_CBN_SELCHANGE(IDC_L3_PROTOCOL, OnProtocol)
END_MESSAGE_MAP()

Cly3cfg::Cly3cfg(const LineSet& line, CWnd* pParent) : CDialog(IDD_LAYER3_CONFIG, pParent), m_Line(line) {}

void Cly3cfg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    m_Choices.Exchange(pDX, IDC_L3_PROTOCOL, kProtocolChoice, m_Line.Value[SignallingProtocol]);
    m_Choices.Exchange(pDX, IDC_L3_INVERSION, kInversionChoice, m_Line.Value[DChInversion]);
    m_Choices.Exchange(pDX, IDC_L3_BCHANNEL, kBChannelChoice, m_Line.Value[BChProtocol]);
    m_Choices.Exchange(pDX, IDC_L3_RBS_TYPE, kRbsTypeChoice, m_Line.Value[RBSType]);
    m_Choices.Exchange(pDX, IDC_L3_RBS_CALL_TYPE, kRbsCallTypeChoice, m_Line.Value[RBSCallType]);
    m_Choices.Exchange(pDX, IDC_L3_RBS_PROTOCOL, kRbsProtocolChoice, m_Line.Value[RBSProtocol]);
    m_Choices.Exchange(pDX, IDC_L3_RBS_WINK, kWinkChoice, m_Line.Value[RBSWinkDuration]);
}

BOOL Cly3cfg::OnInitDialog()
{
    FillChoice(this, IDC_L3_PROTOCOL, kProtocolChoice);
    FillChoice(this, IDC_L3_INVERSION, kInversionChoice);
    FillChoice(this, IDC_L3_BCHANNEL, kBChannelChoice);
    FillChoice(this, IDC_L3_RBS_TYPE, kRbsTypeChoice);
    FillChoice(this, IDC_L3_RBS_CALL_TYPE, kRbsCallTypeChoice);
    FillChoice(this, IDC_L3_RBS_PROTOCOL, kRbsProtocolChoice);
    FillChoice(this, IDC_L3_RBS_WINK, kWinkChoice);
    CDialog::OnInitDialog();
    ShowRobbedBit();
    return TRUE;
}

void Cly3cfg::ShowRobbedBit()
{
    auto* list = static_cast<CComboBox*>(GetDlgItem(IDC_L3_PROTOCOL));
    bool robbedBit = list != nullptr && list->GetCurSel() == 0;
    for (int id : {IDC_L3_RBS_GROUP, IDC_L3_RBS_TYPE, IDC_L3_RBS_CALL_TYPE, IDC_L3_RBS_PROTOCOL, IDC_L3_RBS_WINK})
        Show(this, id, robbedBit);
    for (int k = 0; k < 4; k++) Show(this, IDC_L3_RBS_LABEL_FIRST + k, robbedBit);
}

void Cly3cfg::OnProtocol() { ShowRobbedBit(); }

// --- directory numbers ----------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CDirNumberCfg, CDialog)
    ON_BN_CLICKED(IDC_DN_FILL, OnFill)
    ON_CBN_SELCHANGE(IDC_DN_LIST, OnSelectNumber)
    ON_WM_VSCROLL()
END_MESSAGE_MAP()

CDirNumberCfg::CDirNumberCfg(const LineSet& line, CWnd* pParent)
    : CDialog(IDD_NUMBERS_CONFIG, pParent), m_Line(line)
{
}

void CDirNumberCfg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_DN_SPIN, m_Spin);
    DDX_Control(pDX, IDC_DN_LIST, m_List);
    DDX_Text(pDX, IDC_DN_CHANNEL, m_Channel);
    DDX_CBString(pDX, IDC_DN_LIST, m_Edited);
    DDV_MaxChars(pDX, m_Edited, kNumberLength - 1);
    DDX_Text(pDX, IDC_DN_FIRST, m_FirstNumber);
    DDV_MaxChars(pDX, m_FirstNumber, kNumberLength - 1);
    DDX_Radio(pDX, IDC_DN_INCREMENT, m_FillMode);
}

BOOL CDirNumberCfg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_Spin.SetRange(0, kNumbers - 1);
    m_Spin.SetBase(10);
    m_List.ResetContent();
    for (int k = 0; k < kNumbers; k++)
        m_List.AddString(CString(m_Line.Numbers[k], static_cast<int>(strnlen(m_Line.Numbers[k], kNumberLength))));
    m_EditedRow = 0;
    m_Channel = 0;
    m_Spin.SetPos(0);
    m_List.SetCurSel(0);
    m_List.GetLBText(0, m_Edited);
    UpdateData(FALSE);
    return TRUE;
}

void CDirNumberCfg::PutBackEdited()
{
    if (m_EditedRow < 0 || m_EditedRow >= m_List.GetCount())
        return;
    m_List.DeleteString(static_cast<UINT>(m_EditedRow));
    m_List.InsertString(m_EditedRow, m_Edited);
}

void CDirNumberCfg::MoveTo(int channel)
{
    if (channel < 0 || channel >= kNumbers) {
        MessageBox("Wrong Channel Number", "Error", MB_OK);
        return;
    }
    PutBackEdited();
    m_EditedRow = channel;
    m_Channel = channel;
    m_Spin.SetPos(channel);
    m_List.SetCurSel(channel);
    m_List.GetLBText(channel, m_Edited);
    UpdateData(FALSE);
}

void CDirNumberCfg::OnVScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar)
{
    if (nSBCode == SB_ENDSCROLL || pScrollBar == nullptr || pScrollBar->GetDlgCtrlID() != IDC_DN_SPIN)
        return;
    CString edited;
    GetDlgItemText(IDC_DN_LIST, edited);
    m_Edited = edited;
    MoveTo(nSBCode == SB_THUMBPOSITION ? static_cast<int>(nPos) : m_Spin.GetPos());
}

void CDirNumberCfg::OnSelectNumber()
{
    int row = m_List.GetCurSel();
    if (row < 0 || row == m_EditedRow)
        return;
    // The list already shows the new row: the edited text is the list's row as it was.
    m_Edited = CString();
    m_List.GetLBText(m_EditedRow, m_Edited);
    MoveTo(row);
}

void CDirNumberCfg::OnFill()
{
    CString first;
    GetDlgItemText(IDC_DN_FIRST, first);
    if (first.GetLength() > kNumberLength - 1) {
        MessageBox("The number is too long.", "Error", MB_OK);
        return;
    }
    bool increment = IsDlgButtonChecked(IDC_DN_SAME) == 0;
    if (increment && first.IsEmpty()) {
        MessageBox("No number entered.");
        return;
    }
    m_List.ResetContent();
    for (const std::string& row : FillNumbers(first.str(), increment)) m_List.AddString(row.c_str());
    m_EditedRow = 0;
    m_Channel = 0;
    m_Spin.SetPos(0);
    m_List.SetCurSel(0);
    m_List.GetLBText(0, m_Edited);
    SetDlgItemText(IDC_DN_CHANNEL, "0");
}

void CDirNumberCfg::OnOK()
{
    if (!UpdateData(TRUE))
        return;
    PutBackEdited();
    for (int k = 0; k < kNumbers; k++) {
        CString row;
        if (k < m_List.GetCount())
            m_List.GetLBText(k, row);
        std::snprintf(m_Line.Numbers[k], kNumberLength, "%s", NumberDigits(row.str()).c_str());
    }
    EndDialog(IDOK);
}

// --- advanced ---------------------------------------------------------------------------------

CAdvanced::CAdvanced(const Values& values, int line, CWnd* pParent)
    : CDialog(IDD_ADVANCED_CONFIG, pParent),
      m_Values(values),
      m_LineIndex(line),
      m_QStack(values.Line[line].Value[QStackMultiplier]),
      m_Timer(values.TimerResolution)
{
}

void CAdvanced::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_ADV_TREE, m_Tree);
    LineSet& line = m_Values.Line[m_LineIndex];
    DDX_Text(pDX, IDC_ADV_QSTACK, m_QStack);
    DDV_MinMaxUInt(pDX, m_QStack, 1, 4000);
    DDX_Text(pDX, IDC_ADV_TIMER, m_Timer);
    DDV_MinMaxUInt(pDX, m_Timer, 1, 0xFFFFFFFFu);
    m_Choices.Exchange(pDX, IDC_ADV_NETWORK_SIDE, kNetworkSideChoice, line.Value[NetworkSide]);
    m_Choices.Exchange(pDX, IDC_ADV_IRQ, kIrqChoice, m_Values.IrqStatistics);
    m_Choices.Exchange(pDX, IDC_ADV_CSM, kCsmChoice, line.Value[ISDNthroughCSM]);
    m_Choices.Exchange(pDX, IDC_ADV_SAMPLING, kSamplingChoice, line.Value[SamplingType]);
    m_Choices.Exchange(pDX, IDC_ADV_OUTGOING_ANALOG, kOutgoingAnalogChoice, m_OutgoingAnalog);
    if (pDX->m_bSaveAndValidate) {
        line.Value[QStackMultiplier] = m_QStack;
        m_Values.TimerResolution = m_Timer;
    }
}

BOOL CAdvanced::OnInitDialog()
{
    FillChoice(this, IDC_ADV_NETWORK_SIDE, kNetworkSideChoice);
    FillChoice(this, IDC_ADV_IRQ, kIrqChoice);
    FillChoice(this, IDC_ADV_CSM, kCsmChoice);
    FillChoice(this, IDC_ADV_SAMPLING, kSamplingChoice);
    FillChoice(this, IDC_ADV_OUTGOING_ANALOG, kOutgoingAnalogChoice);
    CDialog::OnInitDialog();
    m_Tree.DeleteAllItems();
    for (int n = 0; n < kLines; n++) {
        HTREEITEM port = m_Tree.InsertItem(("Port " + std::to_string(n + 1)).c_str());
        m_Tree.InsertItem(("AdapterID=" + Hex(m_Values.AdapterID)).c_str(), port);
        m_Tree.InsertItem(("TimerResolution=" + Hex(m_Values.TimerResolution)).c_str(), port);
        m_Tree.InsertItem(("IrqStatistics=" + Hex(m_Values.IrqStatistics)).c_str(), port);
        for (int v = 0; v < kLineValues; v++)
            m_Tree.InsertItem((LineValueName(v, n) + "=" + Hex(m_Values.Line[n].Value[v])).c_str(), port);
    }
    HTREEITEM numbers = m_Tree.InsertItem("Directory Numbers");
    for (int n = 0; n < kLines; n++) {
        HTREEITEM line = m_Tree.InsertItem(("Line " + std::to_string(n)).c_str(), numbers);
        for (int k = 0; k < kNumbers; k++)
            m_Tree.InsertItem((NumberName(n, k) + "=" + m_Values.Line[n].Numbers[k]).c_str(), line);
    }
    for (int k = 0; k < kModules; k++)
        m_Tree.InsertItem((ModuleName(k) + "=" + Hex(m_Values.ModuleID[k])).c_str());
    return TRUE;
}

// --- the page -------------------------------------------------------------------------------

// A list's change among a range of lists, with the list's id.
#define ON_CBN_SELCHANGE_RANGE(first, last, fn) \
    {WM_COMMAND, (UINT)CBN_SELCHANGE, (UINT)(first), (UINT)(last), AFX_T(p_->fn(a_.nID); return 0;)},

BEGIN_MESSAGE_MAP(CMyPropertyPage3, CPropertyPage)
    ON_NOTIFY(TCN_SELCHANGE, IDC_LC_TABS, OnSelectLine)
    ON_CBN_SELCHANGE(IDC_LC_INTERFACE_TYPE, OnInterfaceType)
    ON_CBN_SELCHANGE(IDC_LC_ADAPTER_ID, OnAdapterId)
    ON_CBN_SELCHANGE_RANGE(IDC_LC_MODULE_FIRST, IDC_LC_MODULE_FIRST + 3, OnModule)
    ON_BN_CLICKED(IDC_LC_PRI_T1, OnPriT1)
    ON_BN_CLICKED(IDC_LC_PRI_E1, OnPriE1)
    ON_BN_CLICKED(IDC_LC_T1_RBS, OnT1Rbs)
    ON_BN_CLICKED(IDC_LC_LAYER1, OnLayer1)
    ON_BN_CLICKED(IDC_LC_LAYER2, OnLayer2)
    ON_BN_CLICKED(IDC_LC_LAYER3, OnLayer3)
    ON_BN_CLICKED(IDC_LC_NUMBERS, OnDirectoryNumbers)
    ON_BN_CLICKED(IDC_LC_ADVANCED, OnAdvanced)
    ON_BN_CLICKED(IDC_LC_UPDATE, OnUpdate)
    ON_BN_CLICKED(IDC_LC_EXPORT, OnExport)
END_MESSAGE_MAP()

CMyPropertyPage3::CMyPropertyPage3() : CPropertyPage(IDD_LINE_CONFIG), m_FromSheet(true) {}

CMyPropertyPage3::CMyPropertyPage3(uint32_t deviceNumber, const BoardTypeRow* boardRow)
    : CPropertyPage(IDD_LINE_CONFIG), m_FromSheet(false), m_DeviceNumber(deviceNumber), m_pBoardRow(boardRow)
{
}

int CMyPropertyPage3::ModuleSocket(int choice) const
{
    if (m_pBoardRow == nullptr || m_CurrentLine < 0 || m_CurrentLine >= kLines)
        return -1;
    uint32_t sockets = m_pBoardRow->Word[m_CurrentLine];
    if (sockets > 4)
        sockets = 4;  // four choices are all the page has
    uint32_t socket = static_cast<uint32_t>(m_CurrentLine) * m_pBoardRow->Word[m_CurrentLine] + static_cast<uint32_t>(choice);
    if (static_cast<uint32_t>(choice) >= sockets || socket >= static_cast<uint32_t>(kModules))
        return -1;
    return static_cast<int>(socket);
}

BOOL CMyPropertyPage3::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    if (m_FromSheet && GPropertySheet != nullptr && GPropertySheet->m_CurrentAdapter < GPropertySheet->m_AdapterCount) {
        m_DeviceNumber = GPropertySheet->m_DeviceNumbers[GPropertySheet->m_CurrentAdapter];
        m_pBoardRow = GPropertySheet->m_pBoardRow;
    }
    m_Tabs.SubclassDlgItem(IDC_LC_TABS, this);
    m_Tree.SubclassDlgItem(IDC_LC_TREE, this);
    FillCombo(this, IDC_LC_ADAPTER_ID, AdapterNames());
    for (int k = 0; k < 4; k++) FillCombo(this, IDC_LC_MODULE_FIRST + k, ModuleNames());

    m_LineCount = kLines;
    if (m_pBoardRow != nullptr && m_pBoardRow->Word[35] >= 1 && m_pBoardRow->Word[35] <= kLines)
        m_LineCount = static_cast<int>(m_pBoardRow->Word[35]);
    m_Tabs.DeleteAllItems();
    for (int n = 0; n < m_LineCount; n++) m_Tabs.InsertItem(n, ("Port " + std::to_string(n)).c_str());

    std::string current;
    m_Key = FullKey(m_DeviceNumber, &current);
    m_Loaded = Load(m_Key, current, m_Values, m_TreeItems);
    FillTree();
    if (!m_Loaded)
        MessageBox("Cannot Open Key or Key Value not found. Re-Install the Driver.", "Error", MB_OK);
    m_CurrentLine = 0;
    m_Tabs.SetCurSel(0);
    m_Changed = false;
    Refresh();
    return TRUE;
}

void CMyPropertyPage3::FillTree()
{
    m_Tree.DeleteAllItems();
    HTREEITEM top = m_Tree.InsertItem("");
    for (const std::string& item : m_TreeItems.Top) m_Tree.InsertItem(item.c_str(), top);
    HTREEITEM key = m_Tree.InsertItem(m_TreeItems.Key.c_str());
    for (int n = 0; n < kLines; n++) {
        m_LineItem[n] = m_Tree.InsertItem(("Line " + std::to_string(n)).c_str(), key);
        for (const std::string& item : m_TreeItems.Lines[n].Values) m_Tree.InsertItem(item.c_str(), m_LineItem[n]);
        HTREEITEM numbers = m_Tree.InsertItem("Directory Numbers", m_LineItem[n]);
        for (const std::string& item : m_TreeItems.Lines[n].Numbers) m_Tree.InsertItem(item.c_str(), numbers);
    }
    for (const std::string& item : m_TreeItems.Adapter) m_Tree.InsertItem(item.c_str(), key);
    for (const std::string& item : m_TreeItems.Modules) m_Tree.InsertItem(item.c_str(), key);
    m_Tree.Expand(top, TVE_EXPAND);
    m_Tree.Expand(key, TVE_EXPAND);
}

// The controls follow the values of the current line.
void CMyPropertyPage3::Refresh()
{
    const LineSet& line = m_Values.Line[m_CurrentLine];
    static_cast<CComboBox*>(GetDlgItem(IDC_LC_INTERFACE_TYPE))->SetCurSel(kLineModeChoice.IndexOf(line.Value[LineMode]));
    int adapter = m_Values.AdapterID < AdapterNames().size() ? static_cast<int>(m_Values.AdapterID) : -1;
    static_cast<CComboBox*>(GetDlgItem(IDC_LC_ADAPTER_ID))->SetCurSel(adapter);
    for (int k = 0; k < 4; k++) {
        int socket = ModuleSocket(k);
        Show(this, IDC_LC_MODULE_FIRST + k, socket >= 0);
        Show(this, IDC_LC_MODULE_LABEL_FIRST + k, socket >= 0);
        if (socket < 0)
            continue;
        uint32_t module = m_Values.ModuleID[socket];
        static_cast<CComboBox*>(GetDlgItem(IDC_LC_MODULE_FIRST + k))
            ->SetCurSel(module < ModuleNames().size() ? static_cast<int>(module) : -1);
    }
    Enable(this, IDC_LC_LAYER2, line.Value[SignallingProtocol] != 0);
    // Values that were not read are never written: Update waits for a load that succeeded.
    Enable(this, IDC_LC_UPDATE, m_Changed && m_Loaded);
    Invalidate();
}

void CMyPropertyPage3::Edited()
{
    m_Changed = true;
    Refresh();
}

void CMyPropertyPage3::OnSelectLine(NMHDR*, LRESULT* pResult)
{
    int line = m_Tabs.GetCurSel();
    if (line >= 0 && line < m_LineCount)
        m_CurrentLine = line;
    Refresh();
    if (pResult != nullptr)
        *pResult = 0;
}

void CMyPropertyPage3::OnInterfaceType()
{
    int entry = static_cast<CComboBox*>(GetDlgItem(IDC_LC_INTERFACE_TYPE))->GetCurSel();
    if (entry < 0 || entry >= kLineModeChoice.Count())
        return;
    SetInterfaceType(m_Values.Line[m_CurrentLine], kLineModeChoice.Values[entry]);
    Edited();
}

void CMyPropertyPage3::OnAdapterId()
{
    int entry = static_cast<CComboBox*>(GetDlgItem(IDC_LC_ADAPTER_ID))->GetCurSel();
    if (entry < 0)
        return;
    m_Values.AdapterID = static_cast<uint32_t>(entry);
    Edited();
}

void CMyPropertyPage3::OnModule(UINT id)
{
    int choice = static_cast<int>(id) - IDC_LC_MODULE_FIRST;
    int socket = ModuleSocket(choice);
    int entry = static_cast<CComboBox*>(GetDlgItem(static_cast<int>(id)))->GetCurSel();
    if (socket < 0 || entry < 0)
        return;
    m_Values.ModuleID[socket] = static_cast<uint32_t>(entry);
    Edited();
}

void CMyPropertyPage3::Standard(linecfg::Standard which)
{
    ApplyStandard(m_Values.Line[m_CurrentLine], which);
    Edited();
}

void CMyPropertyPage3::OnLayer1()
{
    Cly1cfg dialog(m_Values.Line[m_CurrentLine], this);
    if (dialog.DoModal() != IDOK)
        return;
    m_Values.Line[m_CurrentLine] = dialog.m_Line;
    Edited();
}

void CMyPropertyPage3::OnLayer2()
{
    cly2cfg dialog(m_Values.Line[m_CurrentLine], this);
    if (dialog.DoModal() != IDOK)
        return;
    m_Values.Line[m_CurrentLine] = dialog.m_Line;
    Edited();
}

void CMyPropertyPage3::OnLayer3()
{
    Cly3cfg dialog(m_Values.Line[m_CurrentLine], this);
    if (dialog.DoModal() != IDOK)
        return;
    m_Values.Line[m_CurrentLine] = dialog.m_Line;
    Edited();
}

void CMyPropertyPage3::OnDirectoryNumbers()
{
    CDirNumberCfg dialog(m_Values.Line[m_CurrentLine], this);
    if (dialog.DoModal() != IDOK)
        return;
    m_Values.Line[m_CurrentLine] = dialog.m_Line;
    Edited();
}

void CMyPropertyPage3::OnAdvanced()
{
    CAdvanced dialog(m_Values, m_CurrentLine, this);
    dialog.m_OutgoingAnalog = m_OutgoingAnalog[m_CurrentLine];
    if (dialog.DoModal() != IDOK)
        return;
    m_Values = dialog.m_Values;
    m_OutgoingAnalog[m_CurrentLine] = dialog.m_OutgoingAnalog;
    Edited();
}

bool CMyPropertyPage3::Reload()
{
    std::string current;
    m_Key = FullKey(m_DeviceNumber, &current);
    m_Loaded = Load(m_Key, current, m_Values, m_TreeItems);
    FillTree();
    return m_Loaded;
}

void CMyPropertyPage3::OnUpdate()
{
    if (!m_Loaded)
        return;
    if (!Write(m_Key, m_Values)) {
        MessageBox("Cannot open key. Re-Install the Driver.", "Error", MB_OK);
        return;
    }
    if (!Reload())
        MessageBox("Cannot Open Key or Key Value not found. Re-Install the Driver.", "Error", MB_OK);
    m_Changed = false;
    Refresh();
}

void CMyPropertyPage3::OnExport()
{
    CFileDialog dialog(FALSE, "log", nullptr, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT,
                       "Log Files (*.log)|*.log|Text Files (*.txt)|*.txt|All Files (*.*)|*.*||", this);
    if (dialog.DoModal() != IDOK)
        return;
    std::string path = dialog.GetPathName().str();
    FILE* file = std::fopen(AfxMapPath(path.c_str()).c_str(), "w+");
    if (file == nullptr) {
        MessageBox(("Cannot create the file " + path).c_str(), "Error", MB_OK);
        return;
    }
    std::string text = ExportText(m_TreeItems);
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written)
        MessageBox(("Cannot write the file " + path).c_str(), "Error", MB_OK);
}
