// AT command exchanges. An exchange runs on the worker that executes the modem's
// message; the fresh-time tables are shared by all modems and have their own lock.
#include "QLCommon/mdparse.h"

#include <cctype>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "QLCommon/ConfigMap.h"
#include "QLCommon/SerialPortMethod.h"
#include "QLCommon/TextField.h"
#include "QLCommon/parsetbl.h"

namespace {

constexpr size_t kPageBytes = 1000;
constexpr size_t kCommandReplyBytes = 79;
constexpr int kQueryTables = 8;  // one per query row, one spare

struct Command {
    int index;
    const char* text;
};
const Command kCommands[] = {
    {1, "at%c"},    {2, "at&c"},    {3, "at&k"},    {4, "at&s"},    {5, "at&g"},    {6, "at&d"},
    {8, "at\\k"},   {9, "at\\n"},   {10, "atv"},    {11, "ate"},    {12, "atq"},    {13, "ats0="},
    {14, "ats2="},  {15, "ats3="},  {16, "ats4="},  {17, "ats5="},  {18, "ats6="},  {20, "ats8="},
    {21, "ats10="}, {22, "ats11="}, {23, "ats28="}, {24, "ats30="}, {25, "ats35="}, {26, "ats37="},
    {27, "ats38="}, {28, "ats109="}, {31, "at&Z0="}, {32, "at&Z1="}, {33, "at&Z2="}, {34, "at&Z3="},
    {35, "at*h"},   {0, nullptr},
};

struct Shared {
    std::mutex lock;
    mdparse_tTiming timing;
    std::map<const CManageableObject*, time_t> lastSuccess[kQueryTables];
};
Shared& shared()
{
    static Shared* s = new Shared;
    return *s;
}

void trace_bytes(const char* what, const char* data, size_t length)
{
    std::string shown;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '\n') shown += "\\n";
        else if (c == '\r') shown += "\\r";
        else if (std::isprint(c)) shown += static_cast<char>(c);
        else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%2.2x", c);
            shown += hex;
        }
    }
    ZEL_TRACE(4, "%s: %s", what, shown.c_str());
}

// An overlapped write of the text on event; false when it did not complete.
bool write_text(HANDLE port, HANDLE event, const char* text, size_t length)
{
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD n = 0;
    if (!WriteFile(port, text, static_cast<DWORD>(length), &n, &ov) && GetLastError() != ERROR_IO_PENDING) return false;
    return serial_WaitOverlapped(port, &ov, shared().timing.IoWaitMs, &n) && n == length;
}

// Text the modem sent unasked (a NO CARRIER at the end of a call, RING) is read away
// before a command, so it is never taken for the command's reply.
void discard_waiting_input(HANDLE port, HANDLE event)
{
    char junk[256];
    for (int round = 0; round < 16; round++) {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!ClearCommError(port, &errors, &stat) || stat.cbInQue == 0) return;
        OVERLAPPED ov{};
        ov.hEvent = event;
        ResetEvent(event);
        DWORD n = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(stat.cbInQue, sizeof junk));
        if (!ReadFile(port, junk, want, &n, &ov) && GetLastError() != ERROR_IO_PENDING) return;
        if (!serial_WaitOverlapped(port, &ov, shared().timing.IoWaitMs, &n) || n == 0) return;
        trace_bytes("Discard", junk, n);
    }
}

// A whole result line OK after the echo of what was sent.
bool accepted_after_echo(const char* reply, const char* sent)
{
    const char* from = std::strstr(reply, sent);
    from = from != nullptr ? from + std::strlen(sent) : reply;
    bool accepted = false;
    return parsetbl_FindResultLine(from, &accepted) != nullptr && accepted;
}

}  // namespace

void mdparse_SetTiming(const mdparse_tTiming& timing)
{
    std::lock_guard<std::mutex> g(shared().lock);
    shared().timing = timing;
}

mdparse_tTiming mdparse_GetTiming()
{
    std::lock_guard<std::mutex> g(shared().lock);
    return shared().timing;
}

const char* mdparse_CommandText(int command)
{
    for (const Command* c = kCommands; c->index != 0; c++)
        if (c->index == command) return c->text;
    return nullptr;
}

void mdparse_Forget(const CManageableObject* object)
{
    std::lock_guard<std::mutex> g(shared().lock);
    for (auto& table : shared().lastSuccess) table.erase(object);
}

int mdparse_SendCommand(CSerialPortMethod* transport, const char* text, bool force)
{
    if (!force && transport->IsDSROn() == 1) return 1;
    HANDLE port = transport->GetPortHandle();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (*text != '\0') {  // the empty text asks for the next page of a reply being read
        discard_waiting_input(port, event);
        ResetEvent(event);
    }
    trace_bytes("Send", text, std::strlen(text));
    if (!write_text(port, event, text, std::strlen(text))) ZEL_TRACE(2, "Write of %s did not complete", text);
    int result = transport->IsDSROn() == 1 ? 1 : 2;
    ResetEvent(event);
    if (!write_text(port, event, "\r", 1)) ZEL_TRACE(2, "Write of the carriage return did not complete");
    CloseHandle(event);
    return result;
}

char* mdparse_GetResults(CSerialPortMethod* transport, int* status, char* start, char* end)
{
    *status = transport->IsDSROn() == 1 ? 1 : 2;
    HANDLE port = transport->GetPortHandle();
    if (start >= end) return start;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char* at = start;
    for (int round = 0; round < 2 && at < end; round++) {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!ClearCommError(port, &errors, &stat)) break;
        DWORD want = static_cast<DWORD>(std::min<size_t>(stat.cbInQue, static_cast<size_t>(end - at)));
        // Nothing yet: wait for the reply's first byte, then take what followed it.
        if (want == 0) {
            if (round > 0) break;
            want = 1;
        }
        OVERLAPPED ov{};
        ov.hEvent = event;
        ResetEvent(event);
        DWORD n = 0;
        if (!ReadFile(port, at, want, &n, &ov) && GetLastError() != ERROR_IO_PENDING) {
            ZEL_TRACE(2, "Read from the modem failed, GetLastError = %ld", (long)GetLastError());
            break;
        }
        if (!serial_WaitOverlapped(port, &ov, shared().timing.IoWaitMs, &n)) ZEL_TRACE(2, "Read from the modem timed out");
        trace_bytes("Received", at, n);
        at += n;
        if (n == 0) break;
    }
    CloseHandle(event);
    return at;
}

int mdparse_ATCommand(CManageableObject* object, CSerialPortMethod* transport, uint32_t group, bool fresh)
{
    const parsetbl_tQuery* query = parsetbl_FindQuery(group);
    if (query == nullptr) return 4;
    int table = parsetbl_QueryIndex(query);
    time_t now = std::time(nullptr);
    mdparse_tTiming timing;
    {
        std::lock_guard<std::mutex> g(shared().lock);
        timing = shared().timing;
        auto& last = shared().lastSuccess[table];
        auto it = last.find(object);
        if (!fresh && it != last.end() && now - it->second < static_cast<time_t>(query->MinIntervalSeconds)) return 0;
    }
    std::vector<char> buffer;
    try {
        buffer.assign(static_cast<size_t>(query->Pages) * kPageBytes, 0);
    } catch (const std::bad_alloc&) {
        return 4;
    }
    if (!transport->SetBlocking(1)) return 3;
    int outcome = 0;
    char* at = buffer.data();
    char* last = buffer.data() + buffer.size() - 1;  // stays the terminator
    for (int page = 0; page < query->Pages && outcome == 0; page++) {
        if (mdparse_SendCommand(transport, page == 0 ? query->Text : "", true) == 1) outcome = 3;
        Sleep(timing.PageWaitMs);
        int status = 2;
        at = mdparse_GetResults(transport, &status, at, last);
        if (status == 1) outcome = 3;
    }
    transport->SetBlocking(0);
    // The reply counts only when it ends in a whole result line OK.
    if (outcome == 0 && !accepted_after_echo(buffer.data(), query->Text)) {
        ZEL_TRACE(1, "Modem did not answer %s.", query->Text);
        outcome = 3;
    }
    if (outcome == 0) {
        parsetbl_ParseCommand(object, buffer.data(), group);
        std::lock_guard<std::mutex> g(shared().lock);
        shared().lastSuccess[table][object] = now;
    }
    return outcome;
}

int mdparse_ConfigModem(CManageableObject*, CSerialPortMethod* transport, int command, uint32_t value)
{
    const char* text = mdparse_CommandText(command);
    if (text == nullptr) return 4;
    std::string sent = text;
    if (command >= 31 && command <= 34) {
        // A stored number goes out as it is: a control character in it would end the
        // command line and begin another.
        std::string number = txtf_Get(value).value_or("");
        for (unsigned char c : number)
            if (c < 0x20 || c > 0x7E) return 4;
        sent += number;
    } else {
        sent += std::to_string(static_cast<long>(static_cast<int32_t>(value)));
    }
    if (!transport->SetBlocking(1)) return 4;
    if (mdparse_SendCommand(transport, sent.c_str(), false) == 1) {
        transport->SetBlocking(0);
        return 4;
    }
    Sleep(mdparse_GetTiming().CommandWaitMs);
    char reply[kCommandReplyBytes + 1] = {};
    int status = 2;
    mdparse_GetResults(transport, &status, reply, reply + kCommandReplyBytes);
    transport->SetBlocking(0);
    if (!accepted_after_echo(reply, sent.c_str())) {
        ZEL_TRACE(1, "Modem did not accept %s%d config command.", text, (int)value);
        return 4;
    }
    return 0;
}

bool mdparse_VersionSupported(const char* productText)
{
    struct Supported {
        char Name[32];
        unsigned Major, Minor;
        char Letter;
    };
    static const Supported kSupported[] = {{"ZELMQPCI", 4, 16, 'j'}};
    if (productText == nullptr) return false;
    for (const Supported& s : kSupported) {
        if (std::strstr(productText, s.Name) == nullptr) continue;
        const char* at = std::strstr(productText, "Modem Version");
        if (at == nullptr) return false;
        at += std::strlen("Modem Version");
        while (*at == ' ') at++;
        auto digits = [](const char*& p) {
            unsigned v = 0;
            for (; *p >= '0' && *p <= '9'; p++) v = v < 100000 ? v * 10 + static_cast<unsigned>(*p - '0') : v;
            return v;
        };
        unsigned major = digits(at);
        const char* dot = std::strchr(at, '.');
        unsigned minor = 0;
        char letter = 0;
        if (dot != nullptr) {
            at = dot + 1;
            minor = digits(at);
            letter = *at;
        }
        if (major != s.Major) return major > s.Major;
        if (minor != s.Minor) return minor > s.Minor;
        return letter >= s.Letter;
    }
    return false;
}
