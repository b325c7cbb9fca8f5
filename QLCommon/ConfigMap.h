// Configuration maps and the library's trace sink.
#pragma once

// The management library's trace sink: every module reports here; it keeps nothing.
void DbgTrace(int sourceLine, const char* sourcePath, int level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

#define ZEL_TRACE(level, ...) DbgTrace(__LINE__, __FILE__, (level), __VA_ARGS__)
