#include "QLCommon/Agent.h"

#include <cstdio>

#include "QLCommon/ConfigMap.h"

namespace {

// Copies the agent's record into a read message.
class CReadInfoMethod : public CMessageMethod {
public:
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* agent = static_cast<CAgent*>(object);
        auto* read = dynamic_cast<CReadVariableMessage<zelagt_tInfo>*>(message);
        if (read == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        read->m_Record = agent->m_Info.m_Record;
        message->Complete(MSG_DONE);
    }
};

}  // namespace

CAgent::CAgent() : m_Info(zelagt_tInfo_Table)
{
    m_Info.m_Record.SerialModemsAdded = 0;
    m_Info.m_Record.SerialModemCount = 0;
    m_Info.m_Record.AdapterCount = 0;
    Register("CAgent", sizeof(CAgent), this);
    CountAdapters();
}

CAgent::~CAgent() { Unregister(); }

void CAgent::BuildVariableMethods() { AddMethod<CReadVariableMessage<zelagt_tInfo>>("", new CReadInfoMethod); }

void CAgent::CountAdapters()
{
    for (uint32_t i = 0; i < 255; i++) {
        char path[32];
        std::snprintf(path, sizeof path, "\\\\.\\VORNET%u", i);
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE || h == nullptr)
            continue;
        CloseHandle(h);
        AddAdapter(path, i);
    }
}

void CAgent::AddAdapter(const std::string& devicePath, uint32_t)
{
    m_FoundDevices.push_back(devicePath);
    m_Info.m_Record.AdapterCount++;
}

void* CAgent::GetItemPtr(uint32_t smemId, const CSMemIndex&)
{
    if ((smemId & 0xFFFF) == SMEM_OBJECT)
        return this;
    if (((smemId >> 8) & 0xFF) < 0xFF && smem_Field(smemId) == SMEM_WHOLE_RECORD)
        return &m_Info;
    uint32_t field = smem_Field(smemId);
    if (field >= (uint32_t)algn_FieldCount(zelagt_tInfo_Table))
        return nullptr;
    return reinterpret_cast<uint32_t*>(&m_Info.m_Record) + field;
}

void* CAgent::ReturnGetPtr(uint32_t smemId, const CSMemIndex& index)
{
    uint32_t cls = smem_Class(smemId);
    if (cls == 0)
        return GetItemPtr(smemId, index);
    if (cls >= 0x10000 && cls <= 0x90000)
        return nullptr;  // no modem objects yet
    if (smemId != SMEM_END)
        ZEL_TRACE(1, " smem_ReturnGetPtr Unknown SMem ID %lx ", (unsigned long)smemId);
    return nullptr;
}
