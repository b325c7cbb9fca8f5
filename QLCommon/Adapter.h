// Adapter objects. A CVX2430Adapter stands for one T1/E1 board of the driver: it reads
// the board's summary once, builds the modems, the line interface and the channels, and
// polls the status snapshot every 2000 ms to keep them current. A CMQAdapter is only a
// container of serial-attached modems.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "QLCommon/IOCTLMethod.h"
#include "QLCommon/LineInterface.h"
#include "QLCommon/Modem.h"

class CAdapter : public CDevice {
public:
    CAdapter() = default;
    explicit CAdapter(CMethod* transport) : CDevice(transport) {}
    ~CAdapter() override = default;

    virtual CModem* GetModem(uint32_t index) = 0;
    virtual uint32_t GetModemCount() = 0;
    virtual CLineInterface* GetLineInterface() { return nullptr; }
    virtual bool IsDebugMenusOn() { return false; }

    const std::string& GetName() const { return m_Name; }
    // "SYSTEM\CurrentControlSet\Services\<name>\Parameters" under HKEY_LOCAL_MACHINE.
    std::string GetParametersKey() const;

protected:
    std::string m_Name;
};

class CMQAdapter : public CAdapter {
public:
    CMQAdapter();
    ~CMQAdapter() override;
    std::string GetDisplayName() override { return "ZELMQ Adapter"; }
    void BuildVariableMethods() override {}
    CModem* GetModem(uint32_t index) override;
    uint32_t GetModemCount() override;
    void AddModem(CModem* modem);
    void SetModemCount(uint32_t count);

private:
    std::mutex m_ListLock;
    uint32_t m_ModemCount = 0;
    std::vector<CModem*> m_Modems;
};

// Where the modems of a board sit: per module (socket) the line it serves and the pump
// count of each of its modem processors, as the board answers them. Modems are
// numbered from 1 over the modules in order, processor by processor, pump by pump.
struct CModuleShape {
    uint32_t Group = 0;
    std::vector<uint32_t> Pumps;  // per modem processor
    uint32_t ModemCount() const;
};
class CModemShape {
public:
    std::vector<CModuleShape> Modules;
    uint32_t ModemCount() const;
    // Index (from 0) of the module's first modem; the modem count past the last module.
    uint32_t FirstModem(uint32_t module) const;
    // False when the number names no modem.
    bool AddressOf(uint32_t modemNumber, ModemAddress* address) const;
    // The modem number of a pump; 0 when the board has no such pump.
    uint32_t NumberOf(uint32_t module, uint32_t processor, uint32_t pump) const;
};

// Words of one status snapshot given to the objects it describes.
struct CSnapshotTargets {
    CRockyLineInterface* LineInterface = nullptr;
    std::vector<CRockyChannel*> Channels;
    std::vector<CRockyModem*> Modems;  // every modem of the board, by number
    const CModemShape* Shape = nullptr;
    std::vector<uint32_t> Modules;     // the modules the snapshot lists, in its order
    uint32_t* ModuleWordA = nullptr;   // 5 words each (by module), or null
    uint32_t* ModuleWordB = nullptr;
};
// False when the reply ended before its last part; what was read up to there is kept.
bool ParseStatusSnapshot(CReplyReader reader, const CSnapshotTargets& targets);

class CVX2430Adapter : public CAdapter {
public:
    static constexpr uint32_t kPollPeriodMs = 2000;
    static constexpr uint32_t kMaxModules = 10;     // modem sockets of a board
    static constexpr uint32_t kMaxProcessors = 2;   // modem processors of a module
    static constexpr uint32_t kMaxPumps = 12;       // pumps of a modem processor
    static constexpr uint32_t kMaxGroups = 8;       // lines of a board
    static constexpr uint32_t kModuleWords = 5;

    class CInitializeMessage : public CMessage {
    public:
        CInitializeMessage() : CMessage("Initialize") {}
    };
    class CStatusPollMessage : public CMessage {
    public:
        CStatusPollMessage() : CMessage("Status Poll") {}
    };
    // Builds the channels once the line interface has read its setup.
    class CBuildChannelsMessage : public CMessage {
    public:
        CBuildChannelsMessage(bool setupRead, rpri_tSetup setup)
            : CMessage("Build Channels"), m_SetupRead(setupRead), m_Setup(setup) {}
        bool m_SetupRead;
        rpri_tSetup m_Setup;
    };
    class CUpdateModemCodeMessage : public CMessage {
    public:
        CUpdateModemCodeMessage(std::string source, uint32_t driverFile)
            : CMessage("Update Modem Code"), m_SourcePath(std::move(source)), m_DriverFile(driverFile) {}
        std::string m_SourcePath;
        uint32_t m_DriverFile;  // non-zero: the driver, else the firmware file
        int32_t m_Result = -1;  // 0 copied, 1 same file, 2 not opened, 3 failed
    };

    CVX2430Adapter(CIOCTLMethod* transport, uint32_t deviceNumber, const std::string& name, uint32_t flag);
    ~CVX2430Adapter() override;

    std::string GetDisplayName() override { return "ZELVX24-30 Adapter"; }
    void BuildVariableMethods() override;
    void HandleEvent(HANDLE event) override;
    void Update(CSubject* subject, SubjectHint hint) override;

    CModem* GetModem(uint32_t index) override;
    uint32_t GetModemCount() override;
    CLineInterface* GetLineInterface() override;
    bool IsDebugMenusOn() override;
    bool IsDebugPagesOn();
    CRockyChannel* GetChannel(uint32_t index);
    uint32_t GetChannelCount();

    void Initialize();
    void BuildChannels(bool setupRead, const rpri_tSetup& setup);
    void PollStatus();
    void UpdateDriverFile(CUpdateModemCodeMessage* message);
    void UpdateFirmwareFile(CUpdateModemCodeMessage* message);

    uint32_t GetDeviceNumber() const { return m_DeviceNumber; }
    uint32_t GetInstanceNumber() const { return m_InstanceNumber; }
    CIOCTLMethod* GetIoctl() const { return m_pIoctl; }
    HANDLE GetInitialisedEvent() const { return m_hInitialisedEvent; }
    uint32_t GetModuleCount();
    uint32_t GetModuleWordA(uint32_t m);
    uint32_t GetModuleWordB(uint32_t m);
    CModemShape GetShape();

private:
    bool ReadDebugValue(const char* name);
    // The board's modules: line and processor pump counts; false when it does not answer.
    bool ReadShape(uint32_t modules, CModemShape* shape);
    bool PollGroup(uint32_t group, const CModemShape& shape);
    void UpdateFile(CUpdateModemCodeMessage* message, const char* relativePath);

    CIOCTLMethod* m_pIoctl;
    uint32_t m_DeviceNumber;
    uint32_t m_InstanceNumber;
    rpri_tSetup m_SetupCopy{};
    uint32_t m_GroupCount = 0;
    uint32_t m_LineCount = 0;
    uint32_t m_ModuleCount = 0;
    CModemShape m_Shape;
    bool m_bClosing = false;  // the destructor runs: a late setup read builds nothing
    uint32_t m_ModuleWordA[kModuleWords] = {};
    uint32_t m_ModuleWordB[kModuleWords] = {};
    HANDLE m_hInitialisedEvent;
    COS_Timer* m_pPollTimer;
    // Guards the lists and the snapshot's values, read from other threads.
    std::mutex m_ListLock;
    std::vector<CModem*> m_Modems;
    std::vector<CRockyChannel*> m_Channels;
    std::vector<CRockyLineInterface*> m_LineInterfaces;
};
