#include "applet/HdlcPages.h"

#include <array>

#include "applet/EngineeringPages.h"
#include "applet/LineReports.h"
#include "applet/PropertySheet.h"
#include "applet/resource.h"

using namespace linereports;

namespace {

constexpr int kDumpChars = 5120;
constexpr int kStatusChars = 8000;
constexpr int kStatisticsChars = 1024;
constexpr int kChannels = 32;

void FillGroups(CWnd* page, int id)
{
    auto* combo = static_cast<CComboBox*>(page->GetDlgItem(id));
    if (combo == nullptr)
        return;
    combo->ResetContent();
    for (int g = 0; g < SheetLineCount(); g++) {
        CString entry;
        entry.Format("Group %d", g);
        combo->AddString(entry);
    }
}

CString Clip(const std::string& text, int chars)
{
    return CString(text.size() > static_cast<size_t>(chars) ? text.substr(0, static_cast<size_t>(chars)) : text);
}

void LimitEdit(CWnd* page, int id, int chars)
{
    if (auto* edit = static_cast<CEdit*>(page->GetDlgItem(id)))
        edit->SetLimitText(static_cast<UINT>(chars));
}

}  // namespace

// ---- Shared Memory --------------------------------------------------------------------

IMPLEMENT_DYNCREATE(CMyPropertyPage4, CPropertyPage)

BEGIN_MESSAGE_MAP(CMyPropertyPage4, CPropertyPage)
    ON_BN_CLICKED(IDC_SHM_REFRESH, Refresh)
    ON_CBN_SELCHANGE(IDC_SHM_GROUP, OnSelchangeView)
    ON_CBN_SELCHANGE(IDC_SHM_TABLE, OnSelchangeView)
END_MESSAGE_MAP()

CMyPropertyPage4::CMyPropertyPage4() : CPropertyPage(IDD_SHARED_MEMORY) {}

void CMyPropertyPage4::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_CBIndex(pDX, IDC_SHM_SOURCE, m_Source);
    DDX_CBIndex(pDX, IDC_SHM_GROUP, m_Group);
    DDX_CBIndex(pDX, IDC_SHM_TABLE, m_Table);
    DDX_Text(pDX, IDC_SHM_DUMP, m_Dump);
}

BOOL CMyPropertyPage4::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    LimitEdit(this, IDC_SHM_DUMP, kDumpChars);
    FillGroups(this, IDC_SHM_GROUP);
    m_Group = 0;
    m_Table = 0;
    m_Source = 1;
    UpdateData(FALSE);
    ReadAdapter(0);
    return TRUE;
}

// 0/0 (shared memory) or 0/2 (group 0's register window) into the kept copy, and the
// adapter's addresses.
void CMyPropertyPage4::ReadAdapter(uint32_t action)
{
    std::vector<uint8_t>& copy = m_Copy;
    copy.assign(kSharedCopySize, 0xFF);
    const BackdoorRequest* reply = SendSheetRequest([&](BackdoorRequest& r) { FillRequest(r, 0, action, {0}); });
    if (reply == nullptr)
        return;
    copy = SharedMemoryCopy(*reply);
    if (action == 2) {
        m_Dump = Clip(RegisterWindowText(*reply), kDumpChars);
        UpdateData(FALSE);
    }
    static const int kAddressIds[6] = {IDC_SHM_BAR0_PHYSICAL, IDC_SHM_BAR0_VIRTUAL,    IDC_SHM_BAR1_PHYSICAL,
                                       IDC_SHM_BAR1_VIRTUAL,  IDC_SHM_SHARED_PHYSICAL, IDC_SHM_SHARED_VIRTUAL};
    // The window read says nothing of the addresses: they stay as the last memory read left them.
    if (action == 0) {
        std::array<std::string, 6> addresses = AddressTexts(*reply);
        for (int i = 0; i < 6; i++)
            SetDlgItemText(kAddressIds[i], addresses[i].c_str());
    }
}

void CMyPropertyPage4::ShowDump()
{
    const std::vector<uint8_t>& copy = m_Copy;
    m_Dump = Clip(SharedMemoryTableText(copy, m_Group, m_Table), kDumpChars);
    UpdateData(FALSE);
    static const int kDescriptorIds[6] = {IDC_SHM_GLOBAL,     IDC_SHM_INTERRUPT_QUEUE, IDC_SHM_GROUP_CONFIG,
                                          IDC_SHM_PROTECTION, IDC_SHM_MESSAGE_LENGTH,  IDC_SHM_PORT_CONFIG};
    std::array<std::string, 6> descriptors = DescriptorTexts(copy, m_Group);
    for (int i = 0; i < 6; i++)
        SetDlgItemText(kDescriptorIds[i], descriptors[i].c_str());
}

void CMyPropertyPage4::Refresh()
{
    UpdateData(TRUE);
    if (m_Source == 0) {
        ReadAdapter(2);
        return;
    }
    ReadAdapter(0);
    ShowDump();
}

void CMyPropertyPage4::OnSelchangeView()
{
    UpdateData(TRUE);
    ShowDump();
}

// ---- Bt847x ---------------------------------------------------------------------------

IMPLEMENT_DYNCREATE(CMyPropertyPage5, CPropertyPage)

BEGIN_MESSAGE_MAP(CMyPropertyPage5, CPropertyPage)
    ON_BN_CLICKED(IDC_BT_GO_CHANNEL, OnGoChannel)
    ON_BN_CLICKED(IDC_BT_GO_GROUP, OnGoGroup)
    ON_BN_CLICKED(IDC_BT_READ, OnRead)
    ON_BN_CLICKED(IDC_BT_WRITE, OnWrite)
    ON_BN_CLICKED(IDC_BT_UPDATE_STATISTICS, OnUpdateStatistics)
    ON_BN_CLICKED(IDC_BT_GROUP_STATISTICS, OnGroupStatistics)
END_MESSAGE_MAP()

CMyPropertyPage5::CMyPropertyPage5() : CPropertyPage(IDD_BT847X) {}

void CMyPropertyPage5::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_CBIndex(pDX, IDC_BT_GROUP, m_Group);
    DDX_CBIndex(pDX, IDC_BT_TAPI_LINE, m_TapiLine);
    DDX_CBIndex(pDX, IDC_BT_REQUEST, m_Request);
    DDX_Text(pDX, IDC_BT_OFFSET, m_Offset);
    DDV_MaxChars(pDX, m_Offset, 20);
    DDX_Text(pDX, IDC_BT_VALUE, m_Value);
    DDV_MaxChars(pDX, m_Value, 20);
    DDX_Text(pDX, IDC_BT_CHANNEL_STATISTICS, m_ChannelStatistics);
    DDX_Text(pDX, IDC_BT_STATUS, m_Status);
    DDX_Text(pDX, IDC_BT_NUMBER_TO_DIAL, m_NumberToDial);
    DDV_MaxChars(pDX, m_NumberToDial, 64);
    DDX_CBIndex(pDX, IDC_BT_CALL_TYPE, m_CallType);
}

BOOL CMyPropertyPage5::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    LimitEdit(this, IDC_BT_OFFSET, 20);
    LimitEdit(this, IDC_BT_VALUE, 20);
    LimitEdit(this, IDC_BT_NUMBER_TO_DIAL, 64);
    LimitEdit(this, IDC_BT_STATUS, kStatusChars);
    LimitEdit(this, IDC_BT_CHANNEL_STATISTICS, kStatisticsChars);
    FillGroups(this, IDC_BT_GROUP);
    if (auto* lines = static_cast<CComboBox*>(GetDlgItem(IDC_BT_TAPI_LINE))) {
        CMyPropertySheet* sheet = GPropertySheet;
        DWORD kept = sheet != nullptr ? sheet->m_KeptLines : 0;
        for (DWORD i = 0; i < kept && i < sheet->m_LineNames.size(); i++)
            lines->AddString(sheet->m_LineNames[i].empty() ? "NoName" : sheet->m_LineNames[i].c_str());
        if (kept == 0)
            lines->AddString("NONE");
    }
    m_Group = 0;
    m_TapiLine = 0;
    m_Request = 0;
    m_Status = "...";
    UpdateData(FALSE);
    return TRUE;
}

void CMyPropertyPage5::ShowStatus(const std::string& text)
{
    m_Status = Clip(text, kStatusChars);
    UpdateData(FALSE);
}

bool CMyPropertyPage5::RunOnChannel(int channel)
{
    uint32_t cls = 0, action = 0;
    if (!GroupActionRequest(m_Request, &cls, &action)) {
        ShowStatus("No request for this choice");
        return true;
    }
    ShowStatus("Calling lineDevSpecific..");
    const BackdoorRequest* reply = SendSheetRequest([&](BackdoorRequest& r) {
        FillRequest(r, cls, action, {static_cast<uint32_t>(m_Group), static_cast<uint32_t>(channel)});
    });
    if (reply == nullptr) {
        ShowStatus("Function Call Failed!!!");
        return false;
    }
    ShowStatus(ResultCodeText(*reply));
    return true;
}

void CMyPropertyPage5::OnGoChannel()
{
    if (!UpdateData(TRUE))
        return;
    RunOnChannel((m_TapiLine < 0 ? 0 : m_TapiLine) % kChannels);
}

void CMyPropertyPage5::OnGoGroup()
{
    if (!UpdateData(TRUE))
        return;
    auto* lines = static_cast<CComboBox*>(GetDlgItem(IDC_BT_TAPI_LINE));
    for (int channel = 0; channel < kChannels; channel++) {
        if (lines != nullptr && channel < lines->GetCount())
            lines->SetCurSel(channel);
        if (!RunOnChannel(channel))
            break;
    }
}

void CMyPropertyPage5::OnRead()
{
    if (!UpdateData(TRUE))
        return;
    const BackdoorRequest* reply = SendSheetRequest([&](BackdoorRequest& r) {
        FillRequest(r, 0, 3, {static_cast<uint32_t>(m_Group), HexValue(m_Offset.str())});
    });
    if (reply == nullptr) {
        ShowStatus("Call Failed!!!");
        return;
    }
    std::string value = m_Value.str();
    std::string status = RegisterReadText(*reply, &value);
    m_Value = value;
    ShowStatus(status);
}

void CMyPropertyPage5::OnWrite()
{
    if (!UpdateData(TRUE))
        return;
    const BackdoorRequest* reply = SendSheetRequest([&](BackdoorRequest& r) {
        FillRequest(r, 5, 1, {static_cast<uint32_t>(m_Group), HexValue(m_Offset.str()), HexValue(m_Value.str())});
    });
    ShowStatus(reply == nullptr ? std::string("Call Failed!!!") : ResultCodeText(*reply));
}

void CMyPropertyPage5::OnUpdateStatistics()
{
    if (!UpdateData(TRUE))
        return;
    int channel = (m_TapiLine < 0 ? 0 : m_TapiLine) % kChannels;
    const BackdoorRequest* reply = SendSheetRequest([&](BackdoorRequest& r) {
        FillRequest(r, 0, 8, {static_cast<uint32_t>(m_Group), static_cast<uint32_t>(channel)});
    });
    if (reply == nullptr) {
        m_ChannelStatistics = "?????";
        ShowStatus("Call Failed!!!");
        return;
    }
    m_ChannelStatistics = Clip(LinkStatisticsText(*reply), kStatisticsChars);
    ShowStatus(ResultCodeText(*reply));
}

void CMyPropertyPage5::OnGroupStatistics()
{
    if (!UpdateData(TRUE))
        return;
    std::string items;
    for (int channel = 0; channel < kChannels; channel++) {
        const BackdoorRequest* reply = SendSheetRequest([&](BackdoorRequest& r) {
            FillRequest(r, 0, 8, {static_cast<uint32_t>(m_Group), static_cast<uint32_t>(channel)});
        });
        if (reply == nullptr) {
            items += "Call Failed!!!";
            break;
        }
        items += GroupStatItem(*reply, channel);
    }
    ShowStatus(items);
}
