#include "QLCommon/IOCTLMethod.h"

#include <cstdio>
#include <cstring>

#include "QLCommon/ConfigMap.h"

bool CReplyReader::Word(uint32_t* value)
{
    if (m_Length - m_Position < 4) {
        m_Position = m_Length;
        return false;
    }
    const uint8_t* p = m_pData + m_Position;
    *value = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    m_Position += 4;
    return true;
}

bool CReplyReader::Skip(size_t words)
{
    if (words > WordsLeft()) {
        m_Position = m_Length;
        return false;
    }
    m_Position += words * 4;
    return true;
}

CIOCTLMethod::CIOCTLMethod(const std::string& devicePath)
    : CMethod(devicePath, "IOCTL"), m_pRequest(&m_Request), m_Request()
{
    m_hDevice = CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
}

CIOCTLMethod::~CIOCTLMethod()
{
    if (m_hDevice != nullptr && m_hDevice != INVALID_HANDLE_VALUE)
        CloseHandle(m_hDevice);
}

bool CIOCTLMethod::Lock()
{
    m_Lock.Lock();
    std::memset(&m_Request, 0, sizeof m_Request);
    return true;
}

void CIOCTLMethod::Unlock() { m_Lock.Unlock(); }

bool CIOCTLMethod::SendIoctlRequest()
{
    m_Request.Signature = kBackdoorSignature;
    m_Request.BufferLength = kBackdoorRequestSize;
    DWORD oid = kOidBackdoorRequest, returned = 0;
    if (DeviceIoControl(m_hDevice, kIoctlQueryGlobalStats, &oid, sizeof oid, &m_Request, sizeof m_Request, &returned,
                        nullptr))
        return true;
    char text[64];
    std::snprintf(text, sizeof text, "GetLastErrors returns %ld", (long)GetLastError());
    os_MessageBox(text);
    Unlock();
    return false;
}

CReplyData* CIOCTLMethod::GetReplyData()
{
    auto* data = new CReplyData;
    uint64_t offset = m_Request.Segment[0].Offset;
    uint64_t length = m_Request.Segment[0].Length;
    if (offset < kBackdoorHeaderSize || offset > kBackdoorRequestSize) {
        ZEL_TRACE(1, "Reply segment at %lu lies outside the record", (unsigned long)offset);
        return data;
    }
    if (length > kBackdoorRequestSize - offset)
        length = kBackdoorRequestSize - offset;
    const auto* record = reinterpret_cast<const uint8_t*>(&m_Request);
    data->Bytes.assign(record + offset, record + offset + length);
    return data;
}

std::string CIOCTLMethod::GetDeviceName() const
{
    const std::string& name = GetObjectName();
    return name.size() > 4 ? name.substr(4) : std::string();
}

