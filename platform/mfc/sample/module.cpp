// The sample as a shared library with its own application object, as the applet and
// the setup library are built: its host has no Qt of its own.
#include "platform/mfc/afxtest.h"
#include "platform/mfc/sample/sample.h"

namespace {
class CModuleApp : public CWinApp {
public:
    CModuleApp() : CWinApp("Sample Module") {}
};
CModuleApp theApp;
}  // namespace

// Runs the sample sheet headless: saves it to `png` and presses OK; the sheet's result.
extern "C" __attribute__((visibility("default"))) int SampleModuleRun(const char* png)
{
    if (AfxGetApp() != &theApp) return -2;
    sample::RegisterResources();
    sample::CSampleSheet sheet;
    afxtest::BeginScript();
    afxtest::RunModal([png](CWnd* w) {
        afxtest::SaveImage(w, png);
        afxtest::Click(w, IDOK);
    });
    int result = sheet.DoModal();
    if (afxtest::Misses() || afxtest::Pending()) result = -3;
    afxtest::EndScript();
    return result;
}
