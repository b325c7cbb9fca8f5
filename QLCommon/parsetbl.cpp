// The parse tables and the reply reader. Replies are NUL-terminated texts; every scan
// stops at the terminator.
#include "QLCommon/parsetbl.h"

#include <cstring>
#include <string>

#include "QLCommon/ManageableObject.h"
#include "QLCommon/TextField.h"

namespace {

constexpr uint32_t NS = PARSETBL_NOT_STORED;
constexpr uint32_t LC = 0x8000, GC = 0x1000, CC = 0x0400, DC = 0x0800;
constexpr uint32_t kProductText = 0x2000;
constexpr uint32_t kFirstStoredNumber = GC | 14, kLastStoredNumber = GC | 17;

const parsetbl_tValueName kModulation[] = {{"V.32", 1}, {"V.34", 2}, {"56K", 3}, {"Failure", 4}, {"V.90", 5}, {"NA", 99}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kProtocol[] = {{"LAPM", 1}, {"MNP", 2}, {"NONE", 3}, {"NA", 99}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kCompression[] = {{"V42bis", 1}, {"MNP5", 2}, {"V42bis/MNP5", 3}, {"NONE", 4}, {"NA", 99}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kCcittBell[] = {{"CCITT", 0}, {"Bell", 1}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kOnOff[] = {{"Disabled", 0}, {"Enabled", 1}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kSpeakerVolume[] = {{"Low", 0}, {"Low", 1}, {"Medium", 2}, {"High", 3}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kSpeakerControl[] = {{"Off", 0}, {"On", 1}, {"OnUntilCarrier", 2}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kDialerType[] = {{"Pulse", 0}, {"Tone", 1}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kResultCodes[] = {{"Disabled", 1}, {"Enabled", 2}, {"NoResp", 3}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kResultForm[] = {{"Disabled", 1}, {"Number", 2}, {"Text", 3}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kCdAction[] = {{"Always On", 0}, {"Standard RS232", 1}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kDtrAction[] = {{"Ignore", 1}, {"Command Mode", 2}, {"Standard RS232", 3}, {"Off=Reset", 4}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kGuardTone[] = {{"Disabled", 0}, {"550 Hz", 1}, {"1800 Hz", 2}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kFlowControl[] = {{"Disabled", 0}, {"Software", 4}, {"Hardware", 3}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kErrorControl[] = {{"BufferMode", 1}, {"DirectMode", 1}, {"MNP or Disc.", 2}, {"V42 or Disc.", 4},
                                             {"V42,MNP", 3}, {"SyncBuffered", 3}, {"V42,MNP,Buffer", 3}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kCompressionOnOff[] = {{"Disabled", 0}, {"V42bis", 1}, {"MNP5", 1}, {"V42bis/MNP5", 1}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kDtrDialing[] = {{"Off", 0}, {"On", 1}, {"", PARSETBL_NO_MATCH}};
const parsetbl_tValueName kLineRates[] = {
    {"33600", 0}, {"1200/75", 2}, {"300(V22)", 3}, {"1200(V22)", 5}, {"2400", 6}, {"4800", 7}, {"7200", 8},
    {"9600", 9}, {"12000", 10}, {"14400", 11}, {"16800", 12}, {"19200", 13}, {"21600", 14}, {"24000", 15},
    {"26400", 16}, {"28800", 17}, {"31200", 18}, {"33600", 19}, {"", PARSETBL_NO_MATCH}};

#define END_ROW {"", PARSETBL_END_SKIP, nullptr, NS}

const parsetbl_tRow kAti11[] = {
    {"ati11", 0, nullptr, NS},
    {"Last Connection", 0, kModulation, LC | 6},
    {"Initial Transmit Carrier Rate", 0, nullptr, LC | 2},
    {"Initial Receive  Carrier Rate", 0, nullptr, LC | 3},
    {"Final   Transmit Carrier Rate", 0, nullptr, LC | 4},
    {"Final   Receive  Carrier Rate", 0, nullptr, LC | 5},
    {"Protocol Negotiation Result", 0, kProtocol, LC | 0},
    {"Data Compression Result", 0, kCompression, LC | 1},
    {"Estimated Noise Level", 0, nullptr, NS},
    {"Receive  Signal Power Level", 1, nullptr, LC | 7},
    {"Transmit Signal Power Level", 1, nullptr, LC | 8},
    {"Round Trip Delay", 1, nullptr, LC | 9},
    {"Near Echo Level", 1, nullptr, LC | 10},
    {"Far  Echo Level", 1, nullptr, LC | 11},
    {"Transmit Frame Count", 0, nullptr, LC | 12},
    {"Transmit Frame Error Count", 0, nullptr, LC | 13},
    {"Receive  Frame Count", 0, nullptr, LC | 14},
    {"Receive  Frame Error Count", 0, nullptr, LC | 15},
    {"Retrain by Local Modem", 0, nullptr, LC | 16},
    {"Retrain by Remote Modem", 0, nullptr, LC | 17},
    {"Call Termination Cause", 0, nullptr, LC | 22},
    {"Robbed-Bit Signaling", 0, nullptr, LC | 20},
    {"Digital Loss", 1, nullptr, LC | 21},
    END_ROW,
};

const parsetbl_tRow kAtAndV[] = {
    {"at&v", 0, nullptr, NS},
    {"Comm Standard", 0, kCcittBell, NS},
    {"CommandCharEcho", 0, kOnOff, GC | 19},
    {"Speaker Volume", 0, kSpeakerVolume, NS},
    {"Speaker Control", 0, kSpeakerControl, NS},
    {"Dialer Type", 0, kDialerType, NS},
    {"Result Codes", 0, kResultCodes, GC | 20},
    {"ResultCode Form", 0, kResultForm, GC | 18},
    {"ExtendResultCode", 0, kOnOff, NS},
    {"DialTone Detect", 0, kOnOff, NS},
    {"BusyTone Detect", 0, kOnOff, NS},
    {"CDC Action", 0, kCdAction, GC | 7},
    {"DTR Action", 0, kDtrAction, GC | 2},
    {"V22b Guard Tone", 0, kGuardTone, DC | 0},
    {"Flow Control", 0, kFlowControl, GC | 9},
    {"Error Control Mode", 0, kErrorControl, CC | 2},
    {"Data Compression", 0, kCompressionOnOff, CC | 3},
    {"DTR Dialing", 0, kDtrDialing, NS},
    {"AutoAnswerRing#", 0, nullptr, GC | 10},
    {"AT Escape Char", 0, nullptr, CC | 4},
    {"CarriageReturn Char", 0, nullptr, GC | 21},
    {"Linefeed Char", 0, nullptr, GC | 22},
    {"Backspace Char", 0, nullptr, GC | 23},
    {"Blind Dial Pause", 0, nullptr, DC | 1},
    {"NoAnswer Timeout", 0, nullptr, GC | 11},
    {"Pause Time", 0, nullptr, DC | 2},
    {"Remote Config Char", 0, nullptr, NS},
    {"Escape GuardTime", 0, nullptr, NS},
    {"No Carrier Disc", 0, nullptr, GC | 0},
    {"DTMF Dial Speed", 0, nullptr, DC | 3},
    {"Data Calling Tone", 0, kOnOff, DC | 4},
    {"Line Rate", 0, kLineRates, CC | 0},
    {"&Z0=", 0, nullptr, GC | 14},
    {"&Z1=", 0, nullptr, GC | 15},
    {"&Z2=", 0, nullptr, GC | 16},
    {"&Z3=", 0, nullptr, GC | 17},
    END_ROW,
};

const parsetbl_tRow kAts28[] = {{"ats28?", 0, nullptr, CC | 7}, END_ROW};
const parsetbl_tRow kAts30[] = {{"ats30?", 0, nullptr, GC | 6}, END_ROW};
const parsetbl_tRow kAts38[] = {{"ats38?", 0, nullptr, CC | 1}, END_ROW};
const parsetbl_tRow kAts109[] = {{"ats109?", 0, nullptr, CC | 8}, END_ROW};
const parsetbl_tRow kAti0[] = {{"ati0", 0, nullptr, kProductText}, END_ROW};

const parsetbl_tQuery kQueries[] = {
    {PARSETBL_ATI11, "ati11", 2, kAti11, 120},
    {PARSETBL_ATANDV, "at&v", 4, kAtAndV, 120},
    {0x004, "ats28?", 1, kAts28, 0},
    {0x008, "ats30?", 1, kAts30, 0},
    {0x010, "ats38?", 1, kAts38, 0},
    {0x020, "ats109?", 1, kAts109, 0},
    {PARSETBL_ATI0, "ati0", 1, kAti0, 0},
    {0, nullptr, 0, nullptr, 0},
};

bool line_end(char c) { return c == '\r' || c == '\n' || c == 0; }

// The decimal number at p (leading blanks and line ends skipped, a sign taken); a
// text that is no number gives 0, one too long for 32 bits its last 32 bits' bound.
uint32_t number_at(const char* p)
{
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') p++;
    uint64_t v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > 0xFFFFFFFFull) v = 0xFFFFFFFFull;
    }
    return negative ? static_cast<uint32_t>(-static_cast<int64_t>(v)) : static_cast<uint32_t>(v);
}

uint32_t* field_of(CManageableObject* object, uint32_t smemId)
{
    return object != nullptr ? static_cast<uint32_t*>(object->GetItemPtr(smemId, CSMemIndex())) : nullptr;
}

void store_value(CManageableObject* object, const parsetbl_tRow& row, const char* text)
{
    uint32_t* field = field_of(object, row.SMemId);
    if (field == nullptr) return;
    *field = row.Values != nullptr ? parsetbl_LookupValue(row.Values, text) : number_at(text);
}

}  // namespace

const parsetbl_tQuery* parsetbl_FindQuery(uint32_t group)
{
    for (const parsetbl_tQuery* q = kQueries; q->Group != 0; q++)
        if (q->Group == group) return q;
    return nullptr;
}

int parsetbl_QueryIndex(const parsetbl_tQuery* query) { return static_cast<int>(query - kQueries); }

const parsetbl_tRow* parsetbl_GetRow(int table, int index)
{
    const parsetbl_tRow* rows = table == 1 ? kAti11 : table == 2 ? kAtAndV : nullptr;
    if (rows == nullptr || index < 0) return nullptr;
    for (int i = 0; i <= index; i++)
        if (rows[i].Skip == PARSETBL_END_SKIP) return i == index ? &rows[i] : nullptr;
    return &rows[index];
}

uint32_t parsetbl_LookupValue(const parsetbl_tValueName* table, const char* text)
{
    size_t length = 0;
    while (!line_end(text[length]) && !(text[length] == ' ' && text[length + 1] == ' ')) length++;
    for (const parsetbl_tValueName* v = table; v->Value != PARSETBL_NO_MATCH; v++)
        if (std::strlen(v->Name) == length && std::strncmp(v->Name, text, length) == 0) return v->Value;
    return PARSETBL_NO_MATCH;
}

const parsetbl_tValueName* parsetbl_LookupName(const parsetbl_tValueName* table, uint32_t value)
{
    const parsetbl_tValueName* v = table;
    for (; v->Value != PARSETBL_NO_MATCH; v++)
        if (v->Value == value) return v;
    return v;
}

const char* parsetbl_FindResultLine(const char* from, bool* accepted)
{
    for (const char* line = from; *line != 0;) {
        const char* end = line;
        while (!line_end(*end)) end++;
        std::string text(line, end);
        if (text == "OK" || text == "0" || text == "ERROR" || text == "4") {
            if (accepted != nullptr) *accepted = text == "OK" || text == "0";
            return line;
        }
        if (*end == 0) break;
        line = end + 1;
    }
    return nullptr;
}

void parsetbl_ParseString(CManageableObject* object, uint32_t smemId, const char* text)
{
    std::string value;
    if (smemId >= kFirstStoredNumber && smemId <= kLastStoredNumber) {
        // A number runs to the next blank or line end; an empty one, or the next
        // entry's "&", stores nothing.
        size_t length = 0;
        while (text[length] != 0 && text[length] != ' ' && text[length] != '\t' && !line_end(text[length])) length++;
        if (text[0] == '&' || length == 0 || text[length] == 0) return;
        value.assign(text, length);
    } else if (smemId == kProductText) {
        // Up to the result line, without the line ends around it.
        bool accepted = false;
        const char* result = parsetbl_FindResultLine(text, &accepted);
        if (result == nullptr || !accepted) return;
        const char* start = text;
        while (start < result && (*start == '\r' || *start == '\n')) start++;
        const char* end = result;
        while (end > start && (end[-1] == '\r' || end[-1] == '\n')) end--;
        value.assign(start, end);
    } else {
        return;
    }
    uint32_t* field = field_of(object, smemId);
    if (field != nullptr) txtf_Set(field, value);
}

void parsetbl_ParseATI11andATandV(CManageableObject* object, const parsetbl_tRow* table, const char* text)
{
    for (const parsetbl_tRow* row = table; row->Skip != PARSETBL_END_SKIP; row++) {
        const char* at = std::strstr(text, row->Label);
        if (at == nullptr) continue;
        at += std::strlen(row->Label);
        while (*at == ' ') at++;
        for (unsigned words = 0; words < row->Skip; words++) {
            while (*at != 0 && *at != ' ' && !line_end(*at)) at++;
            while (*at == ' ') at++;
        }
        if (row->SMemId >= kFirstStoredNumber && row->SMemId <= kLastStoredNumber)
            parsetbl_ParseString(object, row->SMemId, at);
        else if (row->SMemId != PARSETBL_NOT_STORED)
            store_value(object, *row, at);
    }
}

int parsetbl_ParseCommand(CManageableObject* object, const char* reply, uint32_t group)
{
    const parsetbl_tQuery* query = parsetbl_FindQuery(group);
    if (query == nullptr || query->Table == nullptr || reply == nullptr) return 0;
    const parsetbl_tRow& first = query->Table[0];
    const char* text = std::strstr(reply, first.Label);
    text = text != nullptr ? text + std::strlen(first.Label) : reply;
    if (group == PARSETBL_ATI11 || group == PARSETBL_ATANDV) {
        parsetbl_ParseATI11andATandV(object, query->Table, text);
        return 1;
    }
    if (first.SMemId == kProductText) {
        parsetbl_ParseString(object, first.SMemId, text);
        return 1;
    }
    if (field_of(object, first.SMemId) == nullptr) return 0;
    store_value(object, first, text);
    return 1;
}
