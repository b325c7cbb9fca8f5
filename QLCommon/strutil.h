// Text, time and file utilities of the management library: plain functions over
// NUL-terminated strings and files. Every function that writes text takes the room it
// may fill and never writes beyond it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32/windows.h"

enum {
    COPY_DONE = 0,
    COPY_FAILED = 1,
    COPY_NOT_OPENED = 2,
    COPY_SAME_FILE = 3,
};
// Copies source onto destination through a temporary file that replaces the
// destination only when complete; one file reached by two spellings answers 3.
int CopyFileByStreams(const char* source, const char* destination);

void FormatDuration(char* out, size_t size, uint32_t hundredths);
// True with *hundredths set; false with the reason in error.
bool ParseDuration(const char* text, uint32_t* hundredths, char* error, size_t errorSize);

bool ReadTextLine(HANDLE file, char* buffer, size_t size);
bool WriteTextLine(HANDLE file, const char* text);

void ExpandCaretEscapes(char* out, size_t size, const char* in);
void TrimInPlace(char* text);
size_t CopyTrimmed(char* out, const char* in, size_t size);
uint32_t ParseNumber(const char* text);
uint32_t ParseNumberBase(const char* text, int base);
// Bytes written, or -1 for a text that is not pairs of hex digits or does not fit.
int HexToBytes(uint8_t* out, size_t size, const char* text);
void BytesToHex(char* out, size_t size, const uint8_t* bytes, size_t count);
void UnsignedToDecimal(uint32_t value, char* out, size_t size);
bool IsAllSpace(const char* text);
int StringICompare(const char* a, const char* b);
int StringNICompare(const char* a, const char* b, size_t n);
size_t StringNCopy(char* out, const char* in, size_t n);
// False (output empty) when the result does not fit.
bool ReplaceFirst(const char* text, const char* pattern, const char* replacement, char* out, size_t size);

struct CNameValue {
    int32_t Value;
    const char* Name;  // null ends a table
};
// The name of a value, or "Bad: %d" in buffer.
const char* LookupName(const CNameValue* table, int32_t value, char* buffer, size_t size);
int32_t LookupValue(const CNameValue* table, const char* name, int32_t defaultValue);
int IsCommonSourceName(const char* path);
