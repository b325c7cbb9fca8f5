#include "QLCommon/strutil.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "QLCommon/os.h"

namespace {

struct CFile {
    HANDLE h;
    explicit CFile(HANDLE handle) : h(handle) {}
    ~CFile()
    {
        if (IsOpen())
            CloseHandle(h);
    }
    bool IsOpen() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    void Close()
    {
        if (IsOpen())
            CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
};

bool SameFile(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION x, y;
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

uint64_t SizeOf(HANDLE h)
{
    BY_HANDLE_FILE_INFORMATION i;
    if (!GetFileInformationByHandle(h, &i))
        return UINT64_MAX;
    return uint64_t(i.nFileSizeHigh) << 32 | i.nFileSizeLow;
}

constexpr int kTemporaryAttempts = 64;
std::atomic<uint32_t> g_TemporaryCounter{0};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

int CopyFileByStreams(const char* source, const char* destination)
{
    if (source == nullptr || destination == nullptr)
        return COPY_NOT_OPENED;
    if (std::strcmp(source, destination) == 0)
        return COPY_SAME_FILE;
    CFile in(CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!in.IsOpen())
        return COPY_NOT_OPENED;
    {
        // Opening an existing destination for reading changes nothing.
        CFile out(CreateFileA(destination, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (out.IsOpen() && SameFile(in.h, out.h))
            return COPY_SAME_FILE;
    }
    DWORD attributes = GetFileAttributesA(destination);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
        return COPY_NOT_OPENED;
    // The copy goes to a file made new beside the destination: never the source, never a
    // file someone else keeps there.
    std::string temporary;
    CFile out(INVALID_HANDLE_VALUE);
    for (int attempt = 0; attempt < kTemporaryAttempts && !out.IsOpen(); attempt++) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".~cp%04x", (unsigned)(g_TemporaryCounter++ & 0xFFFF));
        temporary = std::string(destination) + suffix;
        out.h = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (!out.IsOpen() && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    if (!out.IsOpen())
        return COPY_NOT_OPENED;
    bool good = true;
    uint64_t copied = 0;
    for (;;) {
        char buffer[4096];
        DWORD got = 0, put = 0;
        if (!ReadFile(in.h, buffer, sizeof buffer, &got, nullptr)) {
            good = false;
            break;
        }
        if (got == 0)
            break;
        if (!WriteFile(out.h, buffer, got, &put, nullptr) || put != got) {
            good = false;
            break;
        }
        copied += got;
    }
    good = good && FlushFileBuffers(out.h) && SizeOf(out.h) == copied && SizeOf(in.h) == copied;
    out.Close();
    in.Close();
    if (!good || !MoveFileExA(temporary.c_str(), destination, MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileA(temporary.c_str());
        return COPY_FAILED;
    }
    // What now stands under the destination's name is the whole copy.
    CFile result(CreateFileA(destination, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    return result.IsOpen() && SizeOf(result.h) == copied ? COPY_DONE : COPY_FAILED;
}

void FormatDuration(char* out, size_t size, uint32_t hundredths)
{
    uint32_t seconds = hundredths / 100;
    std::snprintf(out, size, "%.2ld:%.2ld:%.2ld:%.2ld", (long)(seconds / 86400), (long)(seconds / 3600 % 24),
                  (long)(seconds / 60 % 60), (long)(seconds % 60));
}

bool ParseDuration(const char* text, uint32_t* hundredths, char* error, size_t errorSize)
{
    static const char* const kNames[4] = {"days", "hours", "minutes", "seconds"};
    static const uint32_t kLimits[4] = {99, 23, 59, 59};
    static const uint32_t kSeconds[4] = {86400, 3600, 60, 1};
    if (error != nullptr && errorSize > 0)
        error[0] = 0;
    uint32_t groups[4] = {};
    int count = 0, digits = 0;
    for (const char* p = text; p != nullptr && *p != 0; p++) {
        if (*p == ':') {
            if (digits == 0 || count == 3)
                return false;
            count++;
            digits = 0;
        } else if (*p >= '0' && *p <= '9') {
            if (++digits > 2)
                return false;
            groups[count] = groups[count] * 10 + uint32_t(*p - '0');
        } else {
            return false;
        }
    }
    if (digits > 0)
        count++;
    else if (count > 0)
        return false;
    uint32_t total = 0;
    for (int i = 0; i < count; i++) {
        if (groups[i] > kLimits[i]) {
            if (error != nullptr)
                std::snprintf(error, errorSize, "Invalid number of %s (%d) entered into the Log Duration Field",
                              kNames[i], (int)groups[i]);
            return false;
        }
        total += groups[i] * kSeconds[i];
    }
    *hundredths = total * 100;
    return true;
}

bool ReadTextLine(HANDLE file, char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return false;
    size_t n = 0;
    bool any = false;
    // Room for the terminator is kept: at most size - 1 characters.
    while (n + 1 < size) {
        char c;
        long got = os_ReadFile(file, &c, 1);
        if (got < 0) {
            buffer[n] = 0;
            return false;
        }
        if (got == 0 || c == 0x1A)
            break;
        any = true;
        if (c == '\n' && n > 0 && buffer[n - 1] == '\r') {
            n--;
            break;
        }
        buffer[n++] = c;
    }
    buffer[n] = 0;
    return any;
}

bool WriteTextLine(HANDLE file, const char* text)
{
    size_t n = std::strlen(text);
    return os_WriteFile(file, text, (DWORD)n) == (long)n && os_WriteFile(file, "\r\n", 2) == 2;
}

void ExpandCaretEscapes(char* out, size_t size, const char* in)
{
    if (size == 0)
        return;
    size_t n = 0;
    for (const char* p = in; *p != 0 && n + 1 < size; p++) {
        if (*p == '^' && p[1] != 0) {
            char e = (char)std::toupper((unsigned char)p[1]);
            char c = e == 'M' ? '\r' : e == 'J' ? '\n' : e == 'E' ? '\x05' : 0;
            if (c != 0) {
                out[n++] = c;
                p++;
                continue;
            }
        }
        out[n++] = *p;
    }
    out[n] = 0;
}

void TrimInPlace(char* text)
{
    size_t start = 0, end = std::strlen(text);
    while (start < end && IsSpace(text[start]))
        start++;
    while (end > start && IsSpace(text[end - 1]))
        end--;
    std::memmove(text, text + start, end - start);
    text[end - start] = 0;
}

size_t CopyTrimmed(char* out, const char* in, size_t size)
{
    if (size == 0)
        return 0;
    size_t start = 0, end = std::strlen(in);
    while (start < end && IsSpace(in[start]))
        start++;
    while (end > start && IsSpace(in[end - 1]))
        end--;
    size_t n = std::min(end - start, size - 1);
    std::memcpy(out, in + start, n);
    out[n] = 0;
    return n;
}

uint32_t ParseNumberBase(const char* text, int base)
{
    while (IsSpace(*text))
        text++;
    uint32_t value = 0;
    for (; *text != 0; text++) {
        int c = std::tolower((unsigned char)*text);
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'z' ? c - 'a' + 10 : 99;
        if (d >= base)
            break;
        value = value * (uint32_t)base + (uint32_t)d;
    }
    return value;
}

uint32_t ParseNumber(const char* text)
{
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return std::isxdigit((unsigned char)text[2]) ? ParseNumberBase(text + 2, 16) : 0;
    return std::isdigit((unsigned char)text[0]) ? ParseNumberBase(text, 10) : 0;
}

int HexToBytes(uint8_t* out, size_t size, const char* text)
{
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text += 2;
    size_t n = 0;
    for (; text[0] != 0; text += 2) {
        if (!std::isxdigit((unsigned char)text[0]) || !std::isxdigit((unsigned char)text[1]) || n >= size)
            return -1;
        char pair[3] = {text[0], text[1], 0};
        out[n++] = (uint8_t)ParseNumberBase(pair, 16);
    }
    return (int)n;
}

void BytesToHex(char* out, size_t size, const uint8_t* bytes, size_t count)
{
    if (size == 0)
        return;
    size_t n = 0;
    for (size_t i = 0; i < count && n + 2 < size; i++, n += 2)
        std::snprintf(out + n, 3, "%02X", bytes[i]);
    out[n] = 0;
}

void UnsignedToDecimal(uint32_t value, char* out, size_t size) { std::snprintf(out, size, "%u", value); }

bool IsAllSpace(const char* text)
{
    for (; *text != 0; text++)
        if (!IsSpace(*text))
            return false;
    return true;
}

int StringICompare(const char* a, const char* b) { return StringNICompare(a, b, SIZE_MAX); }

int StringNICompare(const char* a, const char* b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        int x = std::tolower((unsigned char)a[i]), y = std::tolower((unsigned char)b[i]);
        if (x != y)
            return x < y ? -1 : 1;
        if (x == 0)
            return 0;
    }
    return 0;
}

size_t StringNCopy(char* out, const char* in, size_t n)
{
    size_t i = 0;
    for (; i < n && in[i] != 0; i++)
        out[i] = in[i];
    if (i < n)
        out[i] = 0;
    return i;
}

bool ReplaceFirst(const char* text, const char* pattern, const char* replacement, char* out, size_t size)
{
    if (size == 0)
        return false;
    std::string result = text;
    size_t at = *pattern != 0 ? result.find(pattern) : std::string::npos;
    if (at != std::string::npos)
        result.replace(at, std::strlen(pattern), replacement);
    if (result.size() + 1 > size) {
        out[0] = 0;
        return false;
    }
    std::memcpy(out, result.c_str(), result.size() + 1);
    return true;
}

const char* LookupName(const CNameValue* table, int32_t value, char* buffer, size_t size)
{
    for (; table->Name != nullptr; table++)
        if (table->Value == value)
            return table->Name;
    std::snprintf(buffer, size, "Bad: %d", (int)value);
    return buffer;
}

int32_t LookupValue(const CNameValue* table, const char* name, int32_t defaultValue)
{
    for (; table->Name != nullptr; table++)
        if (StringICompare(table->Name, name) == 0)
            return table->Value;
    return defaultValue;
}

int IsCommonSourceName(const char* path)
{
    const char* name = std::strrchr(path, '\\');
    name = name != nullptr ? name + 1 : path;
    for (const char* common : {"GP.C", "TB.C", "HL.C", "MI.C", "EV.C"})
        if (StringICompare(name, common) == 0)
            return 0;
    return 1;
}
