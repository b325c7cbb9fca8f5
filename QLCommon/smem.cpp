#include "QLCommon/smem.h"

#include "QLCommon/Agent.h"
#include "QLCommon/DovuModem.h"
#include "QLCommon/Monitor.h"
#include "QLCommon/mthrd.h"
#include "QLCommon/os.h"

CAgent* GAgent = nullptr;

bool smem_Open(int flag)
{
    if (flag == 0 || GAgent != nullptr)
        return false;
    os_Open();
    ClassVar_OpenLock();
    CDovuModem::InstallFactories();
    Monitor_Install();
    GAgent = new CAgent;
    GManagementThread.Register(GAgent);
    if (!mthrd_Open())
        return false;
    // The adapters' initialisation was queued before the thread ran.
    GAgent->SignalAdapters();
    return true;
}

void smem_Close()
{
    GManagementThread.Close();
    if (GAgent != nullptr) {
        GManagementThread.Unregister(GAgent);
        delete GAgent;
        GAgent = nullptr;
    }
    os_Close();
    ClassVar_CloseLock();
}

void* smem_ReturnGetPtr(uint32_t smemId, const CSMemIndex& index)
{
    return GAgent != nullptr ? GAgent->ReturnGetPtr(smemId, index) : nullptr;
}
