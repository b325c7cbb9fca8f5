// What the library's parts share: window handles, the widget classes behind them and
// the helpers that turn Qt events into window messages.
#pragma once

#include <QtWidgets>

#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "platform/mfc/afxdlgs.h"

// Every widget of the library carries its window handle; null once the window is gone.
struct AfxHolder {
    virtual ~AfxHolder() = default;
    HWND h = nullptr;
};

struct HWND__ {
    QWidget* widget = nullptr;
    CWnd* owner = nullptr;     // the object that gets the window's messages
    CWnd* own = nullptr;       // the library's object of a template control, deleted with it
    int id = 0;
    AfxItem kind = AfxItem::LText;
    DWORD style = 0;
    HWND parent = nullptr;
    std::vector<HWND> children;
    bool tooltips = false;
    bool ownerDraw = false;
    std::map<UINT_PTR, QTimer*> timers;
    // Controls.
    QButtonGroup* radioGroup = nullptr;
    HWND buddy = nullptr;  // spin control's buddy
    int spinLower = 0, spinUpper = 100, spinPos = 0, spinBase = 10;
    CImageList* images = nullptr;
    HBITMAP picture = nullptr;  // static picture, owned by the caller
    int limit = 0;              // edit's text limit, 0 for none
    bool quiet = false;         // a programmatic change: no notification
};

struct HDC__ {
    QPainter* painter = nullptr;
    HBITMAP__* bitmap = nullptr;  // memory context: the selected bitmap
    CDC* dc = nullptr;
    QColor text = Qt::black;
    QFont font;
    bool transparent = false;
};
struct HBITMAP__ {
    QImage image;
};
struct HFONT__ {
    QFont font;
};
struct HMENU__ {
    struct Item {
        std::string text;
        UINT id = 0;
        UINT flags = 0;
        HMENU popup = nullptr;
    };
    std::vector<Item> items;
};
struct HIMAGELIST__ {
    int cx = 16, cy = 16;
    int limit = 0;  // 0: grows
    std::vector<QPixmap> images;
};

namespace afx {

std::recursive_mutex& WindowLock();
bool IsLive(HWND h);
HWND NewHandle(QWidget* w, CWnd* owner, HWND parent, int id);
void FreeHandle(HWND h, bool deleteWidget);
void NotifyDestroy(HWND h);
AfxHolder* HolderOf(QWidget* w);
bool OnUiThread();

// Sends a message to the window's owner; true when a handler took it.
bool Route(HWND h, UINT message, WPARAM wParam, LPARAM lParam, const std::function<void()>& deflt);
// A control tells its parent: WM_COMMAND with its id and the code.
void Command(HWND control, UINT code);
// A control tells its parent: WM_NOTIFY with the header (filled with the control here).
LRESULT Notify(HWND control, NMHDR* hdr);
void Scroll(HWND control, UINT message, UINT code, int pos);
// The text the control's parent gives for its tooltip, when tooltips are on.
bool ToolTipFor(HWND control, std::string& text);

// Holds what the user types in the edit to n characters (0: no limit).
void LimitText(HWND h, QLineEdit* edit, int n);

// Dialog units to pixels.
int Dx(int du);
int Dy(int du);
QFont DialogFont();

// Builds the window of a dialog template: a top-level dialog, or a child (a page).
QWidget* CreateDialogWindow(CWnd* owner, const AFX_DLGTEMPLATE* t, QWidget* parent, bool child);
HWND CreateControl(HWND parent, AfxItem kind, int id, const char* text, QRect r, DWORD style,
                   const char* const* entries = nullptr, UINT image = 0);

// Modal loops.
int RunModal(QWidget* window, std::function<bool()> ended);
void EndModal(QWidget* window);

// Scripting.
enum class Prompt { MessageBox, Menu, File, Modal };
bool ScriptTakes(Prompt kind);  // true when scripted (the entry, if any, is at the front)
int ScriptMessageBox(const std::string& text, const std::string& caption, UINT type);
UINT ScriptMenu(HMENU menu);
bool ScriptFile(std::string& path);
bool ScriptModal(CWnd* dialog);  // posts the queued action into the coming loop

// The file dialog browses the machine's drives: "C:\dir" is the run's folder
// VORNET_ROOT/C/dir (names matched without regard to case), and a file chosen there goes
// back as "C:\dir\file". Paths without a drive, or outside the run, stay as they are.
QString HostPathOf(const QString& machinePath);
QString MachinePathOf(const QString& hostPath);

QImage BitmapImage(UINT id);
QPixmap ImageListPixmap(CImageList* list, int index);

// The window whose messages are being handled: for CWnd::Default.
struct DefaultScope {
    explicit DefaultScope(const std::function<void()>* f);
    ~DefaultScope();
};
void RunDefault();

}  // namespace afx

struct AfxWindowAccess {
    static void SetModal(CDialog* d, bool on) { d->m_bInModal = on; }
    static int& Result(CDialog* d) { return d->m_nModalResult; }
    static UINT Template(CDialog* d) { return d->m_nIDTemplate; }
    static CWnd* Parent(CDialog* d) { return d->m_pParentWnd; }
    static void OK(CDialog* d) { d->OnOK(); }
    static void Cancel(CDialog* d) { d->OnCancel(); }
    static void PressOK(CPropertySheet* s) { s->PressOK(); }
    static void PressCancel(CPropertySheet* s) { s->PressCancel(); }
    static void PressApply(CPropertySheet* s) { s->PressApply(); }
    static bool Activate(CPropertySheet* s, int i) { return s->Activate(i); }
    static int Result(CPropertySheet* s) { return s->result_; }
};
