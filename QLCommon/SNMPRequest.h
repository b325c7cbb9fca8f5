// Batched reads or writes of single fields of managed objects, addressed as SNMP
// variable bindings: one variable message per record of one object, queued on the
// objects, waited for together.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "QLCommon/ManageableObject.h"
#include "QLCommon/os.h"

class CSNMPRequest : public CObserver {
public:
    enum { SNMP_GET = 0, SNMP_SET = 1 };
    // Results: success, no such object (SNMP noSuchName), failure.
    enum { SNMP_OK = 0, SNMP_NO_SUCH_OBJECT = 2, SNMP_FAILED = 6 };
    // Value types whose values are moved.
    enum : uint32_t {
        ASN_INTEGER = 2,
        ASN_OCTET_STRING = 4,
        ASN_IPADDRESS = 0x40,
        ASN_COUNTER = 0x41,
        ASN_GAUGE = 0x42,
        ASN_TIMETICKS = 0x43,
        ASN_OPAQUE = 0x44,
    };

    explicit CSNMPRequest(int32_t mode);
    ~CSNMPRequest() override;

    void AddBinding(uint32_t smemId, const CSMemIndex& index, uint32_t type, uintptr_t value);
    // Queues the messages and waits for all of them; answers the result.
    int32_t Execute();
    void Update(CSubject* subject, SubjectHint hint) override;
    uintptr_t* ReturnGetPtr(uint32_t smemId, const CSMemIndex& index);
    int32_t GetResult();
    size_t PendingCount();

private:
    struct Pending {
        CMessage* Message;
        CManageableObject* Object;
        std::string ClassName;
        bool Done;
        int32_t Status;
    };
    struct Binding {
        uint32_t SmemId;
        uint32_t Type;
        uintptr_t Value;
        CSMemIndex Index;
        size_t PendingIndex;
    };
    static bool IsMovedType(uint32_t type);

    int32_t m_Mode;
    std::mutex m_Lock;  // the bindings and the pending records; workers update them
    std::vector<Binding> m_Bindings;
    std::vector<Pending> m_Pending;
    HANDLE m_hDone;
    int32_t m_Result = SNMP_OK;
};
