// What every report builder of the pages shares: a reply's segment as bytes, and printf
// into a string.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "QLCommon/IOCTLMethod.h"

// Segment k of a reply, clipped to the record's data area; empty when its offset lies
// in the header or past the record. The reply's status is the caller's to judge.
inline CReplyData ReplySegmentBytes(const BackdoorRequest& reply, int k)
{
    CReplyData data;
    if (k < 0 || k >= 4)
        return data;
    uint64_t offset = reply.Segment[k].Offset, length = reply.Segment[k].Length;
    if (offset < kBackdoorHeaderSize || offset >= kBackdoorRequestSize)
        return data;
    if (length > kBackdoorRequestSize - offset)
        length = kBackdoorRequestSize - offset;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&reply);
    data.Bytes.assign(bytes + offset, bytes + offset + length);
    return data;
}

inline std::string FormatText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string FormatText(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    return text;
}
