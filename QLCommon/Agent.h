// The root of the managed-object tree: the agent, with its debug and history flags.
#pragma once

#include <string>
#include <vector>

#include "QLCommon/ManageableObject.h"
#include "QLCommon/Variables.h"

class CAgent : public CManageableObject {
public:
    CAgent();
    ~CAgent() override;

    std::string GetDisplayName() override { return "Agent"; }
    void* GetItemPtr(uint32_t smemId, const CSMemIndex& index) override;
    void BuildVariableMethods() override;

    void CountAdapters();
    void* ReturnGetPtr(uint32_t smemId, const CSMemIndex& index);
    // Device paths found by the probe, in probe order.
    const std::vector<std::string>& FoundDevices() const { return m_FoundDevices; }

    CVariableDecl<zelagt_tInfo> m_Info;

private:
    void AddAdapter(const std::string& devicePath, uint32_t deviceNumber);
    std::vector<std::string> m_FoundDevices;
};
