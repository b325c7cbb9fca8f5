// Runs the sample sheet as a window. With --screenshot DIR it runs without a person:
// each page is saved as DIR/sample-<n>.png and the sheet is closed.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/mfc/afxtest.h"
#include "platform/mfc/sample/sample.h"

namespace {
class CSampleApp : public CWinApp {
public:
    CSampleApp() : CWinApp("Sample") {}
};
CSampleApp theApp;
}  // namespace

int main(int argc, char** argv)
{
    std::string shots;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
            shots = argv[++i];
        } else {
            std::fprintf(stderr, "usage: mfc-sample [--screenshot DIR]\n");
            return 2;
        }
    }
    sample::RegisterResources();
    sample::CSampleSheet sheet;
    if (!shots.empty()) {
        afxtest::BeginScript();
        afxtest::RunModal([&shots](CWnd* w) {
            auto* s = static_cast<sample::CSampleSheet*>(w);
            for (int i = 0; i < s->GetPageCount(); ++i) {
                afxtest::SelectSheetPage(s, i);
                afxtest::SaveImage(s, shots + "/sample-" + std::to_string(i) + ".png");
            }
            afxtest::Click(s, IDCANCEL);
        });
    }
    int result = static_cast<int>(sheet.DoModal());
    std::printf("sheet ended with %d\n", result);
    return result == IDOK || result == IDCANCEL ? 0 : 1;
}
