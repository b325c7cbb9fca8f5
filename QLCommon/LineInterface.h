// The trunk of an adapter and its time slots: the line interface with its setup,
// directory numbers and layer states, and the channels with their live states and the
// modem serving each. The Rocky kinds follow the driver's status snapshot.
#pragma once

#include <mutex>
#include <string>

#include "QLCommon/ConfigMap.h"
#include "QLCommon/ManageableObject.h"
#include "QLCommon/Variables.h"

class CAdapter;

class CLineInterface : public CManageableObject {
public:
    CLineInterface(CMethod* transport, CAdapter* adapter, uint32_t kind);
    ~CLineInterface() override;

    std::string GetDisplayName() override { return "Line Interface"; }
    void* GetItemPtr(uint32_t smemId, const CSMemIndex& index) override;
    virtual std::string GetLayer1StateText() { return std::string(); }
    virtual std::string GetLayer2StateText() { return std::string(); }

    CAdapter* GetAdapter() const { return m_pAdapter; }
    rpri_tPRI GetLineStatus();

    uint32_t m_Kind;
    CVariableDecl<rpri_tSetup> m_Setup;
    CVariableDecl<rpri_tDirNumSetup> m_DirNums;
    CVariableDecl<rpri_tPRI> m_LineStatus;
    std::mutex m_RecordLock;  // the line status, which the snapshot changes

protected:
    CAdapter* m_pAdapter;
};

class CRockyLineInterface : public CLineInterface {
public:
    CRockyLineInterface(CMethod* transport, CAdapter* adapter, uint32_t kind);
    ~CRockyLineInterface() override;

    std::string GetDisplayName() override { return "Rocky Line Interface"; }
    std::string GetLayer1StateText() override;
    std::string GetLayer2StateText() override;
    void BuildVariableMethods() override;

    // From the status snapshot: the framer's state and the layer-2 state.
    void SetLayerStates(uint8_t layer1, uint8_t layer2);

    static const CConfigMap ConfigMap;
    static std::string GetConfigKey(CManageableObject* object);
};

class CChannel : public CManageableObject {
public:
    CChannel(CMethod* transport, uint32_t number, uint32_t dChannel);
    ~CChannel() override;

    std::string GetDisplayName() override { return "Channel"; }
    void* GetItemPtr(uint32_t smemId, const CSMemIndex& index) override;
    bool IsDChannel() const { return m_DChannel == 1; }
    uint32_t GetChannelNumber() const { return m_Number; }
    rpri_tPRIChannel GetRecord();

    CVariableDecl<rpri_tPRIChannel> m_Channel;
    std::mutex m_RecordLock;

protected:
    uint32_t m_DChannel;
    uint32_t m_Number;
};

class CRockyChannel : public CChannel {
public:
    CRockyChannel(CMethod* transport, uint32_t number, uint32_t dChannel);
    ~CRockyChannel() override;

    std::string GetDisplayName() override;
    std::string GetViewText() override;
    void BuildVariableMethods() override;

    // The modem serving the channel, from 1; 0 when none does.
    void SetModem(uint32_t modemNumber);
    void SetState(uint32_t protocol, uint32_t state);

private:
    void NotifyRecord();
};
