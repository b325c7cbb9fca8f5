#include "applet/FramerDumpPage.h"

#include <ctime>

#include "applet/PropertySheet.h"
#include "applet/resource.h"
#include "driver/Wmp_nt40/RSS_DVSP_replies.h"
#include "platform/win32/windows.h"

namespace {

enum : uint32_t { kClassRead = 0, kClassInit = 1 };
enum : uint32_t { kReadLineInterface = 4, kReadRbsState = 27, kInitLineInterface = 2 };

}  // namespace

uint32_t CMyPropertyPage2::s_Sums[framer::kRunningSums] = {};

IMPLEMENT_DYNCREATE(CMyPropertyPage2, CPropertyPage)

BEGIN_MESSAGE_MAP(CMyPropertyPage2, CPropertyPage)
    ON_CBN_CLOSEUP(IDC_BT_DEVICE, OnDeviceCloseUp)
    ON_BN_CLICKED(IDC_BT_RECEIVE, OnReceive)
    ON_BN_CLICKED(IDC_BT_TRANSMIT, OnTransmit)
    ON_BN_CLICKED(IDC_BT_OTHERS, OnOthers)
    ON_BN_CLICKED(IDC_BT_STATUS_REPORT, OnStatus)
    ON_BN_CLICKED(IDC_BT_STATISTICS, OnStatistics)
    ON_BN_CLICKED(IDC_BT_RBS, OnRbs)
    ON_BN_CLICKED(IDC_BT_DUMP, OnDump)
    ON_BN_CLICKED(IDC_BT_CLEAR, OnClear)
END_MESSAGE_MAP()

CMyPropertyPage2::CMyPropertyPage2() : CPropertyPage(IDD_FRAMER_DUMP) {}

CPropertyPage* CreateFramerDumpPage() { return new CMyPropertyPage2; }

void CMyPropertyPage2::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_BT_REPORT, m_Report);  // read-only: written by the page alone
    DDX_Text(pDX, IDC_BT_PROTOTYPE, m_Prototype);
    DDX_CBIndex(pDX, IDC_BT_DEVICE, m_DeviceIndex);
}

void CMyPropertyPage2::Show(const std::string& report)
{
    m_Report = report.c_str();
    UpdateData(FALSE);
}

BackdoorRequest* CMyPropertyPage2::Send(uint32_t cls, uint32_t action)
{
    CMyPropertySheet* sheet = GPropertySheet;
    if (sheet == nullptr) {
        Show(framer::kSystemError);
        return nullptr;
    }
    sheet->ClearDriverRequest();
    BackdoorRequest& r = sheet->m_Request;
    r.Class = cls;
    r.Action = action;
    r.Arg[0] = static_cast<uint32_t>(m_DeviceIndex);
    if (!sheet->SendDriverRequest()) {
        Show(framer::kSystemError);
        return nullptr;
    }
    return &r;
}

BackdoorRequest* CMyPropertyPage2::ReadLine()
{
    UpdateData(TRUE);
    Show("Start Processing ...");
    if (m_DeviceIndex < 0) {
        Show("ERROR: No Device Selected");
        return nullptr;
    }
    BackdoorRequest* r = Send(kClassRead, kReadLineInterface);
    if (r == nullptr)
        return nullptr;
    if (r->Status != 0) {
        Show(framer::RefusedText(framer::kLoadFailure, r->Status));
        return nullptr;
    }
    return r;
}

BOOL CMyPropertyPage2::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    m_DeviceIndex = 0;
    m_Prototype = "Proto : x";
    for (uint32_t& s : s_Sums)
        s = 0;
    UpdateData(FALSE);
    BackdoorRequest* r = Send(kClassRead, kReadLineInterface);
    if (r != nullptr && r->Status == 0) {
        m_Prototype.Format("Proto : %u ", framer::CFramerReply(*r).Word(BD_FRAMER_W_PROTOTYPE));
        UpdateData(FALSE);
    } else if (r != nullptr) {
        Show(framer::RefusedText(framer::kLoadFailure, r->Status));
    }
    return TRUE;
}

void CMyPropertyPage2::OnDeviceCloseUp()
{
    BackdoorRequest* r = ReadLine();
    if (r == nullptr)
        return;
    m_Prototype.Format("Proto : %u ", framer::CFramerReply(*r).Word(BD_FRAMER_W_PROTOTYPE));
    UpdateData(FALSE);
}

void CMyPropertyPage2::OnReceive()
{
    if (BackdoorRequest* r = ReadLine())
        Show(framer::ReceiveReport(*r, s_Sums));
}

void CMyPropertyPage2::OnTransmit()
{
    if (BackdoorRequest* r = ReadLine())
        Show(framer::TransmitReport(*r));
}

void CMyPropertyPage2::OnOthers()
{
    if (BackdoorRequest* r = ReadLine())
        Show(framer::OthersReport(*r));
}

void CMyPropertyPage2::OnStatus()
{
    if (BackdoorRequest* r = ReadLine())
        Show(framer::StatusReport(*r));
}

void CMyPropertyPage2::OnStatistics()
{
    if (BackdoorRequest* r = ReadLine())
        Show(framer::StatisticsReport(*r));
}

void CMyPropertyPage2::OnRbs()
{
    BackdoorRequest* r = ReadLine();
    if (r == nullptr)
        return;
    if (framer::CFramerReply(*r).Word(BD_FRAMER_W_INBAND) == 0)
        return Show(framer::NoRbsNotice());
    r = Send(kClassRead, kReadRbsState);
    if (r != nullptr)
        Show(framer::RbsReport(*r));
}

void CMyPropertyPage2::OnDump()
{
    BackdoorRequest* r = ReadLine();
    if (r == nullptr)
        return;
    std::time_t now = std::time(nullptr);
    std::tm local{};
    std::string date = localtime_r(&now, &local) != nullptr ? framer::AsctimeText(local) : "";
    std::string text = framer::DumpReport(*r, date);
    // In the applet's current directory, replacing an earlier dump; without the file the
    // report is still shown.
    HANDLE file = CreateFileA(framer::DumpFileName(*r).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }
    Show(text);
}

void CMyPropertyPage2::OnClear()
{
    UpdateData(TRUE);
    if (m_DeviceIndex < 0)
        return Show("ERROR: No Device Selected");
    for (uint32_t& s : s_Sums)
        s = 0;
    BackdoorRequest* r = Send(kClassInit, kInitLineInterface);
    if (r != nullptr && r->Status != 0)
        Show(framer::RefusedText(framer::kLoadFailure, r->Status));
}
