// The generic read and write methods of a variable: the record copied into or out of
// the message, through the class's configuration map when it has one.
#pragma once

#include <cstring>

#include "QLCommon/ConfigMap.h"
#include "QLCommon/ManageableObject.h"
#include "QLCommon/Variables.h"

template <class T>
CVariable* zel_VariableOf(CManageableObject* object, uint32_t variableId)
{
    auto* variable = static_cast<CVariable*>(object->GetItemPtr(variableId | SMEM_WHOLE_RECORD, CSMemIndex()));
    return variable != nullptr && variable->Size() == sizeof(T) ? variable : nullptr;
}

template <class T, uint32_t VariableId, const CConfigMap* Map = nullptr>
class CReadVariableMessageMethod : public CMessageMethod {
public:
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* read = dynamic_cast<CReadVariableMessage<T>*>(message);
        CVariable* variable = zel_VariableOf<T>(object, VariableId);
        if (read == nullptr || variable == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        int handled = 1;
        if (Map != nullptr)
            handled = Map->Read(object, 0, variable->Table(), VariableId);
        std::memcpy(&read->m_Record, variable->Data(), sizeof(T));
        message->Complete(handled != 0 ? MSG_DONE : MSG_FAILED);
    }
};

template <class T, uint32_t VariableId, const CConfigMap* Map>
class CWriteVariableMessageMethod : public CMessageMethod {
public:
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* write = dynamic_cast<CWriteVariableMessage<T>*>(message);
        CVariable* variable = zel_VariableOf<T>(object, VariableId);
        if (write == nullptr || variable == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        int handled = Map->Write(object, 0, variable->Table(), VariableId, &write->m_Record, variable->Data());
        message->Complete(handled != 0 ? MSG_DONE : MSG_FAILED);
    }
};
