// The setup procedures that NT setup's installation script calls: the card's
// configuration and the bus number. Both answer through one module-wide text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/version_resource.h"
#include "setup/CardParams.h"
#include "setup/ConfigSheet.h"

VORNET_VERSION_RESOURCE(BrantelVersion, VFT_DLL, 0);

namespace {

class CSetupApp : public CWinApp {
public:
    CSetupApp() : CWinApp("brantel") {}
};
CSetupApp theApp;

char g_Answer[100];

char* Answer(const char* text)
{
    std::snprintf(g_Answer, sizeof g_Answer, "%s", text);
    return g_Answer;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int ConfigPriCard(uint32_t count, char* args[], char** answer)
{
    if (count < 1 || args == nullptr || args[0] == nullptr) {
        *answer = Answer("Cancel");
        return 1;
    }
    AfxEnsureApplication();
    RegisterSetupResources();
    GParameterKey = std::string(args[0]) + "\\Parameters";
    ClearCardParameters();
    if (!ReadCardParameters()) {
        // What was not read is neither shown nor written back.
        std::string text = "The configuration could not be read (" + CardLastFailure() +
                           ").\r\nNothing has been changed.";
        MessageBox(nullptr, text.c_str(), "ZELVX24/30 Setup", MB_OK | MB_ICONEXCLAMATION);
        *answer = Answer("Cancel");
        return 1;
    }

    CConfigSheet sheet("ZELVX24/30 Configuration");
    for (;;) {
        if (sheet.DoModal() != IDOK) {
            if (MessageBox(nullptr, "Cancel Card Configuration?\r\nAll Changes will be lost.", "ZELVX24/30 Setup",
                           MB_YESNO | MB_ICONEXCLAMATION) == IDYES) {
                *answer = Answer("Cancel");
                return 1;
            }
            continue;
        }
        if (WriteCardParameters())
            break;
        // "OK" means the values were written: say what failed and show the sheet again.
        std::string text = "The configuration could not be written (" + CardLastFailure() +
                           ").\r\nCorrect the problem and press OK again, or Cancel.";
        MessageBox(nullptr, text.c_str(), "ZELVX24/30 Setup", MB_OK | MB_ICONEXCLAMATION);
    }
    std::snprintf(g_Answer, sizeof g_Answer, "%s,%d,%d,%d,%d,%d", "OK", (int)GCard.Line[0].AsyncPorts,
                  (int)GCard.Line[0].FramingFormat, sheet.m_PriConfig.m_LineCode, sheet.m_PriConfig.m_SwitchType, 1);
    *answer = g_Answer;
    return 1;
}

extern "C" __attribute__((visibility("default"))) int GetBusNumber(uint32_t count, char* args[], char** answer)
{
    AfxEnsureApplication();
    RegisterSetupResources();
    CBusNumberDlg dialog;
    // Fewer than three arguments: the bus number starts at 0.
    dialog.m_BusNumber = count >= 3 && args != nullptr && args[2] != nullptr ? (UINT)std::atoi(args[2]) : 0;
    if (dialog.DoModal() == IDOK)
        std::snprintf(g_Answer, sizeof g_Answer, "%d", (int)dialog.m_BusNumber);
    else
        std::snprintf(g_Answer, sizeof g_Answer, "BusNumber %dd", (int)dialog.m_BusNumber);
    *answer = g_Answer;
    return 1;
}
