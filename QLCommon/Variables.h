// Managed variable records: the typed records the managed objects expose by SMem ID,
// each with its field table, and the variable objects that hold them.
#pragma once

#include <cstdint>
#include <cstring>

#include "QLCommon/Message.h"
#include "QLCommon/algn.h"

// SMem ID: object class in bits 16 and up, variable id in bits 8 to 15, field number in
// bits 0 to 7 (0xFF the whole record); low 16 bits 0xFFFF the object itself.
constexpr uint32_t SMEM_WHOLE_RECORD = 0xFF;
constexpr uint32_t SMEM_OBJECT = 0xFFFF;
constexpr uint32_t SMEM_END = 0xFFFFFFFF;
inline uint32_t smem_Class(uint32_t id) { return id & 0xFFFF0000u; }
inline uint32_t smem_Variable(uint32_t id) { return id & 0xFF00u; }
inline uint32_t smem_Field(uint32_t id) { return id & 0xFFu; }

// A field's value description: its default text and the number of values it takes.
struct zel_tValueDesc {
    const char* DefaultText;
    uint32_t One;
    uint32_t Count;
    const char* const* Texts;
};

#pragma pack(push, 1)
struct zelagt_tInfo {
    uint32_t CallHistory;
    uint32_t SnmpLogging;
    uint32_t DbgFlowCtrl;
    uint32_t DbgThrdCtrl;
    uint32_t DbgCallEvents;
    uint32_t DbgCallHistory;
    int32_t SerialModemsAdded;
    int32_t SerialModemCount;
    uint32_t AdapterCount;  // not described by the field table
};
struct zelmdm_tLastCallInfo {
    uint32_t Field[23];
};
struct zelmdm_tGeneralStatus {
    uint32_t Field[12];
    int32_t OutOfService;  // field 12
    int32_t Monitoring;    // field 13
};
struct zelmdm_tGeneralConfig {
    uint32_t Field[27];
};
struct zelmdm_tDialControlConfig {
    uint32_t Field[5];
};
struct zelmdm_tCallControlConfig {
    uint32_t Field[11];
};
struct zelmdm_tCallStatistics {
    uint32_t Field[19];
};
struct rpri_tSetup {
    int8_t SignallingProtocol;
    int8_t LineCode;
    int8_t FramingFormat;
    int8_t Field3;
    int8_t LineMode;
    uint8_t TxPulseTemplate;
    uint8_t Field6;
    uint8_t Field7;
    uint8_t SystemBusMode;
};
constexpr int RPRI_DIRNUM_ENTRIES = 30;
constexpr int RPRI_DIRNUM_LENGTH = 40;
struct rpri_tDirNumSetup {
    char Entry[RPRI_DIRNUM_ENTRIES][RPRI_DIRNUM_LENGTH];
};
struct rpri_tPRI {
    int8_t Layer1;
    int8_t Layer2;
    int8_t Spare;
};
struct rpri_tPRIChannel {
    int8_t State;
    int8_t Field1;
    int8_t Modem;
    int8_t Text1[20];
    int8_t Text2[20];
};
#pragma pack(pop)

static_assert(sizeof(zelagt_tInfo) == 36);
static_assert(sizeof(zelmdm_tGeneralStatus) == 56);
static_assert(sizeof(rpri_tSetup) == 9);
static_assert(sizeof(rpri_tDirNumSetup) == 1200);
static_assert(sizeof(rpri_tPRIChannel) == 43);

extern const algn_tField zelagt_tInfo_Table[];
extern const algn_tField zelmdm_tLastCallInfo_Table[];
extern const algn_tField zelmdm_tGeneralStatus_Table[];
extern const algn_tField zelmdm_tGeneralConfig_Table[];
extern const algn_tField zelmdm_tDialControlConfig_Table[];
extern const algn_tField zelmdm_tCallControlConfig_Table[];
extern const algn_tField zelmdm_tCallStatistics_Table[];
extern const algn_tField rpri_tSetup_Table[];
extern const algn_tField rpri_tDirNumSetup_Table[];
extern const algn_tField rpri_tPRI_Table[];
extern const algn_tField rpri_tPRIChannel_Table[];

// Variable ids.
enum : uint32_t {
    ZELAGT_INFO_ID = 0x0000,
    RPRI_PRI_ID = 0x0100,
    RPRI_SETUP_ID = 0x0200,
    ZELMDM_CALLCONTROL_ID = 0x0400,
    ZELMDM_DIALCONTROL_ID = 0x0800,
    ZELMDM_GENERALCONFIG_ID = 0x1000,
    ZELMDM_GENERALSTATUS_ID = 0x2000,
    ZELMDM_CALLSTATISTICS_ID = 0x4000,
    ZELMDM_LASTCALL_ID = 0x8000,
};

// A variable object: builds the read and write messages of its record.
class CVariable {
public:
    virtual ~CVariable() = default;
    virtual CMessage* CreateReadMessage() = 0;
    virtual CMessage* CreateWriteMessage() = 0;
    virtual void* Data() = 0;
    virtual uint32_t Size() const = 0;
    virtual const algn_tField* Table() const = 0;
};

template <class T>
class CVariableDecl : public CVariable {
public:
    explicit CVariableDecl(const algn_tField* table, uint8_t fill = 0xFF) : m_pTable(table)
    {
        std::memset(&m_Record, fill, sizeof m_Record);
    }
    CMessage* CreateReadMessage() override { return new CReadVariableMessage<T>(m_pTable); }
    CMessage* CreateWriteMessage() override { return new CWriteVariableMessage<T>(m_pTable, m_Record); }
    void* Data() override { return &m_Record; }
    uint32_t Size() const override { return sizeof(T); }
    const algn_tField* Table() const override { return m_pTable; }

    T m_Record;

private:
    const algn_tField* m_pTable;
};
