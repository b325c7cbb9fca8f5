// The transport base: the object name (device or port path) and the transport kind by
// which an object's message methods are chosen.
#pragma once

#include <string>

class CMethod {
public:
    CMethod() : m_ObjectName("Unknown"), m_KindName("Unknown") {}
    CMethod(std::string objectName, std::string kindName)
        : m_ObjectName(std::move(objectName)), m_KindName(std::move(kindName)) {}
    virtual ~CMethod() = default;
    const std::string& GetObjectName() const { return m_ObjectName; }
    const std::string& GetKindName() const { return m_KindName; }

private:
    std::string m_ObjectName;
    std::string m_KindName;
};
