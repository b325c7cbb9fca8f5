// Modems of an adapter and their calls. A CRockyModem stands for one pump of a T1/E1
// adapter: it reaches the driver through the adapter's transport and follows the status
// snapshot; CModem keeps the history of the last ten calls.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "QLCommon/IOCTLMethod.h"
#include "QLCommon/ManageableObject.h"
#include "QLCommon/Variables.h"

class CAdapter;

// One device of an adapter; the string is left empty by every device class.
class CDevice : public CManageableObject {
public:
    CDevice() = default;
    explicit CDevice(CMethod* transport) : CManageableObject(transport) {}
    std::string m_DeviceText;
};

class CCall : public CManageableObject {
public:
    struct tCall {
        uint32_t StartTime;
        uint32_t EndTime;
        uint32_t Duration;  // seconds
        uint32_t Completed;
        uint32_t Spare;
    };
    static const algn_tField tCall_Table[];

    CCall();
    ~CCall() override;
    std::string GetDisplayName() override { return "Call"; }
    void* GetItemPtr(uint32_t smemId, const CSMemIndex& index) override;
    void BuildVariableMethods() override;
    void Finish(uint32_t endTime, const zelmdm_tLastCallInfo& lastCall);

    CVariableDecl<tCall> m_Call;
    CVariableDecl<zelmdm_tLastCallInfo> m_LastCall;
};

// What a modem needs of a monitor: started on the modem's transport, stopped (its
// thread ended) before the modem lets it go.
class CModemMonitor {
public:
    virtual ~CModemMonitor() = default;
    virtual bool Start(CIOCTLMethod* transport, uint32_t modemNumber, const ModemAddress& address) = 0;
    // Returns once the monitor's thread has ended.
    virtual void Stop() = 0;
    virtual std::string GetLogFileName() = 0;
};
enum { MONITOR_ARM = 0, MONITOR_DRIVER = 1 };
typedef std::function<CModemMonitor*(int kind)> ModemMonitorFactory;

class CModem;
// The modem menu of the user interface, made for each modem of an adapter whose debug
// menus are on.
typedef std::function<CUI_Menu*(CModem* modem)> ModemMenuFactory;

class CModem : public CDevice {
public:
    static constexpr int kHistory = 10;

    CModem(CMethod* transport, uint32_t modemNumber, CAdapter* adapter);
    ~CModem() override;

    void* GetItemPtr(uint32_t smemId, const CSMemIndex& index) override;
    virtual void* GetItemptr2(uint32_t smemId, int32_t historyIndex, uint32_t extra);
    virtual bool IsOutOfService() { return false; }
    virtual bool IsMonitoring() { return false; }
    virtual void SetMonitoring(bool) {}
    void Update(CSubject* subject, SubjectHint hint) override;

    uint32_t GetModemNumber() const { return m_ModemNumber; }
    uint32_t GetState() const { return 0; }
    CAdapter* GetAdapter() const { return m_pAdapter; }
    void Initialize();
    void SendATCommand(const std::string& command);
    void GetATResponse();

    static void SetMenuFactory(ModemMenuFactory factory);

    void StartCall();
    void EndCall(uint32_t endTime);
    void UpdateCallStatistics();
    size_t CallCount();

    CVariableDecl<zelmdm_tGeneralStatus> m_GeneralStatus;
    CVariableDecl<zelmdm_tGeneralConfig> m_GeneralConfig;
    CVariableDecl<zelmdm_tDialControlConfig> m_DialControl;
    CVariableDecl<zelmdm_tCallControlConfig> m_CallControl;
    CVariableDecl<zelmdm_tLastCallInfo> m_LastCall;
    CVariableDecl<zelmdm_tCallStatistics> m_CallStatistics;
    // Guards the records, which the snapshot updates on one worker while others read.
    std::mutex m_RecordLock;

protected:
    uint32_t m_ModemNumber;
    CCall* m_pCurrentCall = nullptr;
    int32_t m_HistoryPosition = -1;
    std::vector<CCall*> m_History;
    std::mutex m_HistoryLock;
    CAdapter* m_pAdapter;
};

// What one status snapshot says of a pump: its state and the items its entry carried.
struct CPumpStatus {
    uint32_t State = 0;
    bool HasOwner = false, HasLine = false, HasChannel = false;
    uint32_t Owner = 0;    // the owner kind of the pump's link
    uint32_t Line = 0;     // its TAPI line or COM number
    uint32_t Channel = 0;  // its channel on the line
};

class CRockyModem : public CModem {
public:
    // address: where the board keeps the modem's pump.
    CRockyModem(CIOCTLMethod* transport, uint32_t modemNumber, CAdapter* adapter, ModemAddress address);
    ~CRockyModem() override;

    std::string GetDisplayName() override;
    std::string GetViewText() override;
    void BuildVariableMethods() override;
    bool IsOutOfService() override;
    // What the driver took: the pump out of service, or reset back into service.
    void SetOutOfService(bool out);
    bool IsMonitoring() override;
    void SetMonitoring(bool on) override;

    // From the status snapshot: one item, or one whole entry (an item it does not carry
    // is cleared).
    void SetStatusItem(uint32_t id, uint32_t length, const uint32_t* data);
    void SetState(uint32_t state);
    void SetStatus(const CPumpStatus& status);
    uint32_t GetModemState();
    const ModemAddress& GetAddress() const { return m_Address; }

    // How monitors are made; without one, monitoring starts no thread.
    static void SetMonitorFactory(ModemMonitorFactory factory);

private:
    void NotifyStatus();
    static uint32_t StateOf(uint32_t snapshotState, uint32_t ownerKind);
    CIOCTLMethod* m_pIoctl;
    ModemAddress m_Address;
    CModemMonitor* m_pARMMonitor = nullptr;
    CModemMonitor* m_pDriverMonitor = nullptr;
};
