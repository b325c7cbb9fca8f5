// The user-interface layer, driven headless through the sample sheet: data exchange,
// modal dialogs and message boxes inside handlers, popup menus, repaints asked for by
// other threads, pages coming and going, timers, and pictures of the sheet.
#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/mfc/afxtempl.h"
#include "platform/mfc/afxtest.h"
#include "platform/mfc/mfc_internal.h"
#include "platform/mfc/sample/sample.h"

using namespace sample;

namespace {

const bool kHeadless = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return true;
}();

class CTestApp : public CWinApp {
public:
    CTestApp() : CWinApp("Test") {}
} theApp;

class MfcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(kHeadless);
        AfxEnsureApplication();
        RegisterResources();
        afxtest::BeginScript();
    }
    void TearDown() override
    {
        EXPECT_EQ(afxtest::Misses(), 0) << "a prompt found no scripted answer";
        EXPECT_EQ(afxtest::Pending(), 0u) << "scripted answers left unused";
        afxtest::EndScript();
    }
    // Runs the sheet modally; `action` plays the user and must close it.
    static int Run(CPropertySheet& sheet, std::function<void(CPropertySheet&)> action)
    {
        afxtest::RunModal([&sheet, action](CWnd*) { action(sheet); });
        return sheet.DoModal();
    }
    // Lets the user-interface thread run until `done` or two seconds pass.
    static bool PumpUntil(const std::function<bool()>& done)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!done() && std::chrono::steady_clock::now() < end) {
            AfxPumpMessages();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    }
    static std::string Text(CWnd* parent, int id)
    {
        CString s;
        parent->GetDlgItemText(id, s);
        return s.str();
    }
    static std::string LastEvent(const CLinePage& page) { return page.events.empty() ? "" : page.events.back(); }
};

// One row per kind of control: members reach the controls, and what the user does
// reaches the members.
TEST_F(MfcTest, DataExchangeRoundTripsForEveryControlKind)
{
    struct Row {
        const char* kind;
        std::function<void(CLinePage&)> setMember;
        std::function<std::string(CLinePage&)> control;
        std::string shown;
        std::function<void(CLinePage&)> userChange;
        std::function<std::string(CLinePage&)> member;
        std::string taken;
    };
    auto s = [](auto v) { return std::to_string(v); };
    const Row rows[] = {
        {"edit text", [](CLinePage& p) { p.m_name = "LINE-A"; }, [](CLinePage& p) { return Text(&p, IDC_NAME); }, "LINE-A",
         [](CLinePage& p) { afxtest::SetText(&p, IDC_NAME, "LINE-B"); }, [](CLinePage& p) { return p.m_name.str(); },
         "LINE-B"},
        {"edit integer", [](CLinePage& p) { p.m_window = 3; }, [](CLinePage& p) { return Text(&p, IDC_WINDOW); }, "3",
         [](CLinePage& p) { afxtest::SetText(&p, IDC_WINDOW, " 5 "); }, [&](CLinePage& p) { return s(p.m_window); }, "5"},
        {"combo index", [](CLinePage& p) { p.m_framing = 2; },
         [&](CLinePage& p) { return s(static_cast<CComboBox*>(p.GetDlgItem(IDC_FRAMING))->GetCurSel()); }, "2",
         [](CLinePage& p) { afxtest::SelectCombo(&p, IDC_FRAMING, 0); }, [&](CLinePage& p) { return s(p.m_framing); }, "0"},
        {"combo index none", [](CLinePage& p) { p.m_framing = -1; },
         [&](CLinePage& p) { return s(static_cast<CComboBox*>(p.GetDlgItem(IDC_FRAMING))->GetCurSel()); }, "-1",
         [](CLinePage& p) { afxtest::SelectCombo(&p, IDC_FRAMING, 1); }, [&](CLinePage& p) { return s(p.m_framing); }, "1"},
        {"combo string", [](CLinePage& p) { p.m_number = "5551299"; }, [](CLinePage& p) { return Text(&p, IDC_NUMBER); },
         "5551299", [](CLinePage& p) { afxtest::SetText(&p, IDC_NUMBER, "555-0000"); },
         [](CLinePage& p) { return p.m_number.str(); }, "555-0000"},
        {"radio", [](CLinePage& p) { p.m_fill = 1; },
         [&](CLinePage& p) { return s(p.IsDlgButtonChecked(IDC_INCREMENT)) + s(p.IsDlgButtonChecked(IDC_SAME)); }, "01",
         [](CLinePage& p) { afxtest::Click(&p, IDC_INCREMENT); }, [&](CLinePage& p) { return s(p.m_fill); }, "0"},
        {"check", [](CLinePage& p) { p.m_test = 1; }, [&](CLinePage& p) { return s(p.IsDlgButtonChecked(IDC_TEST)); }, "1",
         [](CLinePage& p) { afxtest::Click(&p, IDC_TEST); }, [&](CLinePage& p) { return s(p.m_test); }, "0"},
        {"slider", [](CLinePage& p) { p.m_slider = 4; },
         [&](CLinePage& p) { return s(static_cast<CSliderCtrl*>(p.GetDlgItem(IDC_WINDOW_SLIDER))->GetPos()); }, "4",
         [](CLinePage& p) { afxtest::MoveSlider(&p, IDC_WINDOW_SLIDER, 6); }, [&](CLinePage& p) { return s(p.m_slider); },
         "6"},
        {"control (spin with its buddy)", [](CLinePage& p) { p.m_window = 5; },
         [](CLinePage& p) {
             bool bound = p.GetDlgItem(IDC_WINDOW_SPIN) == &p.m_spin && CWnd::FromHandle(p.m_spin.m_hWnd) == &p.m_spin;
             return std::string(bound ? "bound " : "loose ") + Text(&p, IDC_WINDOW);
         },
         "bound 5", [](CLinePage& p) { afxtest::SpinBy(&p, IDC_WINDOW_SPIN, -2); }, [&](CLinePage& p) { return s(p.m_window); },
         "3"},
    };
    CSampleSheet sheet;
    int result = Run(sheet, [&](CPropertySheet&) {
        CLinePage& page = sheet.m_line;
        for (const Row& row : rows) {
            SCOPED_TRACE(row.kind);
            row.setMember(page);
            ASSERT_TRUE(page.UpdateData(FALSE));
            EXPECT_EQ(row.control(page), row.shown);
            row.userChange(page);
            ASSERT_TRUE(page.UpdateData(TRUE));
            EXPECT_EQ(row.member(page), row.taken);
        }
        afxtest::Click(&sheet, IDOK);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_TRUE(afxtest::MessageBoxes().empty());
}

// A refused value shows the class library's standard text and keeps the sheet open on
// its page; switching pages is refused the same way. A good value then closes it.
TEST_F(MfcTest, ValidationRefusalKeepsTheSheetOpenWithTheStandardText)
{
    struct Row {
        int control;
        const char* typed;
        const char* message;
    };
    const Row rows[] = {
        {IDC_WINDOW, "9", "Please enter an integer between 1 and 7."},
        {IDC_WINDOW, "0", "Please enter an integer between 1 and 7."},
        {IDC_WINDOW, "seven", "Please enter an integer."},
        {IDC_WINDOW, "99999999999", "Please enter an integer."},
        {IDC_NAME, nullptr, "Please enter no more than 10 characters."},  // set by the program
    };
    CSampleSheet sheet;
    int result = Run(sheet, [&](CPropertySheet&) {
        CLinePage& page = sheet.m_line;
        for (const Row& row : rows) {
            SCOPED_TRACE(row.message);
            afxtest::SetText(&page, IDC_WINDOW, "6");
            afxtest::SetText(&page, IDC_NAME, "ok");
            if (row.typed)
                afxtest::SetText(&page, row.control, row.typed);
            else
                page.SetDlgItemText(row.control, "ABCDEFGHIJK");
            afxtest::AnswerMessageBox(IDOK);
            afxtest::Click(&sheet, IDOK);
            ASSERT_FALSE(afxtest::MessageBoxes().empty());
            EXPECT_EQ(afxtest::MessageBoxes().back().text, row.message);
            EXPECT_EQ(afxtest::MessageBoxes().back().type & 0xF0, static_cast<UINT>(MB_ICONEXCLAMATION));
            EXPECT_TRUE(sheet.IsWindowVisible()) << "the sheet closed on a refused value";
            EXPECT_EQ(sheet.GetActiveIndex(), 0);
        }
        // Leaving the page with a bad value is refused too.
        afxtest::AnswerMessageBox(IDOK);
        afxtest::SelectSheetPage(&sheet, 1);
        EXPECT_EQ(sheet.GetActiveIndex(), 0);
        EXPECT_EQ(LastEvent(page), "kill active refused");
        // Typing stops at the limit.
        afxtest::SetText(&page, IDC_NAME, "LINE-7");
        afxtest::SetText(&page, IDC_NAME, "LINE-7 AND MORE");
        EXPECT_EQ(Text(&page, IDC_NAME), "LINE-7") << "typing went over the limit";
        afxtest::Click(&sheet, IDOK);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(sheet.m_line.m_window, 6);
    EXPECT_EQ(sheet.m_line.m_name, "LINE-7");
    EXPECT_EQ(afxtest::MessageBoxes().size(), std::size(rows) + 1);
}

// A page's handler runs a modal dialog and then asks Yes/No; what it does follows the
// answers. The dialog's own validation keeps it open with the standard text.
TEST_F(MfcTest, ModalDialogFromPageHandlerAsksYesNoAndActsOnTheAnswer)
{
    struct Row {
        const char* name;
        std::vector<const char*> typed;  // each entry is one press of OK; the last one passes
        bool ok;
        int answer;  // 0: no question expected
        UINT bus;
        int saves;
        const char* event;
    };
    const Row rows[] = {
        {"saved on Yes", {"4"}, true, IDYES, 4, 1, "saved"},
        {"kept on No", {"4"}, true, IDNO, 0, 0, "not saved"},
        {"cancelled dialog asks nothing", {"4"}, false, 0, 0, 0, "configuration cancelled"},
        {"out of range, then good", {"11", "3"}, true, IDYES, 3, 1, "saved"},
        {"negative, then good", {"-1", "10"}, true, IDYES, 10, 1, "saved"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        afxtest::BeginScript();
        CSampleSheet sheet;
        afxtest::RunModal([](CWnd* s) {
            afxtest::Click(&static_cast<CSampleSheet*>(s)->m_line, IDC_CONFIGURATION);
            afxtest::Click(s, IDCANCEL);
        });
        afxtest::RunModal([&row](CWnd* dlg) {
            EXPECT_EQ(Text(dlg, IDC_BUS), "0");
            for (size_t i = 0; i < row.typed.size(); ++i) {
                afxtest::SetText(dlg, IDC_BUS, row.typed[i]);
                afxtest::Click(dlg, row.ok ? IDOK : IDCANCEL);
            }
        });
        for (size_t i = 1; i < row.typed.size(); ++i) afxtest::AnswerMessageBox(IDOK);  // the refusals
        if (row.answer) afxtest::AnswerMessageBox(row.answer);
        EXPECT_EQ(sheet.DoModal(), IDCANCEL);
        EXPECT_EQ(sheet.m_line.m_bus, row.bus);
        EXPECT_EQ(sheet.m_line.m_saves, row.saves);
        ASSERT_GE(sheet.m_line.events.size(), 2u);
        EXPECT_EQ(sheet.m_line.events[sheet.m_line.events.size() - 2], row.event);  // before "destroy"
        const auto& boxes = afxtest::MessageBoxes();
        if (row.answer) {
            ASSERT_FALSE(boxes.empty());
            EXPECT_EQ(boxes.back().text, "Save configuration changes?");
            EXPECT_EQ(boxes.back().caption, "Configuration");
            EXPECT_EQ(boxes.back().type & 0x0F, static_cast<UINT>(MB_YESNO));
        }
        if (row.typed.size() > 1) {
            ASSERT_GE(boxes.size(), 1u);
            EXPECT_EQ(boxes.front().text, std::string(row.typed[0]) == "11"
                                              ? "Please enter an integer between 0 and 10."
                                              : "Please enter a positive integer.");
        }
        EXPECT_EQ(afxtest::Misses(), 0);
        EXPECT_EQ(afxtest::Pending(), 0u);
    }
}

// A right click on the owner-drawn lamp pops its menu with the current checks; the
// chosen command reaches the page's handler through the message loop.
TEST_F(MfcTest, PopupMenuCommandReachesItsHandler)
{
    CSampleSheet sheet;
    int result = Run(sheet, [&](CPropertySheet&) {
        CLinePage& page = sheet.m_line;
        EXPECT_EQ(afxtest::ToolTip(&page.m_lamp), "Layer 1: Synchronised");

        afxtest::ChooseMenu(ID_OUT_OF_SERVICE);
        afxtest::RightClick(&page.m_lamp, 5, 5);
        ASSERT_EQ(afxtest::Menus().size(), 1u);
        const auto& first = afxtest::Menus()[0];
        ASSERT_EQ(first.items.size(), 2u);
        EXPECT_EQ(first.items[0].text, "Out Of Service");
        EXPECT_FALSE(first.items[0].checked);
        EXPECT_FALSE(first.items[1].checked);
        EXPECT_TRUE(PumpUntil([&] { return page.m_lamp.outOfService.load(); }));
        EXPECT_EQ(LastEvent(page), "out of service");
        EXPECT_EQ(afxtest::ToolTip(&page.m_lamp), "Layer 1: Out of service");

        afxtest::ChooseMenu(0);  // dismissed
        afxtest::RightClick(&page.m_lamp, 5, 5);
        EXPECT_TRUE(afxtest::Menus()[1].items[0].checked);
        AfxPumpMessages();
        EXPECT_TRUE(page.m_lamp.outOfService);

        afxtest::ChooseMenu(ID_DEBUG_LOG);
        afxtest::RightClick(&page.m_lamp, 5, 5);
        EXPECT_TRUE(PumpUntil([&] { return page.m_lamp.debugLog; }));
        EXPECT_EQ(LastEvent(page), "debug log on");

        bool toggle = page.m_lamp.toggle;
        afxtest::LeftClick(&page.m_lamp, 5, 5);
        EXPECT_NE(page.m_lamp.toggle, toggle);
        afxtest::CloseWindow(&sheet);
    });
    EXPECT_EQ(result, IDCANCEL);
}

// A worker thread's Invalidate repaints later, on the user-interface thread.
TEST_F(MfcTest, InvalidateFromWorkerThreadRepaintsOnTheUiThread)
{
    CSampleSheet sheet;
    int result = Run(sheet, [&](CPropertySheet&) {
        CLampButton& lamp = sheet.m_line.m_lamp;
        ASSERT_TRUE(PumpUntil([&] { return lamp.paints > 0; }));
        int before = lamp.paints;
        std::thread worker([&] {
            lamp.outOfService = true;
            lamp.Invalidate();
        });
        worker.join();
        EXPECT_EQ(lamp.paints, before) << "painted before the user-interface thread ran";
        EXPECT_TRUE(PumpUntil([&] { return lamp.paints > before; }));
        EXPECT_FALSE(lamp.paintedOffUiThread);
        afxtest::Click(&sheet, IDCANCEL);
    });
    EXPECT_EQ(result, IDCANCEL);
    // The window is gone: a late call from a worker does nothing.
    std::thread late([&] { sheet.m_line.m_lamp.Invalidate(); });
    late.join();
    AfxPumpMessages();
    EXPECT_EQ(sheet.m_line.m_lamp.m_hWnd, nullptr);
}

// Pages come and go while the sheet runs; a page's window is made when it is first shown
// and destroyed when it is removed. A sheet without OK and Cancel closes by its close box.
TEST_F(MfcTest, PagesAreAddedAndRemovedWhileTheSheetRuns)
{
    CSampleSheet sheet;
    sheet.m_hideButtons = true;
    CLinePage extra;
    int result = Run(sheet, [&](CPropertySheet&) {
        EXPECT_FALSE(sheet.GetDlgItem(IDOK)->IsWindowVisible());
        EXPECT_FALSE(sheet.GetDlgItem(IDCANCEL)->IsWindowVisible());
        EXPECT_EQ(sheet.GetDlgItem(ID_APPLY_NOW)->IsWindowVisible(), TRUE);
        EXPECT_EQ(sheet.m_line.GetParent(), &sheet);
        EXPECT_EQ(sheet.m_line.m_lamp.GetParent(), &sheet.m_line);
        CTabCtrl* tabs = sheet.GetTabControl();
        ASSERT_NE(tabs, nullptr);
        EXPECT_EQ(tabs->GetItemCount(), 2);
        EXPECT_EQ(sheet.m_device.m_hWnd, nullptr) << "made before it was shown";

        sheet.RemovePage(&sheet.m_line);
        EXPECT_EQ(tabs->GetItemCount(), 1);
        EXPECT_EQ(sheet.GetPageCount(), 1);
        EXPECT_EQ(sheet.m_line.m_hWnd, nullptr);
        EXPECT_EQ(LastEvent(sheet.m_line), "destroy");
        EXPECT_EQ(sheet.GetActivePage(), &sheet.m_device);
        EXPECT_NE(sheet.m_device.m_root, nullptr);

        sheet.AddPage(&extra);
        EXPECT_EQ(tabs->GetItemCount(), 2);
        EXPECT_EQ(extra.m_hWnd, nullptr);
        afxtest::SelectSheetPage(&sheet, 1);
        EXPECT_EQ(sheet.GetActiveIndex(), 1);
        ASSERT_NE(extra.m_hWnd, nullptr);
        EXPECT_EQ(extra.events, (std::vector<std::string>{"init", "set active"}));
        afxtest::SelectSheetPage(&sheet, 0);
        EXPECT_EQ(extra.events.back(), "kill active");
        afxtest::CloseWindow(&sheet);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(extra.m_hWnd, nullptr);
    EXPECT_EQ(extra.events.back(), "destroy");
}

// Tabs, lists, sliders, spins, trees and buttons tell their page what the user did.
TEST_F(MfcTest, ControlsNotifyTheirPage)
{
    CSampleSheet sheet;
    int result = Run(sheet, [&](CPropertySheet&) {
        CLinePage& line = sheet.m_line;
        afxtest::SelectTab(&line, IDC_LINES, 1);
        EXPECT_EQ(LastEvent(line), "line 1");
        EXPECT_EQ(line.m_line, 1);
        afxtest::SelectCombo(&line, IDC_FRAMING, 2);
        EXPECT_EQ(LastEvent(line), "framing 2");
        afxtest::MoveSlider(&line, IDC_WINDOW_SLIDER, 3);
        EXPECT_EQ(LastEvent(line), "slider 3");
        EXPECT_EQ(Text(&line, IDC_WINDOW), "3");
        afxtest::SpinBy(&line, IDC_WINDOW_SPIN, 1);
        EXPECT_EQ(LastEvent(line), "spin 4");
        EXPECT_EQ(static_cast<CSliderCtrl*>(line.GetDlgItem(IDC_WINDOW_SLIDER))->GetPos(), 4);
        afxtest::SetText(&line, IDC_WINDOW, "7");
        afxtest::SpinBy(&line, IDC_WINDOW_SPIN, 1);  // at the top: nothing moves
        EXPECT_EQ(LastEvent(line), "spin 4");
        EXPECT_EQ(Text(&line, IDC_WINDOW), "7");
        // Changes made by the program tell nobody.
        size_t events = line.events.size();
        static_cast<CTabCtrl*>(line.GetDlgItem(IDC_LINES))->SetCurSel(0);
        static_cast<CComboBox*>(line.GetDlgItem(IDC_FRAMING))->SetCurSel(0);
        EXPECT_EQ(line.events.size(), events);

        afxtest::SelectSheetPage(&sheet, 1);
        CDevicePage& device = sheet.m_device;
        EXPECT_EQ(device.m_tree.GetCount(), 8u);
        EXPECT_EQ(device.m_tree.GetItemText(device.m_tree.GetRootItem()), "Adapter");
        afxtest::SelectTreeItem(&device, IDC_TREE, device.m_module);
        EXPECT_EQ(device.m_text, "Module 0\r\nItemCode= 0x04000000\r\n");
        EXPECT_EQ(Text(&device, IDC_DUMP), "Module 0\r\nItemCode= 0x04000000\r\n");
        int image = -1, selected = -1;
        device.m_tree.GetItemImage(device.m_module, image, selected);
        EXPECT_EQ(image, 1);
        afxtest::Click(&device, IDC_REFRESH);
        EXPECT_EQ(device.m_text, "Module 0\r\nItemCode= 0x04000000\r\nRefreshed\r\n");
        afxtest::Click(&device, IDC_RESET);
        EXPECT_EQ(device.m_resets, 1);
        EXPECT_EQ(device.m_images.GetImageCount(), 2);
        afxtest::Click(&sheet, IDCANCEL);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(sheet.m_device.m_resets, 1) << "the sheet's Cancel reached the page's button handler";
}

// Window timers reach OnTimer; thread timers call their procedure; both on this thread.
TEST_F(MfcTest, TimersFireOnTheUiThread)
{
    static std::atomic<int> ticks{0};
    static std::thread::id where;
    ticks = 0;
    UINT_PTR id = ::SetTimer(nullptr, 0, 20, [](HWND, UINT message, UINT_PTR, DWORD) {
        if (message == WM_TIMER) ++ticks;
        where = std::this_thread::get_id();
    });
    ASSERT_NE(id, 0u);
    CSampleSheet sheet;
    int result = Run(sheet, [&](CPropertySheet&) {
        EXPECT_TRUE(PumpUntil([&] { return sheet.m_line.m_ticks >= 2 && ticks >= 2; }));
        afxtest::Click(&sheet, IDCANCEL);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(where, std::this_thread::get_id());
    ::KillTimer(nullptr, id);
    AfxPumpMessages();
    int stopped = ticks;
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    AfxPumpMessages();
    EXPECT_EQ(ticks, stopped);
}

// Pictures of the sample sheet, one per page, for a person to look at.
TEST_F(MfcTest, ScreenshotOfTheSampleSheet)
{
    CSampleSheet sheet;
    sheet.m_line.m_name = "Line A";
    sheet.m_line.m_framing = 0;
    sheet.m_line.m_number = "5551200";
    bool saved[2] = {false, false};
    int result = Run(sheet, [&](CPropertySheet&) {
        saved[0] = afxtest::SaveImage(&sheet, "mfc_sample_line.png");
        afxtest::SelectSheetPage(&sheet, 1);
        afxtest::SelectTreeItem(&sheet.m_device, IDC_TREE, sheet.m_device.m_module);
        saved[1] = afxtest::SaveImage(&sheet, "mfc_sample_device.png");
        afxtest::Click(&sheet, IDOK);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_TRUE(saved[0]);
    EXPECT_TRUE(saved[1]);
}

// A sheet that owns its pages deletes them when its window goes, as the main sheet does.
class COwningSheet : public CPropertySheet {
public:
    COwningSheet() : CPropertySheet("Owner")
    {
        for (int i = 0; i < 3; ++i) {
            pages.push_back(new CLinePage);
            AddPage(pages.back());
        }
    }
    std::vector<CLinePage*> pages;
    bool destroyed = false;

protected:
    void OnDestroy()
    {
        CPropertySheet::OnDestroy();
        for (CLinePage* p : pages) delete p;
        pages.clear();
        destroyed = true;
    }
    DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(COwningSheet, CPropertySheet)
    ON_WM_DESTROY()
END_MESSAGE_MAP()

TEST_F(MfcTest, SheetDeletesItsPagesWhenItsWindowGoes)
{
    COwningSheet sheet;
    int result = Run(sheet, [&](CPropertySheet&) {
        afxtest::SelectSheetPage(&sheet, 2);  // two of three pages have windows
        EXPECT_NE(sheet.pages[2]->m_hWnd, nullptr);
        EXPECT_EQ(sheet.pages[1]->m_hWnd, nullptr);
        afxtest::CloseWindow(&sheet);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_TRUE(sheet.destroyed);
    EXPECT_EQ(sheet.m_hWnd, nullptr);
}

// A scripted run never hangs: a prompt without an answer is cancelled, and so is a
// dialog that its action leaves open; both count as misses.
TEST_F(MfcTest, ScriptedRunsNeverWaitForAPerson)
{
    CBusDialog dlg;
    afxtest::RunModal([](CWnd*) {});
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(afxtest::Misses(), 1);
    CSampleSheet sheet;
    EXPECT_EQ(sheet.DoModal(), IDCANCEL);  // no action queued
    EXPECT_EQ(::MessageBox(nullptr, "Restart now?", "Setup", MB_YESNO), IDNO);
    afxtest::AnswerMessageBox(IDOK);  // does not fit a Yes/No box
    EXPECT_EQ(::MessageBox(nullptr, "Restart now?", "Setup", MB_YESNO), IDNO);
    EXPECT_EQ(afxtest::Misses(), 4);
    afxtest::BeginScript();  // start clean for the fixture's checks
}

// A sheet runs again after it closed, with fresh windows; a dialog's close box cancels it.
TEST_F(MfcTest, SheetRunsAgainAndCloseBoxCancelsADialog)
{
    CSampleSheet sheet;
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        int result = Run(sheet, [&](CPropertySheet&) {
            EXPECT_EQ(Text(&sheet.m_line, IDC_NAME), run == 0 ? "" : "kept");
            afxtest::SetText(&sheet.m_line, IDC_NAME, "kept");
            afxtest::Click(&sheet, IDOK);
        });
        EXPECT_EQ(result, IDOK);
        EXPECT_EQ(sheet.m_line.m_name, "kept");
    }
    EXPECT_EQ(std::count(sheet.m_line.events.begin(), sheet.m_line.events.end(), "init"), 2);

    // A page also runs alone as a modal dialog.
    CLinePage alone;
    afxtest::RunModal([&alone](CWnd* d) {
        EXPECT_EQ(d, &alone);
        EXPECT_EQ(alone.GetParent(), nullptr);
        afxtest::SetText(d, IDC_WINDOW, "2");
        ASSERT_TRUE(alone.UpdateData(TRUE));
        alone.EndDialog(IDOK);
    });
    EXPECT_EQ(alone.DoModal(), IDOK);
    EXPECT_EQ(alone.m_window, 2);
    EXPECT_EQ(alone.events.front(), "init");

    CBusDialog dlg;
    dlg.m_bus = 3;
    afxtest::RunModal([](CWnd* d) {
        afxtest::SetText(d, IDC_BUS, "7");
        afxtest::CloseWindow(d);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(dlg.m_bus, 3u);
}

// The file dialog browses the run's drive folders under the machine's own names.
TEST_F(MfcTest, FileDialogPathsAreTheMachinesDrivesUnderTheRunsRoot)
{
    namespace fs = std::filesystem;
    const fs::path root = fs::path(testing::TempDir()) / "mfc_drives";
    fs::remove_all(root);
    fs::create_directories(root / "C" / "WINNT" / "System32" / "drivers");
    const QString r = QDir(QString::fromStdString(root.string())).absolutePath();
    struct Case {
        QString machine, host;
    } toHost[] = {
        {"C:\\WINNT\\system32\\drivers", r + "/C/WINNT/System32/drivers"},  // matched without regard to case
        {"c:\\new\\armcsm", r + "/C/new/armcsm"},                                  // a name not there yet
        {"C:\\..\\..\\etc", r + "/C/etc"},                                       // never above the drive
        {"", ""},
        {"/tmp/file", "/tmp/file"},                                                 // no drive: as it is
    };
    struct Back {
        QString host, machine;
    } toMachine[] = {
        {r + "/C/WINNT/System32/drivers/armcsm", "C:\\WINNT\\System32\\drivers\\armcsm"},
        {r + "/C", "C:\\"},
        {"/tmp/elsewhere", "/tmp/elsewhere"},  // outside the run: as it is
        {r + "/registry.reg", r + "/registry.reg"},
    };
    unsetenv("VORNET_ROOT");
    EXPECT_EQ(afx::HostPathOf("C:\\WINNT"), "C:\\WINNT") << "without a run, paths stay";
    EXPECT_EQ(afx::MachinePathOf(r + "/C/x"), r + "/C/x");
    setenv("VORNET_ROOT", root.c_str(), 1);
    for (const Case& c : toHost) EXPECT_EQ(afx::HostPathOf(c.machine), c.host) << c.machine.toStdString();
    for (const Back& c : toMachine) EXPECT_EQ(afx::MachinePathOf(c.host), c.machine) << c.host.toStdString();
    unsetenv("VORNET_ROOT");
    fs::remove_all(root);
}

// Strings, collections, files and the file dialog behave as the pages expect.
TEST_F(MfcTest, StringsCollectionsAndFiles)
{
    CString s;
    s.Format("Port %d: 0x%08X", 2, 0xABCDu);
    EXPECT_EQ(s, "Port 2: 0x0000ABCD");
    EXPECT_EQ(s.Left(4), "Port");
    EXPECT_EQ(s.Right(4), "ABCD");
    EXPECT_EQ(s.Mid(5, 1), "2");
    EXPECT_EQ(s.Mid(100), "");
    EXPECT_EQ(s.Left(-1), "");
    EXPECT_EQ(s.Find("0x"), 8);
    EXPECT_EQ(s.ReverseFind('0'), 13);
    CString digits = "555-12 34";
    EXPECT_EQ(digits.Remove('-') + digits.Remove(' '), 2);
    EXPECT_EQ(digits, "5551234");
    CString path = "C:\\winnt\\system32\\drivers\\armcsm";
    EXPECT_EQ(path.Left(path.ReverseFind('\\')), "C:\\winnt\\system32\\drivers");
    CString upper = "ab1f";
    EXPECT_EQ(upper.MakeUpper(), "AB1F");
    CString loaded = "unchanged";
    EXPECT_FALSE(loaded.LoadString(9999));
    EXPECT_EQ(loaded, "unchanged");
    EXPECT_TRUE(loaded.LoadString(IDS_CAPTION));
    EXPECT_EQ(loaded, "Sample Sheet");
    char* buffer = s.GetBuffer(40);
    std::strcpy(buffer, "RIROVE line");
    s.ReleaseBuffer();
    EXPECT_EQ(s, "RIROVE line");

    CArray<UINT, UINT> a;
    a.SetSize(3);
    a[2] = 7;
    EXPECT_EQ(a.Add(9), 3);
    a.RemoveAt(0);
    EXPECT_EQ(a.GetSize(), 3);
    EXPECT_EQ(a[1], 7u);
    EXPECT_THROW(a.RemoveAt(3), std::out_of_range);
    CMap<UINT, UINT, CString, LPCTSTR> m;
    m.SetAt(2031, "layer 1");
    m[2033] = "layer 2";
    CString found;
    EXPECT_TRUE(m.Lookup(2033, found));
    EXPECT_EQ(found, "layer 2");
    EXPECT_FALSE(m.Lookup(1, found));
    int walked = 0;
    for (POSITION pos = m.GetStartPosition(); pos;) {
        UINT key;
        CString value;
        m.GetNextAssoc(pos, key, value);
        ++walked;
    }
    EXPECT_EQ(walked, 2);

    // A file chosen in the file dialog is written and read back.
    std::string name = testing::TempDir() + "mfc_file_test.log";
    afxtest::AnswerFileDialog(name);
    afxtest::AnswerFileDialog("");
    CFileDialog save(FALSE, "log", nullptr, OFN_OVERWRITEPROMPT, "Log Files (*.log)|*.log|All Files (*.*)|*.*||");
    ASSERT_EQ(save.DoModal(), IDOK);
    EXPECT_EQ(save.GetPathName(), name.c_str());
    EXPECT_EQ(save.GetFileExt(), "log");
    CFileDialog cancelled(TRUE);
    EXPECT_EQ(cancelled.DoModal(), IDCANCEL);
    CFile out;
    ASSERT_TRUE(out.Open(save.GetPathName(), CFile::modeCreate | CFile::modeWrite));
    out.Write("Line 0 Parameters:\n", 19);
    out.Close();
    CFile in;
    ASSERT_TRUE(in.Open(save.GetPathName(), CFile::modeRead));
    EXPECT_EQ(in.GetLength(), 19u);
    char text[32] = {};
    EXPECT_EQ(in.Read(text, sizeof text), 19u);
    EXPECT_STREQ(text, "Line 0 Parameters:\n");
    CFileException error;
    CFile missing;
    EXPECT_FALSE(missing.Open((name + ".none").c_str(), CFile::modeRead, &error));
    EXPECT_NE(error.m_cause, 0);
}

}  // namespace
