// Messages to managed objects and the methods that execute them. A message is completed
// exactly once: the first Complete notifies its observers, later ones are ignored.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <typeinfo>

#include "QLCommon/Subject.h"
#include "QLCommon/algn.h"

class CManageableObject;

enum { MSG_DONE = 0, MSG_FAILED = 1 };

class CMessage : public CSubject {
public:
    explicit CMessage(std::string name) : m_Name(std::move(name)) {}
    ~CMessage() override = default;
    virtual void Hook() {}

    void Complete(int32_t status);
    bool IsCompleted() const { return m_Completed.load(); }
    int32_t GetStatus() const { return m_Status.load(); }
    const std::string& GetName() const { return m_Name; }
    // The class name the run-time type information gives, as it keys method tables.
    std::string ClassName() const;

private:
    std::atomic<int32_t> m_Status{MSG_FAILED};
    std::atomic<bool> m_Completed{false};
    std::string m_Name;
};

class CDialMessage : public CMessage {
public:
    explicit CDialMessage(std::string number) : CMessage("Dial"), m_Number(std::move(number)) {}
    std::string m_Number;
};

class COOSMessage : public CMessage {
public:
    explicit COOSMessage(uint8_t outOfService) : CMessage("OOS"), m_OutOfService(outOfService) {}
    uint8_t m_OutOfService;
};

class CResetMessage : public CMessage {
public:
    CResetMessage() : CMessage("Reset") {}
};

class CSendATCommandMessage : public CMessage {
public:
    CSendATCommandMessage(uint32_t modem, std::string command)
        : CMessage("Send AT Command"), m_Modem(modem), m_Command(std::move(command)) {}
    uint32_t m_Modem;  // from 1
    std::string m_Command;
};

class CGetATResponseMessage : public CMessage {
public:
    CGetATResponseMessage(uint32_t modem, std::string response = std::string())
        : CMessage("Get AT Response"), m_Modem(modem), m_Response(std::move(response)) {}
    uint32_t m_Modem;  // from 1
    std::string m_Response;
};

class CStatusMessage : public CMessage {
public:
    explicit CStatusMessage(uint32_t word = 0) : CMessage("Modem Status"), m_Word(word) {}
    uint32_t m_Word;
};

// A message that carries a variable record with its field table.
class CVariableMessage : public CMessage {
public:
    CVariableMessage(std::string name, const algn_tField* table) : CMessage(std::move(name)), m_pTable(table) {}
    virtual void* GetData() = 0;
    virtual uint32_t GetDataSize() const = 0;
    const algn_tField* GetTable() const { return m_pTable; }

private:
    const algn_tField* m_pTable;
};

template <class T>
class CReadVariableMessage : public CVariableMessage {
public:
    explicit CReadVariableMessage(const algn_tField* table) : CVariableMessage("Read Variable", table), m_Record() {}
    CReadVariableMessage(const algn_tField* table, const T& record)
        : CVariableMessage("Read Variable", table), m_Record(record) {}
    void* GetData() override { return &m_Record; }
    uint32_t GetDataSize() const override { return sizeof(T); }
    T m_Record;
};

template <class T>
class CWriteVariableMessage : public CVariableMessage {
public:
    CWriteVariableMessage(const algn_tField* table, const T& record)
        : CVariableMessage("Write Variable", table), m_Record(record) {}
    void* GetData() override { return &m_Record; }
    uint32_t GetDataSize() const override { return sizeof(T); }
    T m_Record;
};

class CMessageMethod {
public:
    virtual ~CMessageMethod() = default;
    virtual void Execute(CManageableObject* object, CMessage* message) = 0;
};

// The class name of a type as method tables key it.
std::string zel_TypeName(const std::type_info& type);
