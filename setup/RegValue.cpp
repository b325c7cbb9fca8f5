#include "setup/RegValue.h"

#include <cstring>
#include <vector>

namespace {
constexpr DWORD kValueBuffer = 1024;
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool HexToDword(const char* text, DWORD* value)
{
    DWORD v = 0;
    for (int k = 0; k < 8; k++) {
        int d = HexDigitValue(text[k]);
        if (d < 0) {
            *value = 0;
            return false;
        }
        v = v * 16 + (DWORD)d;
    }
    *value = v;
    return true;
}

DWORD HexToDword(const char* text)
{
    DWORD v;
    HexToDword(text, &v);
    return v;
}

void DwordToHex(DWORD value, char* text)
{
    static const char kDigits[] = "0123456789ABCDEF";
    for (int k = 7; k >= 0; k--) {
        text[k] = kDigits[value & 0xF];
        value >>= 4;
    }
    text[8] = '\0';
}

void DwordToRegData(DWORD value, BYTE* data)
{
    char hex[9];
    DwordToHex(value, hex);
    for (int b = 0; b < 4; b++)
        data[b] = (BYTE)(HexDigitValue(hex[6 - 2 * b]) * 16 + HexDigitValue(hex[7 - 2 * b]));
    data[4] = 0;
}

void RegDataToHex(const BYTE* bytes, DWORD count, char* text, DWORD textSize, bool reverse)
{
    static const char kDigits[] = "0123456789ABCDEF";
    if (textSize == 0)
        return;
    DWORD out = 0;
    for (DWORD i = 0; i < count && out + 2 < textSize; i++) {
        BYTE b = bytes[reverse ? count - 1 - i : i];
        text[out++] = kDigits[b >> 4];
        text[out++] = kDigits[b & 0xF];
    }
    text[out] = '\0';
}

int WriteRegValue(HKEY root, const char* subKey, const char* valueName, const void* data, DWORD type, DWORD size)
{
    HKEY key;
    if (RegOpenKeyExA(root, subKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return 0;
    if (type == REG_SZ || type == REG_EXPAND_SZ)
        size += 1;
    LONG r = RegSetValueExA(key, valueName, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS ? 1 : 0;
}

namespace {

// The value whole: the buffer grows to the size the registry names. ERROR_FILE_NOT_FOUND
// only when the value is missing; any other failure is returned as it is.
LONG QueryWhole(HKEY key, const char* valueName, DWORD* storedType, std::vector<BYTE>* buffer)
{
    buffer->assign(kValueBuffer, 0);
    for (int attempt = 0; attempt < 4; attempt++) {
        DWORD size = (DWORD)buffer->size();
        LONG r = RegQueryValueExA(key, valueName, nullptr, storedType, buffer->data(), &size);
        if (r == ERROR_SUCCESS) {
            buffer->resize(size);
            return r;
        }
        if (r != ERROR_MORE_DATA || size <= buffer->size())
            return r;
        buffer->assign(size, 0);  // the value changed size between the calls: ask again
    }
    return ERROR_MORE_DATA;
}

}  // namespace

int ReadRegValue(HKEY root, const char* subKey, const char* valueName, char* text, DWORD textSize, DWORD type,
                 DWORD defaultSize)
{
    std::vector<BYTE> buffer;
    HKEY key;
    if (RegOpenKeyExA(root, subKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return 0;
    DWORD storedType = 0;
    LONG r = QueryWhole(key, valueName, &storedType, &buffer);
    if (r == ERROR_FILE_NOT_FOUND) {
        // A default of text is written without its terminator; WriteRegValue adds it.
        DWORD write = defaultSize;
        if ((type == REG_SZ || type == REG_EXPAND_SZ) && write > 0 && text[write - 1] == '\0')
            write--;
        if (defaultSize == 0 || WriteRegValue(root, subKey, valueName, text, type, write) == 0) {
            RegCloseKey(key);
            return 0;
        }
        r = QueryWhole(key, valueName, &storedType, &buffer);
    }
    RegCloseKey(key);
    if (r != ERROR_SUCCESS || textSize == 0)
        return 0;
    const DWORD size = (DWORD)buffer.size();
    switch (storedType) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ: {
        DWORD n = size;
        if (n > 0 && buffer[n - 1] == 0)
            n--;
        if (n > textSize - 1)
            return 0;  // a text cut short is not what is stored
        std::memcpy(text, buffer.data(), n);
        text[n] = '\0';
        break;
    }
    case REG_BINARY:
        if (size * 2 > textSize - 1)
            return 0;
        RegDataToHex(buffer.data(), size, text, textSize, false);
        break;
    case REG_DWORD:
        // Anything but four bytes is no REG_DWORD.
        if (size != 4 || textSize < 9)
            return 0;
        RegDataToHex(buffer.data(), 4, text, textSize, true);
        break;
    default:
        return 0;
    }
    return 1;
}
