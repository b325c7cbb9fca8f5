#include "QLCommon/SNMPRequest.h"

#include <algorithm>

#include "QLCommon/ConfigMap.h"
#include "QLCommon/Variables.h"
#include "QLCommon/smem.h"

namespace {

// The field of a record by its number; false when the record has none.
bool FindField(const algn_tField* table, uint32_t field, uint32_t size, uint32_t* offset, const algn_tField** row)
{
    algn_tIterator it;
    for (long at = algn_FirstField(&it, table, 1); at >= 0; at = algn_NextField(&it)) {
        const algn_tField* r = algn_CurrentField(&it);
        if (r->Id == field && (uint32_t)at + algn_ElementSize(r, 1) <= size) {
            *offset = (uint32_t)at;
            *row = r;
            return true;
        }
    }
    return false;
}

bool IndexLess(const CSMemIndex& a, const CSMemIndex& b)
{
    if (a.Count() != b.Count())
        return a.Count() < b.Count();
    for (int i = 0; i < a.Count(); i++)
        if (a.Get(i) != b.Get(i))
            return a.Get(i) < b.Get(i);
    return false;
}

}  // namespace

CSNMPRequest::CSNMPRequest(int32_t mode) : m_Mode(mode), m_hDone(os_CreateManualEvent()) {}

CSNMPRequest::~CSNMPRequest() { os_CloseEvent(m_hDone); }

bool CSNMPRequest::IsMovedType(uint32_t type)
{
    switch (type) {
    case ASN_INTEGER:
    case ASN_OCTET_STRING:
    case ASN_IPADDRESS:
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
    case ASN_OPAQUE: return true;
    default: return false;
    }
}

void CSNMPRequest::AddBinding(uint32_t smemId, const CSMemIndex& index, uint32_t type, uintptr_t value)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_Bindings.push_back(Binding{smemId, type, value, index, 0});
}

int32_t CSNMPRequest::Execute()
{
    std::vector<std::pair<CManageableObject*, CMessage*>> queue;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        if (m_Bindings.empty())
            return m_Result = SNMP_OK;
        // One record of one object: the ID without its field byte and the same index.
        std::stable_sort(m_Bindings.begin(), m_Bindings.end(), [](const Binding& a, const Binding& b) {
            uint32_t ra = a.SmemId & ~0xFFu, rb = b.SmemId & ~0xFFu;
            return ra != rb ? ra < rb : IndexLess(a.Index, b.Index);
        });
        m_Pending.clear();
        for (size_t i = 0; i < m_Bindings.size();) {
            size_t end = i + 1;
            uint32_t record = m_Bindings[i].SmemId & ~0xFFu;
            while (end < m_Bindings.size() && (m_Bindings[end].SmemId & ~0xFFu) == record &&
                   m_Bindings[end].Index == m_Bindings[i].Index)
                end++;
            auto* object = static_cast<CManageableObject*>(
                smem_ReturnGetPtr((record & 0xFFFF0000u) | SMEM_OBJECT, m_Bindings[i].Index));
            auto* variable = object != nullptr
                                 ? static_cast<CVariable*>(object->GetItemPtr(record | SMEM_WHOLE_RECORD, CSMemIndex()))
                                 : nullptr;
            if (variable == nullptr) {
                for (Pending& p : m_Pending)
                    delete p.Message;
                m_Pending.clear();
                return m_Result = SNMP_NO_SUCH_OBJECT;
            }
            CMessage* message = m_Mode == SNMP_SET ? variable->CreateWriteMessage() : variable->CreateReadMessage();
            m_Pending.push_back(Pending{message, object, message->ClassName(), false, MSG_FAILED});
            for (size_t k = i; k < end; k++)
                m_Bindings[k].PendingIndex = m_Pending.size() - 1;
            i = end;
        }
        for (size_t p = 0; p < m_Pending.size(); p++) {
            auto* message = static_cast<CVariableMessage*>(m_Pending[p].Message);
            if (m_Mode == SNMP_SET) {
                for (const Binding& b : m_Bindings) {
                    uint32_t offset;
                    const algn_tField* row;
                    if (b.PendingIndex == p && IsMovedType(b.Type) &&
                        FindField(message->GetTable(), smem_Field(b.SmemId), message->GetDataSize(), &offset, &row))
                        algn_SetFieldValue(row, message->GetData(), offset, (int32_t)b.Value);
                }
            }
            queue.push_back({m_Pending[p].Object, message});
        }
        os_ResetEvent(m_hDone);
    }
    // Outside the lock: a message's observers are told under its own lock, and an
    // object without a transport runs the message at once.
    for (auto& q : queue)
        q.first->PushWithObserver(q.second, this);
    os_WaitEvent(m_hDone);
    os_ResetEvent(m_hDone);
    return GetResult();
}

void CSNMPRequest::Update(CSubject* subject, SubjectHint)
{
    auto* message = dynamic_cast<CVariableMessage*>(subject);
    std::lock_guard<std::mutex> g(m_Lock);
    if (message == nullptr) {
        m_Result = SNMP_FAILED;
        os_SetEvent(m_hDone);
        return;
    }
    size_t p = 0;
    while (p < m_Pending.size() && m_Pending[p].Message != message)
        p++;
    if (p == m_Pending.size() || m_Pending[p].Done)
        return;
    Pending& pending = m_Pending[p];
    pending.Done = true;
    pending.Status = message->GetStatus();
    if (m_Mode == SNMP_GET && pending.Status == MSG_DONE) {
        for (Binding& b : m_Bindings) {
            uint32_t offset;
            const algn_tField* row;
            if (b.PendingIndex == p && IsMovedType(b.Type) &&
                FindField(message->GetTable(), smem_Field(b.SmemId), message->GetDataSize(), &offset, &row))
                b.Value = (uint32_t)algn_GetFieldValue(row, message->GetData(), offset);
        }
    }
    for (const Pending& q : m_Pending)
        if (!q.Done)
            return;
    m_Result = SNMP_OK;
    for (const Pending& q : m_Pending)
        if (q.Status != MSG_DONE)
            m_Result = SNMP_FAILED;
    os_SetEvent(m_hDone);
}

uintptr_t* CSNMPRequest::ReturnGetPtr(uint32_t smemId, const CSMemIndex& index)
{
    std::lock_guard<std::mutex> g(m_Lock);
    for (Binding& b : m_Bindings)
        if (b.SmemId == smemId && b.Index == index)
            return &b.Value;
    ZEL_TRACE(2, "ReturnGetPtr returning NULL");
    return nullptr;
}

int32_t CSNMPRequest::GetResult()
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Result;
}

size_t CSNMPRequest::PendingCount()
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Pending.size();
}
