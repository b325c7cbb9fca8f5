// The one bounded reader of management replies that every page's report goes through:
// the header words of a reply record and its segments, each segment clipped to the
// record's data area, every word and byte read by index with a bound check. Nothing a
// reply says about sizes, counts or offsets can make a read leave the record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "QLCommon/IOCTLMethod.h"

class CSegmentReader {
public:
    CSegmentReader() = default;
    CSegmentReader(const uint8_t* data, size_t length) : m_pData(data), m_Length(data != nullptr ? length : 0) {}

    size_t Size() const { return m_Length; }
    size_t Words() const { return m_Length / 4; }
    bool Empty() const { return m_Length == 0; }
    // Word i (32-bit little-endian at byte 4 x i); false when it does not lie wholly inside.
    bool Word(uint64_t i, uint32_t* value) const;
    bool WordAt(uint64_t byteOffset, uint32_t* value) const;
    bool Byte(uint64_t i, uint8_t* value) const;
    // Words first .. first + count - 1 all inside.
    bool HasWords(uint64_t first, uint64_t count) const;
    // The bytes [offset, offset + length) clipped to the segment.
    CSegmentReader Sub(uint64_t offset, uint64_t length) const;

private:
    const uint8_t* m_pData = nullptr;
    size_t m_Length = 0;
};

class CRecordReader {
public:
    explicit CRecordReader(const BackdoorRequest& reply) : m_Reply(reply) {}
    uint32_t Status() const { return m_Reply.Status; }
    bool Done() const { return m_Reply.Status == 0; }
    uint32_t Arg(int i) const { return i >= 0 && i < 6 ? m_Reply.Arg[i] : 0; }
    // Segment k as the reply places it; empty when its offset is outside the data area.
    CSegmentReader Segment(int k) const;

private:
    const BackdoorRequest& m_Reply;
};
