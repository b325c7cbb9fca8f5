// Registry value functions: every value travels as text; a REG_DWORD as eight upper-case
// hexadecimal digits, most significant first; a missing value can be created from a
// default on first read.
#pragma once

#include "platform/win32/windows.h"

// Reads a value as text into text (textSize bytes, terminated). When the value is missing
// and defaultSize is not 0, the buffer's first defaultSize bytes are written as the
// value's default (of the given type) and the value is read again. 1 done, 0 failed.
int ReadRegValue(HKEY root, const char* subKey, const char* valueName, char* text, DWORD textSize, DWORD type,
                 DWORD defaultSize);
int WriteRegValue(HKEY root, const char* subKey, const char* valueName, const void* data, DWORD type, DWORD size);
void RegDataToHex(const BYTE* bytes, DWORD count, char* text, DWORD textSize, bool reverse);
// Eight hexadecimal digits to a value; false (value 0) when the text is not that.
bool HexToDword(const char* text, DWORD* value);
DWORD HexToDword(const char* text);
void DwordToHex(DWORD value, char* text);  // 9 bytes
void DwordToRegData(DWORD value, BYTE* data);  // 5 bytes
int HexDigitValue(char c);
