#include "QLCommon/LineInterface.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "QLCommon/Adapter.h"
#include "QLCommon/VariableMethods.h"
#include "QLCommon/mthrd.h"

namespace {

const std::map<uint8_t, const char*> kLayer1Text = {{1, "Layer Down"}, {2, "Layer Up"}};
const std::map<uint8_t, const char*> kLayer2Text = {
    {1, "Layer Down"}, {5, "Awaiting Establishment"}, {6, "Awaiting Release"}, {7, "Layer Up"}};
const std::map<uint8_t, const char*> kChannelText = {
    {1, "Idle"}, {6, "Connected"}, {8, "Disconnecting"}, {9, "Out Of Service"}};

template <class Map>
std::string TextOf(const Map& table, uint8_t state)
{
    auto it = table.find(state);
    return it != table.end() ? it->second : "";
}

void* ByteField(CVariable* variable, uint32_t smemId, uint32_t fieldCount)
{
    if (smem_Field(smemId) == SMEM_WHOLE_RECORD)
        return variable;
    if (smem_Field(smemId) >= fieldCount)
        return nullptr;
    return static_cast<uint8_t*>(variable->Data()) + smem_Field(smemId);
}

std::string DirNumName(int i)
{
    char name[48];
    std::snprintf(name, sizeof name, "Line_%d.DirectoryNumber_%2.2d", 0, i);
    return name;
}

class CReadDirNumSetupMethodIOCTL : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* li = static_cast<CLineInterface*>(object);
        auto* read = dynamic_cast<CReadVariableMessage<rpri_tDirNumSetup>*>(message);
        if (read == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        rpri_tDirNumSetup& d = li->m_DirNums.m_Record;
        HKEY key = nullptr;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, li->GetAdapter()->GetParametersKey().c_str(), &key) == ERROR_SUCCESS) {
            for (int i = 0; i < RPRI_DIRNUM_ENTRIES; i++) {
                char entry[RPRI_DIRNUM_LENGTH] = {};
                DWORD type = 0, size = sizeof entry;
                LONG r = RegQueryValueExA(key, DirNumName(i).c_str(), nullptr, &type, reinterpret_cast<BYTE*>(entry),
                                          &size);
                if (r == ERROR_SUCCESS && type != REG_SZ)
                    break;
                // Missing, or too long for its entry with the terminator: empty.
                if (r != ERROR_SUCCESS || strnlen(entry, sizeof entry) == sizeof entry)
                    entry[0] = 0;
                std::memset(d.Entry[i], 0, RPRI_DIRNUM_LENGTH);
                std::strcpy(d.Entry[i], entry);
            }
            RegCloseKey(key);
        }
        read->m_Record = d;
        message->Complete(MSG_DONE);
    }
};

// A value as the hive held it before a write, to be put back.
struct CSavedValue {
    bool Present = false;
    DWORD Type = 0;
    std::vector<BYTE> Data;
};

CSavedValue SaveValue(HKEY key, const std::string& name)
{
    CSavedValue saved;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return saved;
    saved.Data.resize(size);
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, saved.Data.data(), &size) != ERROR_SUCCESS)
        return saved;
    saved.Data.resize(size);
    saved.Present = true;
    saved.Type = type;
    return saved;
}

bool RestoreValue(HKEY key, const std::string& name, const CSavedValue& saved)
{
    if (!saved.Present)
        return RegDeleteValueA(key, name.c_str()) == ERROR_SUCCESS;
    return RegSetValueExA(key, name.c_str(), 0, saved.Type, saved.Data.data(), (DWORD)saved.Data.size()) ==
           ERROR_SUCCESS;
}

// Written to the registry first, all or none: a store that fails puts back what the
// earlier ones replaced. The object takes the numbers only when all were stored.
class CWriteDirNumSetupMethodIOCTL : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* li = static_cast<CLineInterface*>(object);
        auto* write = dynamic_cast<CWriteVariableMessage<rpri_tDirNumSetup>*>(message);
        if (write == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        HKEY key = nullptr;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, li->GetAdapter()->GetParametersKey().c_str(), &key) != ERROR_SUCCESS) {
            message->Complete(MSG_FAILED);
            return;
        }
        std::vector<CSavedValue> saved(RPRI_DIRNUM_ENTRIES);
        for (int i = 0; i < RPRI_DIRNUM_ENTRIES; i++)
            saved[(size_t)i] = SaveValue(key, DirNumName(i));
        bool stored = true;
        int written = 0;
        for (; written < RPRI_DIRNUM_ENTRIES && stored; written++) {
            const char* entry = write->m_Record.Entry[written];
            DWORD length = (DWORD)strnlen(entry, RPRI_DIRNUM_LENGTH - 1);
            stored = RegSetValueExA(key, DirNumName(written).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(entry),
                                    length) == ERROR_SUCCESS;
        }
        if (!stored) {
            for (int i = 0; i < written - 1; i++)
                if (!RestoreValue(key, DirNumName(i), saved[(size_t)i]))
                    ZEL_TRACE(1, "Directory number %d could not be put back", i);
        }
        RegCloseKey(key);
        if (!stored) {
            message->Complete(MSG_FAILED);
            return;
        }
        for (int i = 0; i < RPRI_DIRNUM_ENTRIES; i++) {
            std::memset(li->m_DirNums.m_Record.Entry[i], 0, RPRI_DIRNUM_LENGTH);
            std::memcpy(li->m_DirNums.m_Record.Entry[i], write->m_Record.Entry[i],
                        strnlen(write->m_Record.Entry[i], RPRI_DIRNUM_LENGTH - 1));
        }
        message->Complete(MSG_DONE);
    }
};

class CReadLineStatusMethod : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* read = dynamic_cast<CReadVariableMessage<rpri_tPRI>*>(message);
        if (read == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        read->m_Record = static_cast<CLineInterface*>(object)->GetLineStatus();
        message->Complete(MSG_DONE);
    }
};

class CReadChannelMethod : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* read = dynamic_cast<CReadVariableMessage<rpri_tPRIChannel>*>(message);
        if (read == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        read->m_Record = static_cast<CChannel*>(object)->GetRecord();
        message->Complete(MSG_DONE);
    }
};

constexpr CConfigMapRow SetupRow(uint32_t field, const char* name)
{
    return CConfigMapRow{0,    nullptr, 0, nullptr, RPRI_SETUP_ID | field, name, ConfigMap_ReadDword, ConfigMap_WriteDword,
                         CRockyLineInterface::GetConfigKey, 0};
}

const CConfigMapRow kSetupRows[] = {
    SetupRow(0, "SignallingProtocol_0"),
    SetupRow(1, "LineCode_0"),
    SetupRow(2, "FramingFormat_0"),
    SetupRow(4, "LineMode_0"),
    SetupRow(5, "TxPulseTemplate_0"),
    SetupRow(8, "SystemBusMode_0"),
    CConfigMapRow{0, nullptr, 0, nullptr, 0xFFFFFFFFu, nullptr, nullptr, nullptr, nullptr, 0},
};

}  // namespace

// --- CLineInterface ---------------------------------------------------------------

CLineInterface::CLineInterface(CMethod* transport, CAdapter* adapter, uint32_t kind)
    : CManageableObject(transport),
      m_Kind(kind),
      m_Setup(rpri_tSetup_Table),
      m_DirNums(rpri_tDirNumSetup_Table, 0),  // every entry starts as the empty string
      m_LineStatus(rpri_tPRI_Table),
      m_pAdapter(adapter)
{
    m_LineStatus.m_Record.Layer1 = 1;
    m_LineStatus.m_Record.Layer2 = 1;
}

CLineInterface::~CLineInterface() { GManagementThread.Unregister(this); }

rpri_tPRI CLineInterface::GetLineStatus()
{
    std::lock_guard<std::mutex> g(m_RecordLock);
    return m_LineStatus.m_Record;
}

void* CLineInterface::GetItemPtr(uint32_t smemId, const CSMemIndex&)
{
    if ((smemId & 0xFFFF) == SMEM_OBJECT)
        return this;
    switch (smem_Variable(smemId)) {
    case RPRI_SETUP_ID: return ByteField(&m_Setup, smemId, sizeof(rpri_tSetup));
    case RPRI_PRI_ID: return ByteField(&m_LineStatus, smemId, sizeof(rpri_tPRI));
    default:
        ZEL_TRACE(1, " Unknown SMem ID %lx ", (unsigned long)smemId);
        return nullptr;
    }
}

const CConfigMap CRockyLineInterface::ConfigMap(kSetupRows);

std::string CRockyLineInterface::GetConfigKey(CManageableObject* object)
{
    auto* li = dynamic_cast<CLineInterface*>(object);
    return li != nullptr && li->GetAdapter() != nullptr ? li->GetAdapter()->GetParametersKey() : std::string();
}

CRockyLineInterface::CRockyLineInterface(CMethod* transport, CAdapter* adapter, uint32_t kind)
    : CLineInterface(transport, adapter, kind)
{
    Register("CRockyLineInterface", sizeof(CRockyLineInterface), this);
}

CRockyLineInterface::~CRockyLineInterface()
{
    GManagementThread.Unregister(this);
    Unregister();
}

void CRockyLineInterface::BuildVariableMethods()
{
    AddMethod<CReadVariableMessage<rpri_tSetup>>(
        "IOCTL", new CReadVariableMessageMethod<rpri_tSetup, RPRI_SETUP_ID, &CRockyLineInterface::ConfigMap>);
    AddMethod<CWriteVariableMessage<rpri_tSetup>>(
        "IOCTL", new CWriteVariableMessageMethod<rpri_tSetup, RPRI_SETUP_ID, &CRockyLineInterface::ConfigMap>);
    AddMethod<CReadVariableMessage<rpri_tDirNumSetup>>("IOCTL", new CReadDirNumSetupMethodIOCTL);
    AddMethod<CWriteVariableMessage<rpri_tDirNumSetup>>("IOCTL", new CWriteDirNumSetupMethodIOCTL);
    AddMethod<CReadVariableMessage<rpri_tPRI>>("IOCTL", new CReadLineStatusMethod);
}

std::string CRockyLineInterface::GetLayer1StateText() { return TextOf(kLayer1Text, (uint8_t)GetLineStatus().Layer1); }

std::string CRockyLineInterface::GetLayer2StateText() { return TextOf(kLayer2Text, (uint8_t)GetLineStatus().Layer2); }

void CRockyLineInterface::SetLayerStates(uint8_t layer1, uint8_t layer2)
{
    int8_t l1 = layer1 == 9 ? 2 : 1;
    int8_t l2 = layer2 == 2 ? 5 : layer2 == 3 ? 6 : layer2 == 4 ? 7 : 1;
    rpri_tPRI record;
    {
        std::lock_guard<std::mutex> g(m_RecordLock);
        rpri_tPRI& s = m_LineStatus.m_Record;
        if (s.Layer1 == l1 && s.Layer2 == l2)
            return;
        s.Layer1 = l1;
        s.Layer2 = l2;
        record = s;
    }
    auto* message = new CReadVariableMessage<rpri_tPRI>(rpri_tPRI_Table, record);
    Notify(reinterpret_cast<SubjectHint>(message));
    delete message;
}

// --- CChannel ---------------------------------------------------------------------

CChannel::CChannel(CMethod* transport, uint32_t number, uint32_t dChannel)
    : CManageableObject(transport), m_Channel(rpri_tPRIChannel_Table), m_DChannel(dChannel), m_Number(number)
{
    rpri_tPRIChannel& c = m_Channel.m_Record;
    c.State = 9;
    c.Modem = 0;  // no modem serves it
    // The texts start empty.
    std::memset(c.Text1, 0, sizeof c.Text1);
    std::memset(c.Text2, 0, sizeof c.Text2);
}

CChannel::~CChannel() { GManagementThread.Unregister(this); }

rpri_tPRIChannel CChannel::GetRecord()
{
    std::lock_guard<std::mutex> g(m_RecordLock);
    return m_Channel.m_Record;
}

void* CChannel::GetItemPtr(uint32_t smemId, const CSMemIndex&)
{
    if ((smemId & 0xFFFF) == SMEM_OBJECT)
        return this;
    if (smem_Variable(smemId) == RPRI_PRI_ID)
        return ByteField(&m_Channel, smemId, 3);
    ZEL_TRACE(1, " Unknown SMem ID %lx ", (unsigned long)smemId);
    return nullptr;
}

CRockyChannel::CRockyChannel(CMethod* transport, uint32_t number, uint32_t dChannel)
    : CChannel(transport, number, dChannel)
{
    Register("CRockyChannel", sizeof(CRockyChannel), this);
}

CRockyChannel::~CRockyChannel()
{
    GManagementThread.Unregister(this);
    Unregister();
}

void CRockyChannel::BuildVariableMethods()
{
    AddMethod<CReadVariableMessage<rpri_tPRIChannel>>("IOCTL", new CReadChannelMethod);
}

std::string CRockyChannel::GetDisplayName()
{
    char text[40];
    std::snprintf(text, sizeof text, "Rockwell Channel(%u)", m_Number);
    return text;
}

std::string CRockyChannel::GetViewText()
{
    if (IsDChannel())
        return "D-Channel";
    rpri_tPRIChannel c = GetRecord();
    std::string text = TextOf(kChannelText, (uint8_t)c.State);
    if (c.State == 6 && c.Modem != 0) {
        char part[32];
        std::snprintf(part, sizeof part, " on Modem %d", (int)(uint8_t)c.Modem);
        text += part;
    }
    return text;
}

void CRockyChannel::NotifyRecord()
{
    auto* message = new CReadVariableMessage<rpri_tPRIChannel>(rpri_tPRIChannel_Table, GetRecord());
    Notify(reinterpret_cast<SubjectHint>(message));
    delete message;
}

void CRockyChannel::SetModem(uint32_t modemNumber)
{
    // Modem numbers of a board fit the record's byte; any other is no modem.
    auto modem = (int8_t)(uint8_t)(modemNumber <= 255 ? modemNumber : 0);
    {
        std::lock_guard<std::mutex> g(m_RecordLock);
        if (m_Channel.m_Record.Modem == modem)
            return;
        m_Channel.m_Record.Modem = modem;
    }
    NotifyRecord();
}

void CRockyChannel::SetState(uint32_t p, uint32_t s)
{
    if (p == 6)
        return;
    int state;
    if (p == 0) {
        if ((s >= 2 && s <= 12) || s == 14 || s == 15 || s == 16 || s == 65535)
            state = 1;
        else if (s == 13 || s == 17 || s == 19 || s == 20)
            state = 8;
        else if (s == 18)
            state = 6;
        else
            state = 9;
    } else {
        if (s == 254)
            return;
        if (s <= 4 || (s >= 6 && s <= 9) || s == 255)
            state = 1;
        else if (s == 10)
            state = 6;
        else if (s == 11 || s == 12 || s == 19)
            state = 8;
        else
            state = 9;
    }
    {
        std::lock_guard<std::mutex> g(m_RecordLock);
        if (m_Channel.m_Record.State == state)
            return;
        m_Channel.m_Record.State = (int8_t)state;
    }
    NotifyRecord();
}
