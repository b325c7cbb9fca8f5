#include "applet/ModemDiagPage.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "applet/CsmStats.h"
#include "applet/LayoutTables.h"
#include "applet/ModemReports.h"
#include "applet/PropertySheet.h"
#include "applet/resource.h"

namespace {

// Requests (class, action).
enum : uint32_t { kRead = 0, kStart = 2, kStop = 3, kWrite = 5 };
enum : uint32_t {
    kReadCsmFifoRegs = 13,
    kReadCsmReg = 14,
    kReadCsmState = 15,
    kReadBoardWord = 16,
    kReadCsmFrameCounters = 25,
    kReadAtResponse = 33,
    kReadCsmResponse = 43,
    kStartCsmDownload = 5,
    kStartCsmCode = 6,
    kStartCsmOutOfService = 7,
    kStartPumpReset = 8,
    kStartPumpOutOfService = 9,
    kStartCsmCodeUpdate = 30,
    kStartCsmDownloadOnly = 39,
    kStopCsmCommand = 11,
    kWriteCsmReg = 3,
    kWriteAtCommand = 5,
    kWriteCsmCommand = 8,
    kWriteCsmRts = 9,
};
enum : uint32_t { kRtsOn = 3, kRtsOff = 1 };

// Board-type row words: sockets per group, socket windows, lines.
constexpr uint32_t kRowSocketsPerGroup = 0, kRowSocketWindows = 4, kRowWindowCount = 8, kRowLines = 35;
// Module-type row words: processor stride, pumps per processor.
constexpr uint32_t kModuleStride = 0, kModulePumps = 3;

constexpr char kFailed[] = "Function Call Failed!";
constexpr char kDefaultFirmware[] = "c:\\winnt\\system32\\drivers\\armcsm";

// A combo box's index; an empty list (-1) counts as entry 0.
uint32_t Index(int selection) { return selection < 0 ? 0 : static_cast<uint32_t>(selection); }

uint32_t HexOf(const CString& text)
{
    unsigned value = 0;
    if (std::sscanf(text, "%x", &value) != 1)
        return 0;
    return value;
}

CString Number(const char* prefix, uint32_t n)
{
    CString text;
    text.Format("%s%u", prefix, n);
    return text;
}

const ModuleTypeRow& ModuleRowOf(uint32_t socket)
{
    if (GPropertySheet != nullptr && socket < kModuleSockets && GPropertySheet->m_pModuleRows[socket] != nullptr)
        return *GPropertySheet->m_pModuleRows[socket];
    return applet::ModuleTypeTable[0];
}

const uint32_t* BoardRow()
{
    static const BoardTypeRow kNone = {};
    const BoardTypeRow* row = GPropertySheet != nullptr ? GPropertySheet->m_pBoardRow : nullptr;
    return (row != nullptr ? row : &kNone)->Word;
}

// Reads a whole file of at most `limit` bytes; false when it cannot be opened or is larger.
bool ReadWholeFile(const CString& path, uint32_t limit, std::vector<uint8_t>& bytes)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == nullptr || file == INVALID_HANDLE_VALUE)
        return false;
    bytes.assign(static_cast<size_t>(limit) + 1, 0);
    size_t total = 0;
    bool good = true;
    while (total < bytes.size()) {
        DWORD got = 0;
        if (!ReadFile(file, bytes.data() + total, static_cast<DWORD>(bytes.size() - total), &got, nullptr)) {
            good = false;
            break;
        }
        if (got == 0)
            break;
        total += got;
    }
    CloseHandle(file);
    bytes.resize(total);
    return good && total <= limit;
}

}  // namespace

IMPLEMENT_DYNCREATE(CMyPropertyPage6, CPropertyPage)

BEGIN_MESSAGE_MAP(CMyPropertyPage6, CPropertyPage)
    ON_BN_CLICKED(IDC_CSM_READ, OnReadRegister)
    ON_BN_CLICKED(IDC_CSM_WRITE, OnWriteRegister)
    ON_BN_CLICKED(IDC_CSM_UPDATE, OnUpdate)
    ON_BN_CLICKED(IDC_CSM_START_DOWNLOAD, OnStartDownload)
    ON_BN_CLICKED(IDC_CSM_DOWNLOAD_ONLY, OnDownloadOnly)
    ON_BN_CLICKED(IDC_CSM_START_CODE, OnStartCode)
    ON_BN_CLICKED(IDC_CSM_OUT_OF_SERVICE, OnCsmOutOfService)
    ON_BN_CLICKED(IDC_PUMP_RESET, OnPumpReset)
    ON_BN_CLICKED(IDC_PUMP_OUT_OF_SERVICE, OnPumpOutOfService)
    ON_BN_CLICKED(IDC_AT_SEND, OnAtSend)
    ON_BN_CLICKED(IDC_AT_MODIFY_INIT, OnModifyDataInit)
    ON_BN_CLICKED(IDC_CMD_SEND, OnCommandSend)
    ON_BN_CLICKED(IDC_CMD_READ, OnCommandRead)
    ON_BN_CLICKED(IDC_CMD_ABORT, OnCommandAbort)
    ON_BN_CLICKED(IDC_RTS_ON, OnRtsOn)
    ON_BN_CLICKED(IDC_RTS_OFF, OnRtsOff)
    ON_BN_CLICKED(IDC_CSM_UPDATE_CODE, OnUpdateCode)
    ON_BN_CLICKED(IDC_CSM_GET_STATS, OnGetStats)
    ON_BN_CLICKED(IDC_CMD_ADD, OnAddWord)
    ON_BN_CLICKED(IDC_CMD_CLEAR, OnClearWords)
    ON_CBN_SELCHANGE(IDC_CSM_SOCKET, OnSocketChanged)
    ON_CBN_SELCHANGE(IDC_CSM_INDEX, OnCsmChanged)
    ON_NOTIFY(TCN_SELCHANGE, IDC_CSM_PORT_TABS, OnPortTab)
    ON_NOTIFY(TCN_SELCHANGE, IDC_PUMP_TABS, OnPumpTab)
END_MESSAGE_MAP()

CMyPropertyPage6::CMyPropertyPage6() : CPropertyPage(IDD_CSM_PAGE) {}

CPropertyPage* CreateModemDiagPage() { return new CMyPropertyPage6; }

void CMyPropertyPage6::DoDataExchange(CDataExchange* pDX)
{
    CPropertyPage::DoDataExchange(pDX);
    struct Text {
        int id;
        CString& value;
        int limit;
    } texts[] = {
        {IDC_CSM_STATISTICS, m_Statistics, 4096}, {IDC_CSM_DUMP, m_RegisterDump, 4096},
        {IDC_CSM_STATUS, m_Status, 2048},         {IDC_CSM_REGISTER_VALUE, m_RegisterValue, 8},
        {IDC_CSM_STATE, m_CsmState, 4096},        {IDC_CSM_EBUS, m_Ebus, 32},
        {IDC_AT_COMMAND, m_AtCommand, 128},       {IDC_AT_RESPONSE, m_AtResponse, 128},
        {IDC_AT_DATA_INIT, m_DataInit, 128},      {IDC_PUMP_STATE, m_PumpState, 100},
        {IDC_CSM_FILE, m_FirmwareFile, 256},      {IDC_PUMP_IP_ADDRESS, m_IpAddress, 20},
        {IDC_PUMP_CODE, m_Code, 20},              {IDC_CMD_FUNCTION, m_FunctionCode, 4},
        {IDC_CMD_WORD, m_WordEntry, 8},           {IDC_CMD_WORDS, m_WordList, 1024},
        {IDC_CMD_TYPE, m_CommandType, 2},         {IDC_CMD_CLASS, m_CommandClass, 2},
    };
    for (Text& t : texts) {
        DDX_Text(pDX, t.id, t.value);
        DDV_MaxChars(pDX, t.value, t.limit);
    }
    // The length is the page's own count, shown only; it may read "100" for 64 words.
    DDX_Text(pDX, IDC_CMD_LENGTH, m_Length);
    DDX_CBIndex(pDX, IDC_CSM_REGISTER, m_RegisterIndex);
    DDX_CBIndex(pDX, IDC_CSM_INDEX, m_CsmIndex);
    DDX_CBIndex(pDX, IDC_CSM_SOCKET, m_SocketIndex);
}

CTabCtrl* CMyPropertyPage6::Tabs(int id) const { return static_cast<CTabCtrl*>(GetDlgItem(id)); }

uint32_t CMyPropertyPage6::AbsoluteSocketOf(const uint32_t* boardRow, uint32_t port, uint32_t socketIndex)
{
    uint32_t perGroup = port < 4 ? boardRow[kRowSocketsPerGroup + port] : 0;
    return perGroup * port + socketIndex;
}

uint32_t CMyPropertyPage6::PumpsOf(uint32_t socket) const
{
    uint32_t pumps = ModuleRowOf(socket).Word[kModulePumps];
    return pumps < 12 ? pumps : 12;
}

BOOL CMyPropertyPage6::OnInitDialog()
{
    m_bReady = false;
    CPropertyPage::OnInitDialog();
    m_Port = 0;
    m_AbsoluteSocket = 0;
    m_Pump = 0;
    m_FirmwareFile = kDefaultFirmware;

    const uint32_t* row = BoardRow();
    if (CTabCtrl* ports = Tabs(IDC_CSM_PORT_TABS))
        for (uint32_t line = 0; line < row[kRowLines] && line < 4; line++)
            ports->InsertItem(static_cast<int>(line), Number("Port ", line));
    if (auto* sockets = static_cast<CComboBox*>(GetDlgItem(IDC_CSM_SOCKET)))
        for (uint32_t s = 0; s < row[kRowSocketsPerGroup] && s < kModuleSockets; s++)
            sockets->AddString(Number("", s));
    if (CTabCtrl* pumps = Tabs(IDC_PUMP_TABS))
        for (uint32_t p = 0; p < PumpsOf(0); p++)
            pumps->InsertItem(static_cast<int>(p), Number("Pump ", p));

    m_Statistics.Empty();
    m_RegisterDump.Empty();
    m_Status = "Ready";
    m_RegisterValue.Empty();
    m_RegisterIndex = 0;
    m_CsmIndex = 0;
    m_CsmState.Empty();
    m_SocketIndex = 0;
    m_AtCommand = "ATI1";
    m_AtResponse.Empty();
    m_DataInit = "ATS95=4\\N3%C3";
    m_PumpState.Empty();
    m_IpAddress.Empty();
    m_Code.Empty();
    m_WordList.Empty();

    if (Begin(kRead, kReadBoardWord, false) != nullptr && GPropertySheet->SendDriverRequest()) {
        m_BoardWord = GPropertySheet->m_Request.Arg[0];
        m_Ebus.Format("%08X", m_BoardWord);
    }

    m_Length = "00";
    m_CommandType = "00";
    m_CommandClass = "00";
    m_FunctionCode = "0000";
    m_WordEntry = "00000000";
    m_CommandWordCount = 0;
    UpdateData(FALSE);
    m_bReady = true;
    return TRUE;
}

// ---- requests ---------------------------------------------------------------------

BackdoorRequest* CMyPropertyPage6::Begin(uint32_t requestClass, uint32_t action, bool pump)
{
    if (GPropertySheet == nullptr)
        return nullptr;
    GPropertySheet->ClearDriverRequest();
    BackdoorRequest& r = GPropertySheet->m_Request;
    r.Class = requestClass;
    r.Action = action;
    r.Arg[0] = AbsoluteSocketOf(BoardRow(), m_Port, Index(m_SocketIndex));
    r.Arg[1] = Index(m_CsmIndex);
    if (pump)
        r.Arg[2] = m_Pump;
    return &r;
}

bool CMyPropertyPage6::Send()
{
    if (GPropertySheet == nullptr || !GPropertySheet->SendDriverRequest()) {
        m_Status = kFailed;
        return false;
    }
    m_Status = modemreports::ResultLine(GPropertySheet->m_Request).c_str();
    return true;
}

void CMyPropertyPage6::CsmAction(uint32_t action)
{
    if (!UpdateData(TRUE))
        return;
    if (Begin(kStart, action, false) == nullptr)
        m_Status = kFailed;
    else
        Send();
    UpdateData(FALSE);
}

void CMyPropertyPage6::PumpAction(uint32_t requestClass, uint32_t action, uint32_t arg3)
{
    if (!UpdateData(TRUE))
        return;
    if (BackdoorRequest* r = Begin(requestClass, action, true)) {
        r->Arg[3] = arg3;
        Send();
    } else {
        m_Status = kFailed;
    }
    UpdateData(FALSE);
}

void CMyPropertyPage6::OnStartDownload() { CsmAction(kStartCsmDownload); }
void CMyPropertyPage6::OnDownloadOnly() { CsmAction(kStartCsmDownloadOnly); }
void CMyPropertyPage6::OnStartCode() { CsmAction(kStartCsmCode); }
void CMyPropertyPage6::OnCsmOutOfService() { CsmAction(kStartCsmOutOfService); }
void CMyPropertyPage6::OnPumpReset() { PumpAction(kStart, kStartPumpReset, 0); }
void CMyPropertyPage6::OnPumpOutOfService() { PumpAction(kStart, kStartPumpOutOfService, 0); }
void CMyPropertyPage6::OnRtsOn() { PumpAction(kWrite, kWriteCsmRts, kRtsOn); }
void CMyPropertyPage6::OnRtsOff() { PumpAction(kWrite, kWriteCsmRts, kRtsOff); }

void CMyPropertyPage6::OnReadRegister()
{
    if (!UpdateData(TRUE))
        return;
    BackdoorRequest* r = Begin(kRead, kReadCsmReg, false);
    if (r != nullptr)
        r->Arg[2] = Index(m_RegisterIndex);
    if (r == nullptr || !Send()) {
        m_Status = kFailed;
        m_RegisterValue = "----";
    } else if (auto value = modemreports::CsmRegisterValue(*r)) {
        m_RegisterValue = value->c_str();
    }
    UpdateData(FALSE);
}

void CMyPropertyPage6::OnWriteRegister()
{
    if (!UpdateData(TRUE))
        return;
    if (BackdoorRequest* r = Begin(kWrite, kWriteCsmReg, false)) {
        r->Arg[2] = Index(m_RegisterIndex);
        r->Arg[3] = HexOf(m_RegisterValue);
        Send();
    } else {
        m_Status = kFailed;
    }
    UpdateData(FALSE);
}

// "Update": the register dump, and with it the CSM and pump states, the pump's frame
// counters and its AT response. A failed state read keeps its result on the status line.
void CMyPropertyPage6::OnUpdate()
{
    if (!UpdateData(TRUE))
        return;
    bool statesShown = RefreshStates();
    CString statesResult = m_Status;
    BackdoorRequest* r = Begin(kRead, kReadCsmFifoRegs, false);
    if (r == nullptr || !Send()) {
        m_Status = kFailed;
        m_RegisterDump = "----";
    } else if (auto dump = modemreports::CsmRegisterDump(*r)) {
        m_RegisterDump = dump->c_str();
    }
    if (!statesShown)
        m_Status = statesResult;
    UpdateData(FALSE);
}

// The CSM state read gives the status line, false when it failed or was refused; the
// frame counters and the AT response only fill their boxes.
bool CMyPropertyPage6::RefreshStates()
{
    BackdoorRequest* r = Begin(kRead, kReadCsmState, false);
    bool shown = r != nullptr && Send();
    if (!shown) {
        m_Status = kFailed;
        m_CsmState = m_PumpState = "----";
    } else {
        shown = r->Status == modemreports::kStatusDone;
        if (auto csm = modemreports::CsmStateText(*r))
            m_CsmState = csm->c_str();
        if (auto pump = modemreports::PumpStateText(*r, m_Pump))
            m_PumpState = pump->c_str();
    }
    CString result = m_Status;
    r = Begin(kRead, kReadCsmFrameCounters, true);
    if (r == nullptr || !Send())
        m_Statistics = "----";
    else if (auto counters = modemreports::FrameCountersText(*r))
        m_Statistics = counters->c_str();
    r = Begin(kRead, kReadAtResponse, true);
    if (r != nullptr) {
        r->Segment[0].Offset = kBackdoorHeaderSize;
        auto text = Send() ? modemreports::AtResponseText(*r) : std::nullopt;
        if (text)
            m_AtResponse = text->c_str();
    }
    m_Status = result;
    return shown;
}

void CMyPropertyPage6::SendAtText(const CString& text, uint32_t which)
{
    BackdoorRequest* r = Begin(kWrite, kWriteAtCommand, true);
    std::string line = text.str() + "\r";
    if (r == nullptr || line.size() > kBackdoorDataSize) {
        m_Status = kFailed;
    } else {
        r->Arg[3] = which;
        std::memcpy(r->Data, line.data(), line.size());
        r->Segment[0] = {static_cast<uint32_t>(line.size()), kBackdoorHeaderSize};
        if (Send())
            m_Status = r->Status == modemreports::kStatusDone ? "Function Call OK!"
                                                               : modemreports::ResultLine(*r).c_str();
    }
    m_RegisterValue = "----";
}

void CMyPropertyPage6::OnAtSend()
{
    if (!UpdateData(TRUE))
        return;
    SendAtText(m_AtCommand, 0);
    UpdateData(FALSE);
}

void CMyPropertyPage6::OnModifyDataInit()
{
    if (!UpdateData(TRUE))
        return;
    SendAtText(m_DataInit, 1);
    UpdateData(FALSE);
}

// ---- raw command messages -----------------------------------------------------------

void CMyPropertyPage6::EnableCommandAnswer(BOOL enable)
{
    for (int id : {IDC_CMD_READ, IDC_CMD_ABORT})
        if (CWnd* button = GetDlgItem(id))
            button->EnableWindow(enable);
}

void CMyPropertyPage6::OnAddWord()
{
    if (!UpdateData(TRUE))
        return;
    if (m_WordEntry.IsEmpty() || m_CommandWordCount >= kMaxCommandWords)
        return;
    m_WordList = modemreports::AddCommandWordLine(m_WordList.str(), m_CommandWordCount, m_WordEntry.str()).c_str();
    m_CommandWords[m_CommandWordCount++] = HexOf(m_WordEntry);
    m_Length.Format("%02X", 4 * m_CommandWordCount);
    UpdateData(FALSE);
}

void CMyPropertyPage6::OnClearWords()
{
    if (!UpdateData(TRUE))
        return;
    m_WordList.Empty();
    std::memset(m_CommandWords, 0, sizeof m_CommandWords);
    m_CommandWordCount = 0;
    m_Length.Empty();
    UpdateData(FALSE);
}

// A pump command's record with its class, type and function code; null (and said so)
// when there is nothing to send it to.
BackdoorRequest* CMyPropertyPage6::BeginCommand(uint32_t requestClass, uint32_t action)
{
    BackdoorRequest* r = Begin(requestClass, action, true);
    if (r == nullptr) {
        m_Status = kFailed;
        UpdateData(FALSE);
        return nullptr;
    }
    r->Arg[3] = HexOf(m_CommandClass);
    r->Arg[4] = HexOf(m_CommandType);
    r->Arg[5] = HexOf(m_FunctionCode);
    return r;
}

void CMyPropertyPage6::OnCommandSend()
{
    if (!UpdateData(TRUE))
        return;
    BackdoorRequest* r = BeginCommand(kWrite, kWriteCsmCommand);
    if (r == nullptr)
        return;
    if (m_CommandWordCount > 0) {
        for (uint32_t i = 0; i < m_CommandWordCount; i++) {
            uint32_t w = m_CommandWords[i];
            uint8_t bytes[4] = {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
            std::memcpy(r->Data + 4 * i, bytes, 4);
        }
        r->Segment[0] = {4 * m_CommandWordCount, kBackdoorHeaderSize};
    }
    // The driver queues the command for the pump and says so with a pending status.
    if (Send() && (r->Status == modemreports::kStatusPending || r->Status == modemreports::kStatusDone))
        EnableCommandAnswer(TRUE);
    UpdateData(FALSE);
}

void CMyPropertyPage6::OnCommandRead()
{
    if (!UpdateData(TRUE))
        return;
    BackdoorRequest* r = BeginCommand(kRead, kReadCsmResponse);
    if (r == nullptr)
        return;
    if (Send()) {
        modemreports::CommandAnswer answer = modemreports::CsmCommandAnswer(*r);
        m_WordList = answer.Words.c_str();
        if (answer.Length)
            m_Length = answer.Length->c_str();
        if (answer.EndsCommand)
            EnableCommandAnswer(FALSE);
    }
    UpdateData(FALSE);
}

void CMyPropertyPage6::OnCommandAbort()
{
    if (!UpdateData(TRUE))
        return;
    BackdoorRequest* r = Begin(kStop, kStopCsmCommand, true);
    if (r != nullptr && Send()) {
        modemreports::CommandAnswer answer = modemreports::CsmAbortAnswer(*r);
        m_WordList = answer.Words.c_str();
        if (answer.EndsCommand)
            EnableCommandAnswer(FALSE);
    } else {
        m_Status = kFailed;
    }
    UpdateData(FALSE);
}

// ---- firmware image -----------------------------------------------------------------

// The image travels inside the records, one piece per request at its offset; each
// piece's status is checked and the first refusal ends the update.
void CMyPropertyPage6::OnUpdateCode()
{
    if (!UpdateData(TRUE))
        return;
    std::vector<uint8_t> image;
    if (!ReadWholeFile(m_FirmwareFile, kFirmwareBufferSize, image)) {
        m_Status = "can't open file";
        UpdateData(FALSE);
        MessageBox("File could not be opened ", nullptr, MB_ICONEXCLAMATION);
        return;
    }
    if (SendFirmwareImage(
            image, [&] { return Begin(kStart, kStartCsmCodeUpdate, false); }, [&] { return Send(); }))
        m_Status = "ArmCsm code updated";
    else if (GPropertySheet == nullptr)
        m_Status = kFailed;
    UpdateData(FALSE);
}

bool SendFirmwareImage(const std::vector<uint8_t>& image, const std::function<BackdoorRequest*()>& begin,
                       const std::function<bool()>& send)
{
    const uint32_t size = static_cast<uint32_t>(image.size()), chunk = CMyPropertyPage6::kFirmwareChunk;
    uint32_t offset = 0;
    do {
        uint32_t n = size - offset < chunk ? size - offset : chunk;
        BackdoorRequest* r = begin();
        if (r == nullptr)
            return false;
        r->Arg[0] = size;
        r->Arg[1] = 1;
        r->Arg[2] = offset;
        r->Segment[0] = {n, kBackdoorHeaderSize};
        if (n > 0)
            std::memcpy(r->Data, image.data() + offset, n);
        if (!send() || r->Status != modemreports::kStatusDone)
            return false;  // the status line shows the failure or the refusal
        offset += n;
    } while (offset < size);
    return true;
}

// ---- selections -----------------------------------------------------------------------

void CMyPropertyPage6::OnGetStats()
{
    if (!UpdateData(TRUE))
        return;
    CCsmStats stats(this, GPropertySheet, AbsoluteSocketOf(BoardRow(), m_Port, Index(m_SocketIndex)),
                    Index(m_CsmIndex));
    stats.DoModal();
}

void CMyPropertyPage6::ShowEbus()
{
    uint32_t s = m_AbsoluteSocket;
    uint32_t window = s < kRowWindowCount ? BoardRow()[kRowSocketWindows + s] : 0;
    m_Ebus = modemreports::EbusText(m_BoardWord, ModuleRowOf(s).Word[kModuleStride],
                                    Index(m_CsmIndex), window)
                 .c_str();
}

// A socket whose module has another number of pumps per CSM gets as many pump tabs.
void CMyPropertyPage6::SetAbsoluteSocket(uint32_t socket)
{
    if (socket != m_AbsoluteSocket) {
        uint32_t now = PumpsOf(m_AbsoluteSocket), next = PumpsOf(socket);
        CTabCtrl* pumps = Tabs(IDC_PUMP_TABS);
        m_AbsoluteSocket = socket;
        if (pumps != nullptr) {
            for (uint32_t p = now; p < next; p++) pumps->InsertItem(static_cast<int>(p), Number("Pump ", p));
            while (static_cast<uint32_t>(pumps->GetItemCount()) > next) pumps->DeleteItem(pumps->GetItemCount() - 1);
            if (next < now)
                RedrawWindow();
            int current = pumps->GetCurSel();
            m_Pump = current < 0 ? 0 : static_cast<uint32_t>(current);
        }
    }
    ShowEbus();
}

void CMyPropertyPage6::OnSocketChanged()
{
    if (!m_bReady || !UpdateData(TRUE))
        return;
    SetAbsoluteSocket(AbsoluteSocketOf(BoardRow(), m_Port, Index(m_SocketIndex)));
    UpdateData(FALSE);
}

void CMyPropertyPage6::OnCsmChanged()
{
    if (!m_bReady || !UpdateData(TRUE))
        return;
    ShowEbus();
    UpdateData(FALSE);
}

void CMyPropertyPage6::OnPortTab(NMHDR*, LRESULT* pResult)
{
    if (pResult != nullptr)
        *pResult = 0;
    if (!m_bReady || !UpdateData(TRUE))
        return;
    int port = Tabs(IDC_CSM_PORT_TABS)->GetCurSel();
    m_Port = port < 0 ? 0 : static_cast<uint32_t>(port);
    SetAbsoluteSocket(AbsoluteSocketOf(BoardRow(), m_Port, Index(m_SocketIndex)));
    UpdateData(FALSE);
}

void CMyPropertyPage6::OnPumpTab(NMHDR*, LRESULT* pResult)
{
    if (pResult != nullptr)
        *pResult = 0;
    if (!m_bReady)
        return;
    int pump = Tabs(IDC_PUMP_TABS)->GetCurSel();
    m_Pump = pump < 0 ? 0 : static_cast<uint32_t>(pump);
}
