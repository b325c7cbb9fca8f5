#include "applet/PriDebugPage.h"

#include <ctime>

#include "applet/EngineeringPages.h"
#include "applet/LineReports.h"
#include "applet/resource.h"
#include "platform/win32/windows.h"

using namespace linereports;

namespace {

constexpr UINT_PTR kPeriodicTimer = 1;
constexpr int kBackupPeriodMin = 1, kBackupPeriodMax = 7200;

std::string Now(const char* fmt)
{
    std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64] = {};
    std::strftime(text, sizeof text, fmt, &local);
    return text;
}

}  // namespace

IMPLEMENT_DYNCREATE(CMyPropertyPage9, CPropertyPage)

BEGIN_MESSAGE_MAP(CMyPropertyPage9, CPropertyPage)
    ON_NOTIFY(TCN_SELCHANGE, IDC_L3_TAB, OnSelchangeTab)
    ON_BN_CLICKED(IDC_L3_SETUP, OnSetup)
    ON_BN_CLICKED(IDC_L3_CONNECT, OnConnect)
    ON_BN_CLICKED(IDC_L3_DISCONNECT, OnDisconnect)
    ON_BN_CLICKED(IDC_L3_INFORMATION, OnInformation)
    ON_BN_CLICKED(IDC_L3_RESTART, OnRestart)
    ON_BN_CLICKED(IDC_L3_TEST_RUNNING, OnTestRunning)
    ON_BN_CLICKED(IDC_L3_CALL_VIEW, OnCallView)
    ON_BN_CLICKED(IDC_L3_STATISTICS, OnStatistics)
    ON_BN_CLICKED(IDC_L3_TRACE_BACKUP, OnTraceBackup)
    ON_BN_CLICKED(IDC_L3_PERIODIC, OnPeriodic)
    ON_CBN_SELCHANGE(IDC_L3_FRAME_TYPE, OnFrameType)
    ON_WM_TIMER()
    ON_WM_DESTROY()
END_MESSAGE_MAP()

CMyPropertyPage9::CMyPropertyPage9() : CPropertyPage(IDD_PRI_DEBUG) {}

CMyPropertyPage9::~CMyPropertyPage9()
{
    if (m_Timer != 0 && m_hWnd != nullptr)
        KillTimer(m_Timer);
}

void CMyPropertyPage9::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_L3_TAB, m_Lines);
    DDX_Control(pDX, IDC_L3_SETUP, m_Setup);
    DDX_Text(pDX, IDC_L3_CALL_REF_VALUE, m_CallRefValue);
    DDV_MaxChars(pDX, m_CallRefValue, 4);
    DDX_Text(pDX, IDC_L3_CALL_REF_LENGTH, m_CallRefLength);
    DDV_MaxChars(pDX, m_CallRefLength, 2);
    DDX_Check(pDX, IDC_L3_TEST_RUNNING, m_TestMode);
    DDX_Text(pDX, IDC_L3_CALLING_NUMBER, m_CallingNumber);
    DDV_MaxChars(pDX, m_CallingNumber, kCallingNumberMax);
    DDX_CBIndex(pDX, IDC_L3_CHANNEL, m_Channel);
    DDX_CBIndex(pDX, IDC_L3_CAUSE, m_Cause);
    DDX_CBIndex(pDX, IDC_L3_BEARER, m_Bearer);
    DDX_Check(pDX, IDC_L3_EXCLUSIVE, m_Exclusive);
    DDX_CBIndex(pDX, IDC_L3_RESTART_INDICATOR, m_RestartIndicator);
    DDX_Text(pDX, IDC_L3_DISPLAY, m_Display);
    DDV_MaxChars(pDX, m_Display, 10000);
    DDX_CBIndex(pDX, IDC_L3_STATISTICS_TYPE, m_StatisticsType);
    DDX_Check(pDX, IDC_L3_PERIODIC, m_Periodic);
    DDX_Text(pDX, IDC_L3_BACKUP_PERIOD, m_BackupPeriod);
    DDV_MinMaxInt(pDX, m_BackupPeriod, kBackupPeriodMin, kBackupPeriodMax);
    DDX_CBIndex(pDX, IDC_L3_FRAME_TYPE, m_FrameType);
}

BOOL CMyPropertyPage9::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    if (auto* number = static_cast<CEdit*>(GetDlgItem(IDC_L3_CALLING_NUMBER)))
        number->SetLimitText(kCallingNumberMax);
    if (auto* value = static_cast<CEdit*>(GetDlgItem(IDC_L3_CALL_REF_VALUE)))
        value->SetLimitText(4);
    if (auto* length = static_cast<CEdit*>(GetDlgItem(IDC_L3_CALL_REF_LENGTH)))
        length->SetLimitText(2);
    if (auto* display = static_cast<CEdit*>(GetDlgItem(IDC_L3_DISPLAY)))
        display->SetLimitText(10000);
    m_Status = m_TestMode ? "In Test mode" : "In Normal mode";
    for (int line = 0; line < SheetLineCount(); line++) {
        CString tab;
        tab.Format("Port %d", line);
        m_Lines.InsertItem(line, tab);
    }
    m_Lines.SetCurSel(0);
    m_CurrentLine = 0;
    UpdateData(FALSE);
    SetDlgItemText(IDC_L3_STATUS, m_Status);
    m_Timer = SetTimer(kPeriodicTimer, 1000, nullptr);
    return TRUE;
}

void CMyPropertyPage9::OnDestroy()
{
    if (m_Timer != 0)
        KillTimer(m_Timer);
    m_Timer = 0;
    CPropertyPage::OnDestroy();
}

void CMyPropertyPage9::OnSelchangeTab(NMHDR*, LRESULT* pResult)
{
    int line = m_Lines.GetCurSel();
    m_CurrentLine = line >= 0 ? line : 0;
    if (pResult != nullptr)
        *pResult = 0;
}

void CMyPropertyPage9::ShowStatus(const std::string& text)
{
    m_Status = text;
    SetDlgItemText(IDC_L3_STATUS, m_Status);
}

void CMyPropertyPage9::ShowDisplay(const std::string& text)
{
    m_Display = text.size() > 10000 ? text.substr(0, 10000) : text;
    SetDlgItemText(IDC_L3_DISPLAY, m_Display);
}

void CMyPropertyPage9::SendFrame(uint32_t action, const std::vector<uint32_t>& args, const char* sent)
{
    std::vector<uint32_t> all = {static_cast<uint32_t>(m_CurrentLine)};
    all.insert(all.end(), args.begin(), args.end());
    const BackdoorRequest* reply = SendSheetRequest([&](BackdoorRequest& r) { FillRequest(r, 2, action, all); });
    ShowStatus(reply == nullptr ? kSendFailed : FrameSentText(*reply, sent));
}

void CMyPropertyPage9::OnSetup()
{
    if (!UpdateData(TRUE))
        return;
    SetupFields f{m_CallRefLength.str(), m_CallRefValue.str(), m_Bearer, m_Channel, m_Exclusive,
                  m_CallingNumber.str()};
    if (f.number.empty()) {
        ShowStatus("ERROR: No Phone Number was entered");
        return;
    }
    if (f.number.size() > static_cast<size_t>(kCallingNumberMax)) {
        ShowStatus("ERROR: The Phone Number is too long");
        return;
    }
    const BackdoorRequest* reply = SendSheetRequest(
        [&](BackdoorRequest& r) { FillSetupRequest(r, static_cast<uint32_t>(m_CurrentLine), f); });
    ShowStatus(reply == nullptr ? kSendFailed : FrameSentText(*reply, "Setup frame sent"));
}

void CMyPropertyPage9::OnConnect()
{
    if (!UpdateData(TRUE))
        return;
    SendFrame(23, {HexValue(m_CallRefLength.str()), HexValue(m_CallRefValue.str())}, "Connect frame sent");
}

void CMyPropertyPage9::OnInformation()
{
    if (!UpdateData(TRUE))
        return;
    SendFrame(25, {HexValue(m_CallRefLength.str()), HexValue(m_CallRefValue.str())}, "Status Enquiry frame sent");
}

void CMyPropertyPage9::OnDisconnect()
{
    if (!UpdateData(TRUE))
        return;
    SendFrame(24, {HexValue(m_CallRefLength.str()), HexValue(m_CallRefValue.str()), static_cast<uint32_t>(m_Cause)},
              "Disconnect frame sent");
}

void CMyPropertyPage9::OnRestart()
{
    if (!UpdateData(TRUE))
        return;
    SendFrame(26,
              {static_cast<uint32_t>(m_Channel + 1), static_cast<uint32_t>(m_Exclusive),
               static_cast<uint32_t>(m_RestartIndicator)},
              "RESTART frame sent");
}

void CMyPropertyPage9::OnTestRunning()
{
    if (!UpdateData(TRUE))
        return;
    const BackdoorRequest* reply = SendSheetRequest([&](BackdoorRequest& r) {
        FillRequest(r, 2, 21, {static_cast<uint32_t>(m_CurrentLine), static_cast<uint32_t>(m_TestMode)});
    });
    ShowStatus(reply == nullptr ? kSendFailed : TestModeText(*reply, m_TestMode));
}

void CMyPropertyPage9::OnCallView()
{
    const BackdoorRequest* reply =
        SendSheetRequest([&](BackdoorRequest& r) { FillRequest(r, 0, 30, {static_cast<uint32_t>(m_CurrentLine)}); });
    ShowDisplay(reply == nullptr ? kViewSendFailed : CallViewText(*reply, static_cast<uint32_t>(m_CurrentLine)));
}

void CMyPropertyPage9::OnStatistics()
{
    if (!UpdateData(TRUE))
        return;
    const BackdoorRequest* reply =
        SendSheetRequest([&](BackdoorRequest& r) { FillRequest(r, 0, 37, {static_cast<uint32_t>(m_CurrentLine)}); });
    ShowDisplay(reply == nullptr ? kViewSendFailed : L2L3StatisticsText(*reply, m_StatisticsType));
}

bool CMyPropertyPage9::WriteTrace(const std::string& file)
{
    HANDLE f = CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE || f == nullptr) {
        ShowDisplay("ERROR: Cannot create " + file);
        return false;
    }
    auto write = [&](const std::string& text) {
        DWORD written = 0;
        WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    };
    write(TraceFileHeader(file, Now("%a %b %e %H:%M:%S %Y\n")));
    uint32_t blocks = 1;
    bool ok = true;
    for (uint32_t b = 0; b < blocks; b++) {
        const BackdoorRequest* reply = SendSheetRequest(
            [&](BackdoorRequest& r) { FillRequest(r, 0, 35, {static_cast<uint32_t>(m_CurrentLine), b}); });
        if (reply == nullptr || reply->Status != 0) {
            ShowDisplay(reply == nullptr ? kViewSendFailed : ViewRefusedText(*reply));
            ok = false;
            break;
        }
        if (b == 0)
            blocks = TraceBlockCount(*reply);
        write(TraceBlockText(*reply));
    }
    CloseHandle(f);
    return ok;
}

void CMyPropertyPage9::OnTraceBackup()
{
    std::string file = TraceFileName(static_cast<uint32_t>(m_CurrentLine), 0);
    if (WriteTrace(file))
        ShowDisplay(TraceBackupDoneText(false, file, Now("%H:%M:%S")));
}

void CMyPropertyPage9::PeriodicTick()
{
    if (!m_Periodic)
        return;
    if (++m_PeriodicTicks < m_BackupPeriod)
        return;
    m_PeriodicTicks = 0;
    std::string file = TraceFileName(static_cast<uint32_t>(m_CurrentLine), m_NextPeriodic);
    m_NextPeriodic = m_NextPeriodic == 'A' ? 'B' : 'A';
    if (WriteTrace(file))
        ShowDisplay(TraceBackupDoneText(true, file, Now("%H:%M:%S")));
}

void CMyPropertyPage9::OnTimer(UINT_PTR nIDEvent)
{
    if (nIDEvent == kPeriodicTimer)
        PeriodicTick();
}

void CMyPropertyPage9::OnPeriodic()
{
    int before = m_Periodic;
    if (!UpdateData(TRUE)) {
        m_Periodic = before;
        CheckDlgButton(IDC_L3_PERIODIC, before ? BST_CHECKED : BST_UNCHECKED);
        return;
    }
    if (m_Periodic && !before) {
        m_NextPeriodic = 'A';
        m_PeriodicTicks = 0;
    }
}

void CMyPropertyPage9::OnFrameType()
{
    if (!UpdateData(TRUE))
        return;
    const BackdoorRequest* reply = SendSheetRequest([&](BackdoorRequest& r) {
        FillRequest(r, 5, 6, {static_cast<uint32_t>(m_CurrentLine), static_cast<uint32_t>(m_FrameType)});
    });
    if (reply == nullptr)
        ShowStatus("ERROR: System Error updating Trace Backup Frame Type");
    else if (reply->Status != 0)
        ShowStatus(FrameTypeText(*reply));
}
