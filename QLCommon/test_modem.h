// Tests: a modem object with the records the AT exchanges fill, every field all bits set.
#pragma once

#include <cstring>
#include <string>

#include "QLCommon/ManageableObject.h"
#include "QLCommon/TextField.h"
#include "QLCommon/Variables.h"
#include "QLCommon/mdparse.h"

class TestModem : public CManageableObject {
public:
    TestModem()
    {
        std::memset(&last, 0xFF, sizeof last);
        std::memset(&status, 0xFF, sizeof status);
        std::memset(&config, 0xFF, sizeof config);
        std::memset(&dial, 0xFF, sizeof dial);
        std::memset(&call, 0xFF, sizeof call);
    }
    ~TestModem() override
    {
        txtf_Free(&status.Field[0]);
        for (int f = 14; f <= 17; f++) txtf_Free(&config.Field[f]);
        mdparse_Forget(this);
    }
    std::string GetDisplayName() override { return "Test modem"; }
    void BuildVariableMethods() override {}
    void* GetItemPtr(uint32_t id, const CSMemIndex&) override
    {
        uint32_t f = smem_Field(id);
        switch (smem_Variable(id)) {
        case ZELMDM_LASTCALL_ID: return f < 23 ? &last.Field[f] : nullptr;
        case ZELMDM_GENERALSTATUS_ID: return f < 12 ? &status.Field[f] : nullptr;
        case ZELMDM_GENERALCONFIG_ID: return f < 27 ? &config.Field[f] : nullptr;
        case ZELMDM_DIALCONTROL_ID: return f < 5 ? &dial.Field[f] : nullptr;
        case ZELMDM_CALLCONTROL_ID: return f < 11 ? &call.Field[f] : nullptr;
        default: return nullptr;
        }
    }
    std::string Text(uint32_t word) { return txtf_Get(word).value_or("<none>"); }

    zelmdm_tLastCallInfo last;
    zelmdm_tGeneralStatus status;
    zelmdm_tGeneralConfig config;
    zelmdm_tDialControlConfig dial;
    zelmdm_tCallControlConfig call;
};

// A fast pace for the simulated modem, which answers within tens of milliseconds.
struct FastTiming {
    FastTiming()
    {
        mdparse_tTiming t;
        t.PageWaitMs = 150;
        t.CommandWaitMs = 150;  // the modem answers 20 ms after a command, echo and result apart
        t.IoWaitMs = 500;
        mdparse_SetTiming(t);
    }
    ~FastTiming() { mdparse_SetTiming(mdparse_tTiming{}); }
};
