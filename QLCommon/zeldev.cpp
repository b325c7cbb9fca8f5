#include "QLCommon/zeldev.h"

#include <mutex>

#include "QLCommon/Modem.h"
#include "QLCommon/SerialPortMethod.h"

int zeldev_UpdateSharedMem(CManageableObject* object, uint32_t bit)
{
    auto* modem = dynamic_cast<CModem*>(object);
    auto* port = modem != nullptr ? dynamic_cast<CSerialPortMethod*>(modem->GetTransport()) : nullptr;
    if (port == nullptr) return 4;
    int field;
    int value;
    switch (bit) {
    case ZELDEV_DTR: field = 4, value = port->IsDTROn(); break;
    case ZELDEV_RTS: field = 5, value = port->IsRTSOn(); break;
    case ZELDEV_CTS: field = 6, value = port->IsCTSOn(); break;
    case ZELDEV_DCD: field = 7, value = port->IsDCDOn(); break;
    case ZELDEV_DSR: field = 8, value = port->IsDSROn(); break;
    default: return 4;
    }
    std::lock_guard<std::mutex> g(modem->m_RecordLock);
    modem->m_GeneralStatus.m_Record.Field[field] = value == 1 ? 1u : 2u;
    return 0;
}

int zeldev_ConfigLine(CManageableObject*, CSerialPortMethod* transport, int parameter, const uint32_t* value)
{
    if (parameter != ZELDEV_SET_DTR && parameter != ZELDEV_SET_RTS) return 4;
    if (transport == nullptr || value == nullptr) return 4;
    int on = *value == 1 ? 1 : 2;
    if (parameter == ZELDEV_SET_DTR)
        transport->SetDTR(on);
    else
        transport->SetRTS(on);
    return 0;
}
