#include "applet/FramerTestPage.h"

#include <cstdlib>

#include "applet/FramerReports.h"
#include "applet/PropertySheet.h"
#include "applet/resource.h"
#include "driver/Wmp_nt40/RSS_DVSP_replies.h"

namespace {

// Management requests of the page (class, action).
enum : uint32_t {
    kClassRead = 0, kClassInit = 1, kClassStart = 2, kClassStop = 3, kClassAction = 4, kClassWrite = 5,
    kClassLoopback = 6,
};
enum : uint32_t {
    kReadLineInterface = 4, kReadFramerReg = 7, kWriteFramerReg = 0, kConfigureLineInterface = 0,
    kLoopbackAnalogOn = 0, kLoopbackAnalogOff = 1, kLoopbackRun = 2, kLoopbackStop = 3, kLoopbackStopAll = 4,
    kStartResetLocal = 10, kStartResetGlobal = 11, kStartTxPulseTemplate = 12, kStartLboOption = 13,
    kStartIsolatedPulses = 14, kStartAllOnes = 15, kStartForceLayer2 = 16, kStartDefaultLayer2 = 17,
    kStartRxSensitivity = 18, kStopIsolatedPulses = 2, kStopAllOnes = 3, kStopForceLayer2 = 4,
};
constexpr unsigned kPcr0 = 0x001;

constexpr const char* kRegisterFailure = "ERROR: Driver indicated failure read register";

// A typed number: leading blanks skipped, what is not a number reads as 0.
uint32_t Number(const CString& text, int base)
{
    const char* s = text;
    char* end = nullptr;
    unsigned long v = std::strtoul(s, &end, base);
    return end == s ? 0 : static_cast<uint32_t>(v);
}

CString Hex(uint32_t value)
{
    CString s;
    s.Format("0x%x", value);
    return s;
}

}  // namespace

IMPLEMENT_DYNCREATE(CMyPropertyPage1, CPropertyPage)

BEGIN_MESSAGE_MAP(CMyPropertyPage1, CPropertyPage)
    ON_BN_CLICKED(IDC_L1_READ, OnRead)
    ON_BN_CLICKED(IDC_L1_WRITE, OnWrite)
    ON_BN_CLICKED(IDC_L1_LOOP_RUN, OnLoopRun)
    ON_BN_CLICKED(IDC_L1_LOOP_STOP, OnLoopStop)
    ON_BN_CLICKED(IDC_L1_LOOP_STOP_ALL, OnLoopStopAll)
    ON_BN_CLICKED(IDC_L1_LOAD, OnLoadSettingsFromMode)
    ON_BN_CLICKED(IDC_L1_PROGRAM, OnProgram)
    ON_CBN_SELCHANGE(IDC_L1_PULSE_TEMPLATE, OnPulseTemplate)
    ON_BN_CLICKED(IDC_L1_LBO_A, OnLboA)
    ON_BN_CLICKED(IDC_L1_LBO_B, OnLboB)
    ON_BN_CLICKED(IDC_L1_LBO_C, OnLboC)
    ON_BN_CLICKED(IDC_L1_LBO_X, OnLboX)
    ON_BN_CLICKED(IDC_L1_ISOLATED_RUN, OnIsolatedRun)
    ON_BN_CLICKED(IDC_L1_ISOLATED_STOP, OnIsolatedStop)
    ON_BN_CLICKED(IDC_L1_ALL_ONES_RUN, OnAllOnesRun)
    ON_BN_CLICKED(IDC_L1_ALL_ONES_STOP, OnAllOnesStop)
    ON_BN_CLICKED(IDC_L1_RESET_LOCAL, OnResetLocal)
    ON_BN_CLICKED(IDC_L1_RESET_GLOBAL, OnResetGlobal)
    ON_BN_CLICKED(IDC_L1_FORCE_ON, OnForceOn)
    ON_BN_CLICKED(IDC_L1_FORCE_OFF, OnForceOff)
    ON_BN_CLICKED(IDC_L1_FORCE_DEFAULT, OnForceDefault)
    ON_BN_CLICKED(IDC_L1_SENSITIVITY_LOW, OnSensitivityLow)
    ON_BN_CLICKED(IDC_L1_SENSITIVITY_MEDIUM, OnSensitivityMedium)
    ON_BN_CLICKED(IDC_L1_SENSITIVITY_HIGH, OnSensitivityHigh)
    ON_BN_CLICKED(IDC_L1_LEVEL_UPDATE, OnUpdateLevel)
    ON_BN_CLICKED(IDC_L1_ANALOG_ON, OnAnalogLoopOn)
    ON_BN_CLICKED(IDC_L1_ANALOG_OFF, OnAnalogLoopOff)
    ON_BN_CLICKED(IDC_L1_LOOP_ANALOG, OnLoopRadio)
    ON_BN_CLICKED(IDC_L1_LOOP_REMOTE, OnLoopRadio)
    ON_BN_CLICKED(IDC_L1_LOOP_FRAMER, OnLoopRadio)
    ON_BN_CLICKED(IDC_L1_LOOP_LOCAL_CHANNEL, OnLoopRadio)
    ON_BN_CLICKED(IDC_L1_LOOP_REMOTE_CHANNEL, OnLoopRadio)
    ON_BN_CLICKED(IDC_L1_ESF, OnFramingRadio)
    ON_BN_CLICKED(IDC_L1_SF, OnFramingRadio)
    ON_BN_CLICKED(IDC_L1_FT, OnFramingRadio)
    ON_BN_CLICKED(IDC_L1_FAS, OnFramingRadio)
    ON_BN_CLICKED(IDC_L1_FAS_CAS, OnFramingRadio)
    ON_BN_CLICKED(IDC_L1_FAS_CAS_CRC, OnFramingRadio)
    ON_BN_CLICKED(IDC_L1_FAS_CRC, OnFramingRadio)
END_MESSAGE_MAP()

CMyPropertyPage1::CMyPropertyPage1() : CPropertyPage(IDD_FRAMER_TEST) {}

CPropertyPage* CreateFramerTestPage() { return new CMyPropertyPage1; }

void CMyPropertyPage1::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    DDX_CBIndex(pDX, IDC_L1_DEVICE, m_DeviceIndex);
    DDX_Text(pDX, IDC_L1_STATUS, m_Status);  // read-only: written by the page alone
    DDX_Text(pDX, IDC_L1_ADDRESS, m_Address);
    DDV_MaxChars(pDX, m_Address, 64);
    DDX_Text(pDX, IDC_L1_DATA, m_Data);
    DDV_MaxChars(pDX, m_Data, 64);
    DDX_Radio(pDX, IDC_L1_LOOP_ANALOG, m_LoopKind);
    DDX_CBString(pDX, IDC_L1_LOCAL_CHANNEL, m_LocalChannel);
    DDV_MaxChars(pDX, m_LocalChannel, 64);
    DDX_CBString(pDX, IDC_L1_REMOTE_CHANNEL, m_RemoteChannel);
    DDV_MaxChars(pDX, m_RemoteChannel, 64);
    DDX_Radio(pDX, IDC_L1_ESF, m_Framing);
    DDX_CBIndex(pDX, IDC_L1_PULSE_TEMPLATE, m_PulseTemplate);
    DDX_Text(pDX, IDC_L1_RECEIVE_LEVEL, m_ReceiveLevel);
    DDX_Text(pDX, IDC_L1_DEVICE_LABEL, m_DeviceLabel);
}

void CMyPropertyPage1::Show(const CString& status)
{
    m_Status = status;
    UpdateData(FALSE);
}

BackdoorRequest* CMyPropertyPage1::Send(uint32_t cls, uint32_t action, uint32_t arg1, uint32_t arg2)
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
    r.Arg[1] = arg1;
    r.Arg[2] = arg2;
    if (!sheet->SendDriverRequest()) {
        Show(framer::kSystemError);
        return nullptr;
    }
    return &r;
}

bool CMyPropertyPage1::Begin(bool announce)
{
    UpdateData(TRUE);
    if (announce)
        Show("Start Processing ...");
    if (m_DeviceIndex < 0) {
        Show("ERROR: No Device Selected");
        return false;
    }
    return true;
}

BOOL CMyPropertyPage1::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    m_DeviceIndex = 0;
    BackdoorRequest* r = Send(kClassRead, kReadLineInterface);
    if (r == nullptr)
        return TRUE;
    if (r->Status != 0) {
        Show(framer::RefusedText(framer::kLoadFailure, r->Status).c_str());
        return TRUE;
    }
    m_DeviceLabel = framer::DeviceLabel(*r).c_str();
    m_LoopKind = -1;
    m_LocalChannel = "";
    m_RemoteChannel = "";
    m_Framing = framer::FramingOfMode(framer::CFramerReply(*r).Word(BD_FRAMER_W_MODE));
    m_PulseTemplate = framer::PulseTemplateIndex(*r);
    Show("Loading Init Configuration successful.");
    return TRUE;
}

void CMyPropertyPage1::OnRead()
{
    if (!Begin())
        return;
    uint32_t address = Number(m_Address, 16) & 0xFFFF;
    m_Address = Hex(address);
    BackdoorRequest* r = Send(kClassRead, kReadFramerReg, address);
    if (r == nullptr)
        return;
    if (r->Status != 0)
        return Show(framer::RefusedText(kRegisterFailure, r->Status).c_str());
    m_Data = Hex(r->Arg[2]);
    Show("Register successfully read");
}

void CMyPropertyPage1::OnWrite()
{
    if (!Begin())
        return;
    uint32_t address = Number(m_Address, 16) & 0xFFFF, data = Number(m_Data, 16) & 0xFFFF;
    BackdoorRequest* r = Send(kClassWrite, kWriteFramerReg, address, data);
    if (r == nullptr)
        return;
    if (r->Status != 0)
        return Show(framer::RefusedText(kRegisterFailure, r->Status).c_str());
    m_Address = Hex(r->Arg[1]);
    m_Data = Hex(r->Arg[2]);
    Show("Register successfully written");
}

void CMyPropertyPage1::OnLoopRun() { Loop(true); }
void CMyPropertyPage1::OnLoopStop() { Loop(false); }

void CMyPropertyPage1::Loop(bool run)
{
    if (!Begin())
        return;
    BackdoorRequest* r = Send(kClassRead, kReadLineInterface);
    if (r == nullptr)
        return;
    if (r->Status != 0)
        return Show(framer::RefusedText(framer::kLoadFailure, r->Status).c_str());
    const bool t1 = (framer::CFramerReply(*r).Reg(kPcr0) & 1) != 0;
    const uint32_t first = t1 ? 1 : 0, last = t1 ? 24 : 31;
    const uint32_t local = Number(m_LocalChannel, 10), remote = Number(m_RemoteChannel, 10);
    if (m_LoopKind < 0 || m_LoopKind > 4)
        return Show("ERROR: Bad Loop Back Selected");
    uint32_t channel = m_LoopKind == 3 ? local : m_LoopKind == 4 ? remote : 0;
    if (m_LoopKind >= 3 && (channel < first || channel > last))
        return Show("ERROR: Bad Channel Selected");
    r = Send(kClassLoopback, run ? kLoopbackRun : kLoopbackStop, channel, static_cast<uint32_t>(m_LoopKind));
    if (r == nullptr)
        return;
    if (r->Status != 0)
        return Show(framer::RefusedText(kRegisterFailure, r->Status).c_str());
    static const char* const kKinds[] = {"Analog LoopBack", "Remote Line LoopBack", "Framer LoopBack",
                                         "Local LoopBack", "Remote LoopBack"};
    CString text;
    if (m_LoopKind <= 2)
        text.Format(" %s %s : Link %d ", run ? "Run" : "Stop", kKinds[m_LoopKind], m_DeviceIndex);
    else
        text.Format(" %s %s : Link %d Channel %u ", run ? "Run" : "Stop", kKinds[m_LoopKind], m_DeviceIndex, channel);
    Show(text);
}

void CMyPropertyPage1::OnLoopStopAll()
{
    if (!Begin())
        return;
    BackdoorRequest* r = Send(kClassLoopback, kLoopbackStopAll, 0, 0);
    if (r == nullptr)
        return;
    if (r->Status != 0)
        return Show(framer::RefusedText(kRegisterFailure, r->Status).c_str());
    m_LoopKind = -1;
    m_LocalChannel = "";
    m_RemoteChannel = "";
    Show("All loopbacks stopped.");
}

void CMyPropertyPage1::OnLoadSettingsFromMode()
{
    UpdateData(TRUE);
    m_LoopKind = -1;
    m_Framing = -1;
    UpdateData(FALSE);
    if (m_DeviceIndex < 0)
        return Show("ERROR: No Device Selected (OnLoadSettingsFromMode)");
    BackdoorRequest* r = Send(kClassRead, kReadLineInterface);
    if (r == nullptr)
        return;
    if (r->Status != 0)
        return Show(framer::RefusedText(framer::kLoadFailure, r->Status).c_str());
    m_Framing = framer::FramingOfMode(r->Arg[1]);
    if (m_Framing < 0)
        return Show("ERROR: Bad Digital Carrier Selected");
    CString text;
    text.Format("Device %d loaded successfully.", m_DeviceIndex);
    Show(text);
}

void CMyPropertyPage1::OnProgram()
{
    if (!Begin(false))
        return;
    int mode = framer::ModeOfFraming(m_Framing);
    if (mode < 0)
        return Show("ERROR: No Digital Carrier Selected");
    BackdoorRequest* r = Send(kClassAction, kConfigureLineInterface, static_cast<uint32_t>(mode));
    if (r == nullptr)
        return;
    if (r->Status != 0)
        return Show(framer::RefusedText("ERROR: Driver indicated failure to program", r->Status).c_str());
    CString text;
    text.Format("Device %d programmed successfully.", m_DeviceIndex);
    Show(text);
}

void CMyPropertyPage1::Simple(uint32_t cls, uint32_t action, uint32_t arg1, uint32_t arg2, const char* success)
{
    if (!Begin())
        return;
    BackdoorRequest* r = Send(cls, action, arg1, arg2);
    if (r == nullptr)
        return;
    if (r->Status != 0)
        return Show(framer::RefusedText(kRegisterFailure, r->Status).c_str());
    Show(success);
}

void CMyPropertyPage1::OnPulseTemplate()
{
    static const char* const kCables[] = {"Cable 0-133 Ft ",
                                          "Cable 133-266 Ft",
                                          "Cable 266-399 Ft",
                                          "Cable 399-533 Ft",
                                          "Cable 533-655 Ft",
                                          "Cable ITU-T G.703 75 Ohm Coaxial Cable",
                                          "Cable ITU-T G.703 120 Ohm Twisted Pair",
                                          "Cable FCC Part 68 Long Haul"};
    UpdateData(TRUE);
    int index = m_PulseTemplate;
    CString text;
    if (index >= 0 && index < 8)
        text = kCables[index];
    else
        text.Format("Bad Selection %d ", index);
    Simple(kClassStart, kStartTxPulseTemplate, 0, static_cast<uint32_t>(index), text);
}

void CMyPropertyPage1::OnLboA()
{
    Simple(kClassStart, kStartLboOption, 0, 0, "Option A : Line Buid Out of 0.0 dB Attenuation at 772kHz");
}
void CMyPropertyPage1::OnLboB()
{
    Simple(kClassStart, kStartLboOption, 0, 1, "Option B : Line Buid Out of 7.5 dB Attenuation at 772kHz");
}
void CMyPropertyPage1::OnLboC()
{
    Simple(kClassStart, kStartLboOption, 0, 2, "Option C : Line Buid Out of 15.0 dB Attenuation at 772kHz");
}
void CMyPropertyPage1::OnLboX()
{
    Simple(kClassStart, kStartLboOption, 0, 3, "Option X : Line Buid Out of 22.5 dB Attenuation at 772kHz");
}
void CMyPropertyPage1::OnIsolatedRun()
{
    Simple(kClassStart, kStartIsolatedPulses, 0, 0, "Run Transmit Isolated Pulses");
}
void CMyPropertyPage1::OnIsolatedStop()
{
    Simple(kClassStop, kStopIsolatedPulses, 0, 0, "Stop Transmit Isolated Pulses");
}
void CMyPropertyPage1::OnAllOnesRun() { Simple(kClassStart, kStartAllOnes, 0, 0, "Run Transmit All Ones "); }
void CMyPropertyPage1::OnAllOnesStop() { Simple(kClassStop, kStopAllOnes, 0, 0, "Stop Transmit All Ones "); }
void CMyPropertyPage1::OnResetLocal() { Simple(kClassStart, kStartResetLocal, 0, 0, "Local Reset "); }
void CMyPropertyPage1::OnResetGlobal() { Simple(kClassStart, kStartResetGlobal, 0, 0, "Global Reset "); }
void CMyPropertyPage1::OnForceOn()
{
    Simple(kClassStart, kStartForceLayer2, 0, 0, "Force running Layer 2 (QStack ON) ");
}
void CMyPropertyPage1::OnForceOff()
{
    Simple(kClassStop, kStopForceLayer2, 0, 0, "Force stopping Layer 2 (QStack OFF) ");
}
void CMyPropertyPage1::OnForceDefault()
{
    Simple(kClassStart, kStartDefaultLayer2, 0, 0, "Default Layer 2 (QStack OFF/ON) ");
}
void CMyPropertyPage1::OnSensitivityLow()
{
    Simple(kClassStart, kStartRxSensitivity, 0, 3, "Receive Signal Sensitivity set to Low.");
}
void CMyPropertyPage1::OnSensitivityMedium()
{
    Simple(kClassStart, kStartRxSensitivity, 0, 4, "Receive Signal Sensitivity set to Medium.");
}
void CMyPropertyPage1::OnSensitivityHigh()
{
    Simple(kClassStart, kStartRxSensitivity, 0, 5, "Receive Signal Sensitivity set to High.");
}
void CMyPropertyPage1::OnAnalogLoopOn()
{
    Simple(kClassLoopback, kLoopbackAnalogOn, 0, 0, "(Btn) Analog Loop ON");
}
void CMyPropertyPage1::OnAnalogLoopOff()
{
    Simple(kClassLoopback, kLoopbackAnalogOff, 0, 0, "(Btn) Analog Loop OFF - Rx LIU RST");
}

void CMyPropertyPage1::OnUpdateLevel()
{
    if (!Begin())
        return;
    BackdoorRequest* r = Send(kClassRead, kReadLineInterface);
    if (r == nullptr)
        return;
    if (r->Status != 0)
        return Show(framer::RefusedText(framer::kLoadFailure, r->Status).c_str());
    m_ReceiveLevel = "--  ";
    UpdateData(FALSE);
}

void CMyPropertyPage1::OnLoopRadio()
{
    static const char* const kTexts[] = {"Per Link Analog Loop Back.", "Per Link Remote Loop Back.",
                                         "Per Link Framer Loop Back.", "Per Channel Local Loop Back.",
                                         "Per Channel Remote Loop Back."};
    UpdateData(TRUE);
    if (m_LoopKind >= 0 && m_LoopKind < 5)
        Show(kTexts[m_LoopKind]);
}

void CMyPropertyPage1::OnFramingRadio()
{
    UpdateData(TRUE);
    if (m_Framing >= 0)
        Show(framer::FramingText(m_Framing));
}
