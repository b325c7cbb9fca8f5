// Driving the user interface from tests and tools: answers for message boxes, menus,
// file dialogs and modal dialogs come from a queue instead of a person, user actions
// are simulated through the controls' own paths, and windows are saved as pictures.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/mfc/afxcmn.h"

namespace afxtest {

struct MessageBoxShown {
    std::string text;
    std::string caption;
    UINT type;
    int answer;
};
struct MenuItemShown {
    std::string text;
    UINT id;
    bool checked;
    bool grayed;
};
struct MenuShown {
    std::vector<MenuItemShown> items;
    UINT chosen;
};

// Scripted mode: every message box, popup menu, file dialog and modal dialog takes
// the next entry of the queue. An empty queue or an entry of the wrong kind is a miss:
// the prompt is cancelled and counted.
void BeginScript();
void EndScript();
bool Scripted();
void AnswerMessageBox(int id);             // IDOK, IDYES, IDNO, ...
void ChooseMenu(UINT command);             // 0: dismissed
void AnswerFileDialog(const std::string& path);  // empty: cancelled
// Runs `action` inside the next modal loop (dialog or sheet) once it is shown; the
// action ends the dialog, for instance with Click(dialog, IDOK).
void RunModal(std::function<void(CWnd* dialog)> action);
size_t Pending();
int Misses();
const std::vector<MessageBoxShown>& MessageBoxes();
const std::vector<MenuShown>& Menus();

// User actions on a control of `parent`, through the same signals a person triggers.
void Click(CWnd* parent, int id);
void SetText(CWnd* parent, int id, const std::string& text);  // typing into an edit
void SelectCombo(CWnd* parent, int id, int index);
void SelectTab(CWnd* parent, int id, int index);
void SelectSheetPage(CWnd* sheet, int index);  // the user clicks a page's tab
void SpinBy(CWnd* parent, int id, int delta);
void MoveSlider(CWnd* parent, int id, int pos);
void SelectTreeItem(CWnd* parent, int id, HTREEITEM item);
void RightClick(CWnd* control, int x, int y);
void LeftClick(CWnd* control, int x, int y);
void CloseWindow(CWnd* window);  // the window's close box
// The tooltip the control's parent gives for it ("" for none).
std::string ToolTip(CWnd* control);
// Where line `line` of a multi-line edit ends, in pixels from the left of its view
// (unwrapped, tab stops applied), and how far from that left the window shows the view;
// -1 when there is none.
int TextLineRight(CWnd* parent, int id, int line);
int TextViewWidth(CWnd* parent, int id);
// Saves the window as a PNG picture.
bool SaveImage(CWnd* window, const std::string& path);

}  // namespace afxtest
