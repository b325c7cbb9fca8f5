#include "applet/ReplyReader.h"

bool CSegmentReader::Word(uint64_t i, uint32_t* value) const
{
    if (i > m_Length / 4)
        return false;
    return WordAt(i * 4, value);
}

bool CSegmentReader::WordAt(uint64_t byteOffset, uint32_t* value) const
{
    if (m_Length < 4 || byteOffset > m_Length - 4)
        return false;
    const uint8_t* p = m_pData + byteOffset;
    *value = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    return true;
}

bool CSegmentReader::Byte(uint64_t i, uint8_t* value) const
{
    if (i >= m_Length)
        return false;
    *value = m_pData[i];
    return true;
}

bool CSegmentReader::HasWords(uint64_t first, uint64_t count) const
{
    uint64_t words = m_Length / 4;
    return first <= words && count <= words - first;
}

CSegmentReader CSegmentReader::Sub(uint64_t offset, uint64_t length) const
{
    if (offset >= m_Length)
        return CSegmentReader();
    if (length > m_Length - offset)
        length = m_Length - offset;
    return CSegmentReader(m_pData + offset, static_cast<size_t>(length));
}

CSegmentReader CRecordReader::Segment(int k) const
{
    if (k < 0 || k >= 4)
        return CSegmentReader();
    uint64_t offset = m_Reply.Segment[k].Offset, length = m_Reply.Segment[k].Length;
    if (offset < kBackdoorHeaderSize || offset >= kBackdoorRequestSize)
        return CSegmentReader();
    if (length > kBackdoorRequestSize - offset)
        length = kBackdoorRequestSize - offset;
    return CSegmentReader(reinterpret_cast<const uint8_t*>(&m_Reply) + offset, static_cast<size_t>(length));
}
