// The "Layer1" engineering page: one line's Bt8370 framer read and acted on through the
// main sheet's request block, each outcome one line in its status box.
#pragma once

#include <cstdint>

#include "platform/mfc/afxdlgs.h"

struct BackdoorRequest;

class CMyPropertyPage1 : public CPropertyPage {
    DECLARE_DYNCREATE(CMyPropertyPage1)
public:
    CMyPropertyPage1();

    BOOL OnInitDialog() override;

    int m_DeviceIndex = -1;
    CString m_Status;
    CString m_Address;
    CString m_Data;
    int m_LoopKind = -1;
    CString m_LocalChannel;
    CString m_RemoteChannel;
    int m_Framing = -1;
    int m_PulseTemplate = -1;
    CString m_ReceiveLevel;
    CString m_DeviceLabel;

protected:
    void DoDataExchange(CDataExchange* pDX) override;

    void OnRead();
    void OnWrite();
    void OnLoopRun();
    void OnLoopStop();
    void OnLoopStopAll();
    void OnLoadSettingsFromMode();
    void OnProgram();
    void OnPulseTemplate();
    void OnLboA();
    void OnLboB();
    void OnLboC();
    void OnLboX();
    void OnIsolatedRun();
    void OnIsolatedStop();
    void OnAllOnesRun();
    void OnAllOnesStop();
    void OnResetLocal();
    void OnResetGlobal();
    void OnForceOn();
    void OnForceOff();
    void OnForceDefault();
    void OnSensitivityLow();
    void OnSensitivityMedium();
    void OnSensitivityHigh();
    void OnUpdateLevel();
    void OnAnalogLoopOn();
    void OnAnalogLoopOff();
    void OnLoopRadio();
    void OnFramingRadio();
    DECLARE_MESSAGE_MAP()

private:
    // The common frame: saves the controls, shows "Start Processing ...", refuses with no
    // line chosen.
    bool Begin(bool announce = true);
    // Clears the sheet's request, fills class, action, Arg[0] (the line) and the two
    // arguments and sends it: the request block with the reply (any Status), or nullptr
    // when the send failed (the status says so).
    BackdoorRequest* Send(uint32_t cls, uint32_t action, uint32_t arg1 = 0, uint32_t arg2 = 0);
    void Show(const CString& status);
    // A one-request action on the framer: the row's success text or failure text.
    void Simple(uint32_t cls, uint32_t action, uint32_t arg1, uint32_t arg2, const char* success);
    void Loop(bool run);
};

// The page's factory, as the applet's table of engineering pages takes it.
CPropertyPage* CreateFramerTestPage();
