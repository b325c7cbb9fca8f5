#include "QLCommon/Message.h"

#include <cxxabi.h>
#include <cstdlib>
#include <typeinfo>

std::string zel_TypeName(const std::type_info& type)
{
    int status = 0;
    char* readable = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string name = status == 0 && readable != nullptr ? readable : type.name();
    std::free(readable);
    return name;
}

std::string CMessage::ClassName() const { return zel_TypeName(typeid(*this)); }

void CMessage::Complete(int32_t status)
{
    bool expected = false;
    if (!m_Completed.compare_exchange_strong(expected, true))
        return;
    m_Status = status;
    // The observers hear once and are let go at once: one that waited for this
    // completion may be gone before the message is deleted.
    NotifyAndDetachAll(0);
}
