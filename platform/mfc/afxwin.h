// The user-interface class library for the applet and the setup library: MFC's
// classes, members and message maps over Qt 6 Widgets. Windows are Qt widgets laid
// out from dialog templates given as tables in dialog units; resources (strings,
// dialogs, menus, bitmaps) come from tables that the module registers. Everything
// runs on the user-interface thread except CWnd::Invalidate, which any thread may call.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---- Basic Win32 types -----------------------------------------------------------
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef uintptr_t UINT_PTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef char TCHAR;
typedef char* LPTSTR;
typedef const char* LPCTSTR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef DWORD COLORREF;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef _T
#define _T(x) x
#endif

struct HWND__;
typedef HWND__* HWND;
struct HDC__;
typedef HDC__* HDC;
struct HBITMAP__;
typedef HBITMAP__* HBITMAP;
struct HFONT__;
typedef HFONT__* HFONT;
struct HMENU__;
typedef HMENU__* HMENU;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef void (*TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

struct POINT { LONG x, y; };
typedef POINT* LPPOINT;
struct SIZE { LONG cx, cy; };
struct RECT { LONG left, top, right, bottom; };
typedef RECT* LPRECT;
typedef const RECT* LPCRECT;

inline WORD LOWORD(uintptr_t v) { return static_cast<WORD>(v & 0xFFFF); }
inline WORD HIWORD(uintptr_t v) { return static_cast<WORD>((v >> 16) & 0xFFFF); }
inline WPARAM MAKEWPARAM(unsigned lo, unsigned hi) { return (WPARAM)((lo & 0xFFFF) | ((hi & 0xFFFF) << 16)); }
inline LPARAM MAKELPARAM(unsigned lo, unsigned hi) { return (LPARAM)(DWORD)((lo & 0xFFFF) | ((hi & 0xFFFF) << 16)); }
inline constexpr COLORREF RGB(int r, int g, int b) { return (DWORD)(r & 0xFF) | ((DWORD)(g & 0xFF) << 8) | ((DWORD)(b & 0xFF) << 16); }
inline int GetRValue(COLORREF c) { return c & 0xFF; }
inline int GetGValue(COLORREF c) { return (c >> 8) & 0xFF; }
inline int GetBValue(COLORREF c) { return (c >> 16) & 0xFF; }

// Window messages that message maps name.
enum : UINT {
    WM_DESTROY = 0x0002, WM_MOVE = 0x0003, WM_SIZE = 0x0005, WM_SETFOCUS = 0x0007,
    WM_KILLFOCUS = 0x0008, WM_PAINT = 0x000F, WM_CLOSE = 0x0010, WM_NOTIFY = 0x004E,
    WM_INITDIALOG = 0x0110, WM_COMMAND = 0x0111, WM_TIMER = 0x0113, WM_HSCROLL = 0x0114,
    WM_VSCROLL = 0x0115, WM_LBUTTONDOWN = 0x0201, WM_LBUTTONUP = 0x0202,
    WM_RBUTTONDOWN = 0x0204, WM_RBUTTONUP = 0x0205, WM_USER = 0x0400,
};
// Control notification codes.
enum : UINT {
    BN_CLICKED = 0, CBN_SELCHANGE = 1, CBN_EDITCHANGE = 5, CBN_CLOSEUP = 8,
    EN_CHANGE = 0x0300,
};
// Scroll codes of WM_HSCROLL and WM_VSCROLL.
enum : UINT { SB_LINEUP = 0, SB_LINEDOWN = 1, SB_THUMBPOSITION = 4, SB_THUMBTRACK = 5, SB_ENDSCROLL = 8 };
enum : UINT { TB_THUMBPOSITION = 4, TB_ENDTRACK = 8 };
// Dialog command ids.
enum : int { IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7, IDHELP = 9 };
constexpr int IDC_STATIC = -1;
// Message-box types.
enum : UINT {
    MB_OK = 0x00, MB_OKCANCEL = 0x01, MB_ABORTRETRYIGNORE = 0x02, MB_YESNOCANCEL = 0x03,
    MB_YESNO = 0x04, MB_RETRYCANCEL = 0x05, MB_ICONHAND = 0x10, MB_ICONSTOP = 0x10,
    MB_ICONERROR = 0x10, MB_ICONQUESTION = 0x20, MB_ICONEXCLAMATION = 0x30,
    MB_ICONWARNING = 0x30, MB_ICONASTERISK = 0x40, MB_ICONINFORMATION = 0x40,
};
// ShowWindow.
enum : int { SW_HIDE = 0, SW_SHOWNORMAL = 1, SW_SHOW = 5 };
// Window and control styles used by dialog templates.
enum : DWORD {
    WS_VISIBLE = 0x10000000, WS_DISABLED = 0x08000000, WS_GROUP = 0x00020000,
    WS_TABSTOP = 0x00010000, WS_VSCROLL = 0x00200000, WS_HSCROLL = 0x00100000,
    WS_BORDER = 0x00800000,
    BS_OWNERDRAW = 0x0000000B,
    ES_CENTER = 0x0001, ES_RIGHT = 0x0002, ES_MULTILINE = 0x0004, ES_AUTOHSCROLL = 0x0080,
    ES_READONLY = 0x0800, ES_NUMBER = 0x2000,
    SS_LEFT = 0x0000, SS_CENTER = 0x0001, SS_RIGHT = 0x0002, SS_SUNKEN = 0x1000,
    CBS_DROPDOWN = 0x0002, CBS_DROPDOWNLIST = 0x0003, CBS_SORT = 0x0100,
    UDS_WRAP = 0x0001, UDS_SETBUDDYINT = 0x0002, UDS_ALIGNRIGHT = 0x0004,
    UDS_AUTOBUDDY = 0x0010, UDS_ARROWKEYS = 0x0020, UDS_HORZ = 0x0040,
    TBS_AUTOTICKS = 0x0001, TBS_VERT = 0x0002,
    TVS_HASBUTTONS = 0x0001, TVS_HASLINES = 0x0002, TVS_LINESATROOT = 0x0004,
    TVS_DISABLEDRAGDROP = 0x0010, TVS_SHOWSELALWAYS = 0x0020,
};
// Button check states.
enum : int { BST_UNCHECKED = 0, BST_CHECKED = 1 };
// Owner draw.
enum : UINT { ODT_BUTTON = 4, ODA_DRAWENTIRE = 1, ODA_SELECT = 2, ODA_FOCUS = 4 };
enum : UINT { ODS_SELECTED = 0x0001, ODS_DISABLED = 0x0004, ODS_FOCUS = 0x0010 };
// Raster operation of BitBlt.
constexpr DWORD SRCCOPY = 0x00CC0020;
// Menus.
enum : UINT {
    MF_BYCOMMAND = 0x0000, MF_BYPOSITION = 0x0400, MF_STRING = 0x0000, MF_UNCHECKED = 0x0000,
    MF_CHECKED = 0x0008, MF_ENABLED = 0x0000, MF_GRAYED = 0x0001, MF_DISABLED = 0x0002,
    MF_POPUP = 0x0010, MF_SEPARATOR = 0x0800,
    TPM_LEFTALIGN = 0x0000, TPM_LEFTBUTTON = 0x0000, TPM_RIGHTBUTTON = 0x0002,
    TPM_RETURNCMD = 0x0100,
};
// Fonts.
enum : int { FW_NORMAL = 400, FW_BOLD = 700 };
enum : BYTE {
    DEFAULT_CHARSET = 1, ANSI_CHARSET = 0, OUT_DEFAULT_PRECIS = 0, CLIP_DEFAULT_PRECIS = 0,
    DEFAULT_QUALITY = 0, PROOF_QUALITY = 2, VARIABLE_PITCH = 2, FF_SWISS = 0x20,
};

// Notification header of WM_NOTIFY.
struct NMHDR {
    HWND hwndFrom;
    UINT_PTR idFrom;
    UINT code;
};
typedef NMHDR* LPNMHDR;

struct DRAWITEMSTRUCT {
    UINT CtlType;
    UINT CtlID;
    UINT itemID;
    UINT itemAction;
    UINT itemState;
    HWND hwndItem;
    HDC hDC;
    RECT rcItem;
    UINT_PTR itemData;
};
typedef DRAWITEMSTRUCT* LPDRAWITEMSTRUCT;

struct BITMAP {
    LONG bmType;
    LONG bmWidth;
    LONG bmHeight;
    LONG bmWidthBytes;
    WORD bmPlanes;
    WORD bmBitsPixel;
    void* bmBits;
};

// ---- Resources -------------------------------------------------------------------
// A module describes its resources in tables and registers them with
// AfxRegisterResources; lookups walk the registered tables in order.

// Kinds of dialog items.
enum class AfxItem : BYTE {
    LText, CText, RText,   // static text
    GroupBox,
    PushButton, DefPushButton,
    CheckBox, RadioButton, // automatic; WS_GROUP on a radio starts a new group
    Edit,                  // ES_MULTILINE for a multi-line edit
    ComboBox,              // CBS_DROPDOWN (editable) or CBS_DROPDOWNLIST
    Bitmap,                // static picture: `image` is the bitmap id
    Tree, Tab, Slider, Spin,
};

struct AFX_DLGITEM {
    AfxItem kind;
    int id;
    const char* text;  // caption; nullptr for none
    short x, y, cx, cy;  // dialog units
    DWORD style = WS_VISIBLE | WS_TABSTOP;
    const char* const* entries = nullptr;  // combo-box entries, ended by nullptr
    UINT image = 0;
};

struct AFX_DLGTEMPLATE {
    UINT id;
    const char* caption;
    short cx, cy;  // dialog units
    const AFX_DLGITEM* items;
    size_t count;
};

struct AFX_MENUITEM {
    const char* text;  // nullptr: a separator
    UINT id;           // command id; 0 for a popup
    const AFX_MENUITEM* popup = nullptr;  // items of a popup, ended by an item with text and id 0 and no popup
    UINT flags = 0;    // MF_CHECKED, MF_GRAYED
};

struct AFX_MENU {
    UINT id;
    const AFX_MENUITEM* items;  // ended as above
};

struct AFX_STRINGRES {
    UINT id;
    const char* text;
};

struct AFX_BITMAPRES {
    UINT id;
    const char* const* xpm;  // the picture in XPM form
};

struct AFX_RESOURCES {
    const AFX_STRINGRES* strings = nullptr;
    size_t string_count = 0;
    const AFX_DLGTEMPLATE* const* dialogs = nullptr;
    size_t dialog_count = 0;
    const AFX_MENU* menus = nullptr;
    size_t menu_count = 0;
    const AFX_BITMAPRES* bitmaps = nullptr;
    size_t bitmap_count = 0;
};

void AfxRegisterResources(const AFX_RESOURCES* table);
void AfxUnregisterResources(const AFX_RESOURCES* table);
const AFX_DLGTEMPLATE* AfxFindDialog(UINT id);
const AFX_MENU* AfxFindMenu(UINT id);
const char* AfxFindString(UINT id);
const AFX_BITMAPRES* AfxFindBitmap(UINT id);

// ---- CString ---------------------------------------------------------------------
class CString {
public:
    CString() = default;
    CString(const char* s) : s_(s ? s : "") {}
    CString(const char* s, int n) : s_(s, static_cast<size_t>(n)) {}
    CString(char ch, int repeat = 1) : s_(static_cast<size_t>(repeat > 0 ? repeat : 0), ch) {}
    CString(const std::string& s) : s_(s) {}

    int GetLength() const { return static_cast<int>(s_.size()); }
    BOOL IsEmpty() const { return s_.empty(); }
    void Empty() { s_.clear(); }
    char GetAt(int i) const { return s_.at(static_cast<size_t>(i)); }
    void SetAt(int i, char ch) { s_.at(static_cast<size_t>(i)) = ch; }
    char operator[](int i) const { return GetAt(i); }
    operator LPCTSTR() const { return s_.c_str(); }
    const std::string& str() const { return s_; }

    CString& operator=(const char* s) { s_ = s ? s : ""; return *this; }
    CString& operator=(char ch) { s_.assign(1, ch); return *this; }
    CString& operator+=(const CString& o) { s_ += o.s_; return *this; }
    CString& operator+=(const char* s) { if (s) s_ += s; return *this; }
    CString& operator+=(char ch) { s_ += ch; return *this; }
    friend CString operator+(const CString& a, const CString& b) { return CString(a.s_ + b.s_); }
    friend CString operator+(const CString& a, const char* b) { return CString(a.s_ + (b ? b : "")); }
    friend CString operator+(const char* a, const CString& b) { return CString((a ? a : "") + b.s_); }
    friend CString operator+(const CString& a, char b) { return CString(a.s_ + b); }
    friend bool operator==(const CString& a, const CString& b) { return a.s_ == b.s_; }
    friend bool operator==(const CString& a, const char* b) { return a.s_ == (b ? b : ""); }
    friend bool operator!=(const CString& a, const CString& b) { return a.s_ != b.s_; }
    friend bool operator!=(const CString& a, const char* b) { return !(a == b); }
    friend bool operator<(const CString& a, const CString& b) { return a.s_ < b.s_; }

    int Compare(const char* s) const { return s_.compare(s ? s : ""); }
    int CompareNoCase(const char* s) const;
    void Format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void FormatV(const char* fmt, va_list args);
    void AppendFormat(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    CString Left(int n) const;
    CString Right(int n) const;
    CString Mid(int first) const;
    CString Mid(int first, int n) const;
    int Find(char ch, int start = 0) const;
    int Find(const char* sub, int start = 0) const;
    int ReverseFind(char ch) const;
    int Replace(char from, char to);
    int Replace(const char* from, const char* to);
    int Remove(char ch);
    int Insert(int index, const char* s);
    int Delete(int index, int count = 1);
    CString SpanIncluding(const char* set) const;
    CString SpanExcluding(const char* set) const;
    CString& MakeUpper();
    CString& MakeLower();
    CString& TrimLeft();
    CString& TrimRight();
    CString& Trim() { TrimRight(); return TrimLeft(); }
    // A string resource of the module; FALSE (and the string unchanged) when missing.
    BOOL LoadString(UINT id);
    // Direct access to the characters: GetBuffer gives room for at least `min` of them;
    // ReleaseBuffer ends the string at `len`, or at the first zero when len is -1.
    LPTSTR GetBuffer(int min = 0);
    LPTSTR GetBufferSetLength(int len);
    void ReleaseBuffer(int len = -1);

private:
    std::string s_;
    std::vector<char> buffer_;
    bool buffered_ = false;
};

// ---- Run-time classes ------------------------------------------------------------
class CObject;
struct CRuntimeClass {
    const char* m_lpszClassName;
    int m_nObjectSize;
    CObject* (*m_pfnCreateObject)();
    const CRuntimeClass* (*m_pfnGetBaseClass)();
    CObject* CreateObject() const { return m_pfnCreateObject ? m_pfnCreateObject() : nullptr; }
    BOOL IsDerivedFrom(const CRuntimeClass* base) const;
};

class CObject {
public:
    virtual ~CObject() = default;
    static const CRuntimeClass classCObject;
    virtual const CRuntimeClass* GetRuntimeClass() const { return &classCObject; }
    BOOL IsKindOf(const CRuntimeClass* c) const { return GetRuntimeClass()->IsDerivedFrom(c); }
};

#define RUNTIME_CLASS(name) (&name::class##name)
// Classes that declare these mark their own overrides `override` as well.
#define DECLARE_DYNAMIC(name)                                   \
public:                                                         \
    static const CRuntimeClass class##name;                     \
    const CRuntimeClass* GetRuntimeClass() const override;
#define DECLARE_DYNCREATE(name)                                 \
    DECLARE_DYNAMIC(name)                                       \
    static CObject* CreateObject();
#define IMPLEMENT_DYNAMIC(name, base)                                                        \
    const CRuntimeClass name::class##name = {#name, static_cast<int>(sizeof(name)), nullptr, \
                                             [] { return RUNTIME_CLASS(base); }};            \
    const CRuntimeClass* name::GetRuntimeClass() const { return RUNTIME_CLASS(name); }
#define IMPLEMENT_DYNCREATE(name, base)                                                    \
    CObject* name::CreateObject() { return new name; }                                     \
    const CRuntimeClass name::class##name = {#name, static_cast<int>(sizeof(name)),        \
                                             &name::CreateObject,                          \
                                             [] { return RUNTIME_CLASS(base); }};          \
    const CRuntimeClass* name::GetRuntimeClass() const { return RUNTIME_CLASS(name); }

// ---- Message maps ----------------------------------------------------------------
class CCmdTarget;
class CWnd;
class CScrollBar;

// What a message-map entry's thunk receives.
struct AFX_MSGARGS {
    UINT nID;
    UINT nCode;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT* pResult;
};
// pExtra of CCmdTarget::OnCmdMsg for a notification.
struct AFX_NOTIFY {
    LRESULT* pResult;
    NMHDR* pNMHDR;
};
typedef LRESULT (*AFX_THUNK)(CCmdTarget* target, AFX_MSGARGS& args, BOOL& handled);

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;  // 0 ends the table
    UINT nCode;
    UINT nID;
    UINT nLastID;
    AFX_THUNK pfn;
};
struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                          \
protected:                                             \
    static const AFX_MSGMAP* GetThisMessageMap();      \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                            \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); }     \
    const AFX_MSGMAP* theClass::GetThisMessageMap()                                       \
    {                                                                                     \
        using ThisClass [[maybe_unused]] = theClass;                                      \
        using TheBaseClass = baseClass;                                                   \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {

#define END_MESSAGE_MAP()                                                                 \
        {0, 0, 0, 0, nullptr}};                                                           \
        static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap,           \
                                              &_messageEntries[0]};                       \
        return &messageMap;                                                               \
    }

#define AFX_T(fn_body) [](CCmdTarget* t_, AFX_MSGARGS& a_, BOOL& h_) -> LRESULT { \
        ThisClass* p_ = static_cast<ThisClass*>(t_); (void)p_; (void)a_; (void)h_; fn_body }

// Commands and control notifications (WM_COMMAND).
#define ON_COMMAND(id, fn) {WM_COMMAND, 0, (UINT)(id), (UINT)(id), AFX_T(p_->fn(); return 0;)},
#define ON_COMMAND_RANGE(first, last, fn) \
    {WM_COMMAND, 0, (UINT)(first), (UINT)(last), AFX_T(p_->fn(a_.nID); return 0;)},
#define ON_CONTROL(code, id, fn) {WM_COMMAND, (UINT)(code), (UINT)(id), (UINT)(id), AFX_T(p_->fn(); return 0;)},
#define ON_BN_CLICKED(id, fn) ON_CONTROL(BN_CLICKED, id, fn)
#define ON_CBN_SELCHANGE(id, fn) ON_CONTROL(CBN_SELCHANGE, id, fn)
#define ON_CBN_CLOSEUP(id, fn) ON_CONTROL(CBN_CLOSEUP, id, fn)
#define ON_CBN_EDITCHANGE(id, fn) ON_CONTROL(CBN_EDITCHANGE, id, fn)
#define ON_EN_CHANGE(id, fn) ON_CONTROL(EN_CHANGE, id, fn)
// Notifications (WM_NOTIFY): handler(NMHDR*, LRESULT*); the _EX forms return BOOL handled.
#define ON_NOTIFY(code, id, fn) \
    {WM_NOTIFY, (UINT)(code), (UINT)(id), (UINT)(id), AFX_T(p_->fn(reinterpret_cast<NMHDR*>(a_.lParam), a_.pResult); return 0;)},
#define ON_NOTIFY_RANGE(code, first, last, fn) \
    {WM_NOTIFY, (UINT)(code), (UINT)(first), (UINT)(last), AFX_T(p_->fn(a_.nID, reinterpret_cast<NMHDR*>(a_.lParam), a_.pResult); return 0;)},
#define ON_NOTIFY_EX(code, id, fn) \
    {WM_NOTIFY, (UINT)(code), (UINT)(id), (UINT)(id), AFX_T(h_ = p_->fn(a_.nID, reinterpret_cast<NMHDR*>(a_.lParam), a_.pResult); return 0;)},
#define ON_NOTIFY_EX_RANGE(code, first, last, fn) \
    {WM_NOTIFY, (UINT)(code), (UINT)(first), (UINT)(last), AFX_T(h_ = p_->fn(a_.nID, reinterpret_cast<NMHDR*>(a_.lParam), a_.pResult); return 0;)},
// Window messages.
#define ON_WM_DESTROY() {WM_DESTROY, 0, 0, 0, AFX_T(p_->OnDestroy(); return 0;)},
#define ON_WM_SIZE() \
    {WM_SIZE, 0, 0, 0, AFX_T(p_->OnSize((UINT)a_.wParam, (short)LOWORD(a_.lParam), (short)HIWORD(a_.lParam)); return 0;)},
#define ON_WM_MOVE() {WM_MOVE, 0, 0, 0, AFX_T(p_->OnMove((short)LOWORD(a_.lParam), (short)HIWORD(a_.lParam)); return 0;)},
#define AFX_MOUSE_ENTRY(msg, fn) \
    {msg, 0, 0, 0, AFX_T(p_->fn((UINT)a_.wParam, CPoint((short)LOWORD(a_.lParam), (short)HIWORD(a_.lParam))); return 0;)},
#define ON_WM_LBUTTONDOWN() AFX_MOUSE_ENTRY(WM_LBUTTONDOWN, OnLButtonDown)
#define ON_WM_LBUTTONUP() AFX_MOUSE_ENTRY(WM_LBUTTONUP, OnLButtonUp)
#define ON_WM_RBUTTONDOWN() AFX_MOUSE_ENTRY(WM_RBUTTONDOWN, OnRButtonDown)
#define ON_WM_RBUTTONUP() AFX_MOUSE_ENTRY(WM_RBUTTONUP, OnRButtonUp)
#define ON_WM_SETFOCUS() {WM_SETFOCUS, 0, 0, 0, AFX_T(p_->OnSetFocus(CWnd::FromHandle((HWND)a_.wParam)); return 0;)},
#define ON_WM_KILLFOCUS() {WM_KILLFOCUS, 0, 0, 0, AFX_T(p_->OnKillFocus(CWnd::FromHandle((HWND)a_.wParam)); return 0;)},
#define ON_WM_TIMER() {WM_TIMER, 0, 0, 0, AFX_T(p_->OnTimer((UINT_PTR)a_.wParam); return 0;)},
#define ON_WM_VSCROLL() \
    {WM_VSCROLL, 0, 0, 0, AFX_T(p_->OnVScroll(LOWORD(a_.wParam), HIWORD(a_.wParam), reinterpret_cast<CScrollBar*>(CWnd::FromHandle((HWND)a_.lParam))); return 0;)},
#define ON_WM_HSCROLL() \
    {WM_HSCROLL, 0, 0, 0, AFX_T(p_->OnHScroll(LOWORD(a_.wParam), HIWORD(a_.wParam), reinterpret_cast<CScrollBar*>(CWnd::FromHandle((HWND)a_.lParam))); return 0;)},
#define ON_MESSAGE(msg, fn) {(UINT)(msg), 0, 0, 0, AFX_T(return p_->fn(a_.wParam, a_.lParam);)},

class CCmdTarget : public CObject {
public:
    // Walks the message maps for a command or notification; TRUE when a handler took it.
    // pExtra is the NMHDR of a notification (nCode is then its code), else nullptr.
    virtual BOOL OnCmdMsg(UINT nID, int nCode, void* pExtra, void* pHandlerInfo);
    static const AFX_MSGMAP* GetThisMessageMap();

protected:
    virtual const AFX_MSGMAP* GetMessageMap() const;
    friend class CWnd;
    // Finds and runs the handler of `message`; TRUE when one ran and took it.
    BOOL AfxDispatch(UINT message, UINT nCode, UINT nID, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
};

// ---- Geometry helpers ------------------------------------------------------------
class CPoint : public POINT {
public:
    CPoint() : POINT{0, 0} {}
    CPoint(int x_, int y_) : POINT{x_, y_} {}
};
class CSize : public SIZE {
public:
    CSize() : SIZE{0, 0} {}
    CSize(int cx_, int cy_) : SIZE{cx_, cy_} {}
};
class CRect : public RECT {
public:
    CRect() : RECT{0, 0, 0, 0} {}
    CRect(int l, int t, int r, int b) : RECT{l, t, r, b} {}
    CRect(const RECT& r) : RECT(r) {}
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    void OffsetRect(int dx, int dy) { left += dx; right += dx; top += dy; bottom += dy; }
    void DeflateRect(int dx, int dy) { left += dx; right -= dx; top += dy; bottom -= dy; }
    operator LPRECT() { return this; }
    operator LPCRECT() const { return this; }
};

// ---- GDI -------------------------------------------------------------------------
class CGdiObject : public CObject {
public:
    ~CGdiObject() override;
    BOOL DeleteObject();

protected:
    friend class CDC;
    void* m_hObject = nullptr;
    virtual void Destroy() = 0;
};

class CBitmap : public CGdiObject {
public:
    ~CBitmap() override;
    // The bitmap resource of the module; FALSE when there is none.
    BOOL LoadBitmap(UINT id);
    BOOL CreateCompatibleBitmap(class CDC* pDC, int cx, int cy);
    int GetBitmap(BITMAP* pBitmap) const;
    operator HBITMAP() const { return static_cast<HBITMAP>(m_hObject); }
    HBITMAP Detach();
    BOOL Attach(HBITMAP h);
    static CBitmap* FromHandle(HBITMAP h);

protected:
    void Destroy() override;
};

class CFont : public CGdiObject {
public:
    ~CFont() override;
    BOOL CreateFont(int nHeight, int nWidth, int nEscapement, int nOrientation, int nWeight,
                    BYTE bItalic, BYTE bUnderline, BYTE cStrikeOut, BYTE nCharSet,
                    BYTE nOutPrecision, BYTE nClipPrecision, BYTE nQuality,
                    BYTE nPitchAndFamily, LPCTSTR lpszFacename);
    BOOL CreatePointFont(int nPointSize, LPCTSTR lpszFaceName, class CDC* pDC = nullptr);
    operator HFONT() const { return static_cast<HFONT>(m_hObject); }

protected:
    void Destroy() override;
};

// A device context: a painter on a window or, for a memory context, on its selected bitmap.
class CDC : public CObject {
public:
    CDC();
    ~CDC() override;
    HDC m_hDC = nullptr;
    operator HDC() const { return m_hDC; }
    HDC GetSafeHdc() const { return m_hDC; }
    static CDC* FromHandle(HDC h);

    BOOL CreateCompatibleDC(CDC* pDC);
    BOOL DeleteDC();
    CBitmap* SelectObject(CBitmap* pBitmap);
    CFont* SelectObject(CFont* pFont);
    BOOL BitBlt(int x, int y, int nWidth, int nHeight, CDC* pSrcDC, int xSrc, int ySrc, DWORD dwRop);
    void DrawFocusRect(LPCRECT lpRect);
    void FillSolidRect(LPCRECT lpRect, COLORREF clr);
    BOOL TextOut(int x, int y, const CString& str);
    COLORREF SetTextColor(COLORREF clr);
    int SetBkMode(int mode);
};
enum : int { TRANSPARENT = 1, OPAQUE = 2 };

// ---- Menus -----------------------------------------------------------------------
class CMenu : public CObject {
public:
    CMenu() = default;
    ~CMenu() override;
    CMenu(const CMenu&) = delete;
    CMenu& operator=(const CMenu&) = delete;
    HMENU m_hMenu = nullptr;
    operator HMENU() const { return m_hMenu; }
    HMENU GetSafeHmenu() const { return m_hMenu; }

    BOOL LoadMenu(UINT id);
    BOOL CreatePopupMenu();
    BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, LPCTSTR lpszNewItem = nullptr);
    BOOL DestroyMenu();
    BOOL Attach(HMENU h);
    HMENU Detach();
    CMenu* GetSubMenu(int nPos) const;
    UINT GetMenuItemCount() const;
    UINT GetMenuItemID(int nPos) const;
    // Previous state (MF_CHECKED or MF_UNCHECKED), or (UINT)-1 when the item is missing.
    UINT CheckMenuItem(UINT nIDCheckItem, UINT nCheck);
    UINT EnableMenuItem(UINT nIDEnableItem, UINT nEnable);
    UINT GetMenuState(UINT nID, UINT nFlags) const;
    // Shows the menu at (x, y) in screen coordinates. With TPM_RETURNCMD the chosen
    // command is returned (0 for none); otherwise the command is posted to pWnd as
    // WM_COMMAND and the result is TRUE when one was chosen.
    BOOL TrackPopupMenu(UINT nFlags, int x, int y, CWnd* pWnd, LPCRECT lpRect = nullptr);

private:
    mutable std::vector<CMenu*> submenus_;
    bool owned_ = false;
};

// ---- Windows ---------------------------------------------------------------------
class CDataExchange;

class CWnd : public CCmdTarget {
    DECLARE_DYNAMIC(CWnd)
public:
    CWnd();
    ~CWnd() override;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;
    operator HWND() const { return m_hWnd; }
    HWND GetSafeHwnd() const { return m_hWnd; }
    // The object that owns a window: the one subclassing it, or the library's own.
    static CWnd* FromHandle(HWND h);
    // The desktop: centring on it centres on the screen.
    static CWnd* GetDesktopWindow();

    CWnd* GetDlgItem(int nID) const;
    int GetDlgCtrlID() const;
    CWnd* GetParent() const;
    BOOL SubclassDlgItem(UINT nID, CWnd* pParent);
    BOOL SubclassWindow(HWND h);
    HWND UnsubclassWindow();
    BOOL Attach(HWND h) { return SubclassWindow(h); }
    HWND Detach() { return UnsubclassWindow(); }
    virtual BOOL DestroyWindow();

    void SetWindowText(LPCTSTR text);
    int GetWindowText(CString& text) const;
    int GetWindowText(LPTSTR buffer, int max) const;
    int GetWindowTextLength() const;
    void SetDlgItemText(int nID, LPCTSTR text);
    int GetDlgItemText(int nID, CString& text) const;
    void SetDlgItemInt(int nID, UINT value, BOOL bSigned = TRUE);
    UINT GetDlgItemInt(int nID, BOOL* pTrans = nullptr, BOOL bSigned = TRUE) const;
    void CheckDlgButton(int nID, UINT nCheck);
    UINT IsDlgButtonChecked(int nID) const;
    void CheckRadioButton(int nIDFirst, int nIDLast, int nIDCheck);

    BOOL ShowWindow(int nCmdShow);
    BOOL IsWindowVisible() const;
    BOOL EnableWindow(BOOL bEnable = TRUE);
    BOOL IsWindowEnabled() const;
    void SetFont(CFont* pFont, BOOL bRedraw = TRUE);
    CWnd* SetFocus();
    void MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint = TRUE);
    void MoveWindow(LPCRECT r, BOOL bRepaint = TRUE);
    void GetClientRect(LPRECT r) const;
    void GetWindowRect(LPRECT r) const;
    void ClientToScreen(LPPOINT p) const;
    void ClientToScreen(LPRECT r) const;
    void ScreenToClient(LPPOINT p) const;
    void CenterWindow(CWnd* pAlternateOwner = nullptr);

    // Any thread: the repaint runs later on the user-interface thread.
    void Invalidate(BOOL bErase = TRUE);
    void UpdateWindow();
    BOOL RedrawWindow();

    // Timers fire on the user-interface thread: WM_TIMER (OnTimer), or lpfnTimer when given.
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer);
    BOOL KillTimer(UINT_PTR nIDEvent);

    int MessageBox(LPCTSTR lpszText, LPCTSTR lpszCaption = nullptr, UINT nType = MB_OK);

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
    BOOL EnableToolTips(BOOL bEnable = TRUE);

    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual void DoDataExchange(CDataExchange* pDX);
    // Owner draw of a control (BS_OWNERDRAW buttons).
    virtual void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct);

    // The default handling of the message being handled.
    LRESULT Default();

    // Message handlers; the base versions give the default handling.
    void OnDestroy();
    void OnSize(UINT nType, int cx, int cy);
    void OnMove(int x, int y);
    void OnLButtonDown(UINT nFlags, CPoint point);
    void OnLButtonUp(UINT nFlags, CPoint point);
    void OnRButtonDown(UINT nFlags, CPoint point);
    void OnRButtonUp(UINT nFlags, CPoint point);
    void OnSetFocus(CWnd* pOldWnd);
    void OnKillFocus(CWnd* pNewWnd);
    void OnTimer(UINT_PTR nIDEvent);
    void OnVScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar);
    void OnHScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar);

    DECLARE_MESSAGE_MAP()
    friend struct AfxWindowAccess;
};

class CScrollBar : public CWnd {
    DECLARE_DYNAMIC(CScrollBar)
};

class CButton : public CWnd {
    DECLARE_DYNAMIC(CButton)
public:
    int GetCheck() const;
    void SetCheck(int nCheck);
    HBITMAP SetBitmap(HBITMAP h);
    void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct) override;
};

// A button drawn from up to four bitmaps: up, down (pressed), focused, disabled.
class CBitmapButton : public CButton {
    DECLARE_DYNAMIC(CBitmapButton)
public:
    BOOL LoadBitmaps(UINT nIDUp, UINT nIDDown = 0, UINT nIDFocus = 0, UINT nIDDisabled = 0);
    void SizeToContent();
    void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct) override;

protected:
    CBitmap m_bitmap, m_bitmapSel, m_bitmapFocus, m_bitmapDisabled;
};

class CStatic : public CWnd {
    DECLARE_DYNAMIC(CStatic)
public:
    HBITMAP SetBitmap(HBITMAP h);
    HBITMAP GetBitmap() const;
};

class CEdit : public CWnd {
    DECLARE_DYNAMIC(CEdit)
public:
    void SetLimitText(UINT nMax);
    void LimitText(int nChars = 0) { SetLimitText(static_cast<UINT>(nChars)); }
    UINT GetLimitText() const;
    BOOL SetReadOnly(BOOL bReadOnly = TRUE);
    void SetSel(int nStart, int nEnd);
    void ReplaceSel(LPCTSTR text);
    int GetLineCount() const;
};

class CComboBox : public CWnd {
    DECLARE_DYNAMIC(CComboBox)
public:
    enum : int { CB_ERR = -1 };
    int GetCount() const;
    int GetCurSel() const;
    int SetCurSel(int nSelect);
    int AddString(LPCTSTR text);
    int InsertString(int nIndex, LPCTSTR text);
    int DeleteString(UINT nIndex);
    void ResetContent();
    int GetLBText(int nIndex, CString& text) const;
    int GetLBTextLen(int nIndex) const;
    int FindStringExact(int nStartAfter, LPCTSTR text) const;
    int SelectString(int nStartAfter, LPCTSTR text);
    int InitStorage(int nItems, UINT nBytes);
    BOOL LimitText(int nMaxChars);
};
constexpr int CB_ERR = -1;
constexpr int LB_ERR = -1;

// ---- Data exchange ---------------------------------------------------------------
class CUserException {};

class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
        : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}
    BOOL m_bSaveAndValidate;
    CWnd* m_pDlgWnd;
    HWND PrepareCtrl(int nIDC);
    HWND PrepareEditCtrl(int nIDC);
    // Refuses the exchange: focus goes to the last prepared control.
    [[noreturn]] void Fail();

    HWND m_hWndLastControl = nullptr;
    BOOL m_bEditLastControl = FALSE;
};

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value);
void DDX_Text(CDataExchange* pDX, int nIDC, int& value);
void DDX_Text(CDataExchange* pDX, int nIDC, UINT& value);
void DDX_Text(CDataExchange* pDX, int nIDC, long& value);
void DDX_Text(CDataExchange* pDX, int nIDC, unsigned long& value);
void DDX_CBIndex(CDataExchange* pDX, int nIDC, int& index);
void DDX_CBString(CDataExchange* pDX, int nIDC, CString& value);
void DDX_Radio(CDataExchange* pDX, int nIDC, int& value);
void DDX_Check(CDataExchange* pDX, int nIDC, int& value);
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& control);
void DDX_Slider(CDataExchange* pDX, int nIDC, int& value);
void DDV_MaxChars(CDataExchange* pDX, const CString& value, int nChars);
void DDV_MinMaxInt(CDataExchange* pDX, int value, int minVal, int maxVal);
void DDV_MinMaxUInt(CDataExchange* pDX, UINT value, UINT minVal, UINT maxVal);
void DDV_MinMaxLong(CDataExchange* pDX, long value, long minVal, long maxVal);
void DDV_MinMaxDWord(CDataExchange* pDX, unsigned long value, unsigned long minVal, unsigned long maxVal);

// ---- Dialogs ---------------------------------------------------------------------
class CDialog : public CWnd {
    DECLARE_DYNAMIC(CDialog)
public:
    explicit CDialog(UINT nIDTemplate = 0, CWnd* pParentWnd = nullptr);
    // Runs the dialog in its own modal loop; the result is the EndDialog value.
    virtual int DoModal();
    void EndDialog(int nResult);
    virtual BOOL OnInitDialog();
    UINT m_nIDHelp = 0;

protected:
    virtual void OnOK();
    virtual void OnCancel();
    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;
    int m_nModalResult = -1;
    bool m_bInModal = false;
    friend struct AfxWindowAccess;
    DECLARE_MESSAGE_MAP()
};

// ---- Application -----------------------------------------------------------------
class CWinApp : public CCmdTarget {
public:
    explicit CWinApp(LPCTSTR lpszAppName = nullptr);
    ~CWinApp() override;
    virtual BOOL InitInstance() { return TRUE; }
    virtual int ExitInstance() { return 0; }
    LPCTSTR m_pszAppName;
    LPCTSTR m_pszExeName = nullptr;
    HINSTANCE m_hInstance = nullptr;

private:
    std::string moduleName_;
};
CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
// Makes sure a Qt application exists (creating one when the host has none); the
// library calls it before it makes its first window.
void AfxEnsureApplication();
// Runs posted work and due timers of the user-interface thread until none is left.
void AfxPumpMessages();

int AfxMessageBox(LPCTSTR lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);
int AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK, UINT nIDHelp = (UINT)-1);
int MessageBox(HWND hWnd, LPCTSTR lpText, LPCTSTR lpCaption, UINT uType);
// Timers without a window (hWnd null) get a fresh id, which the result gives.
UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc);
BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent);
int GetDlgCtrlID(HWND hWnd);
BOOL IsWindow(HWND hWnd);
HBITMAP LoadBitmap(HINSTANCE hInstance, UINT id);
HMENU LoadMenu(HINSTANCE hInstance, UINT id);
BOOL DestroyMenu(HMENU hMenu);
BOOL DeleteObject(void* hObject);
inline UINT MAKEINTRESOURCE(UINT id) { return id; }

// ---- Files -----------------------------------------------------------------------
class CFileException {
public:
    int m_cause = 0;
    CString m_strFileName;
};

class CFile : public CObject {
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000, modeWrite = 0x0001, modeReadWrite = 0x0002, shareDenyNone = 0x0040,
        shareDenyWrite = 0x0020, modeNoTruncate = 0x10000, modeCreate = 0x1000, typeText = 0x4000,
        typeBinary = 0x8000,
    };
    enum SeekPosition : UINT { begin = 0, current = 1, end = 2 };
    CFile() = default;
    ~CFile() override;
    virtual BOOL Open(LPCTSTR lpszFileName, UINT nOpenFlags, CFileException* pError = nullptr);
    virtual void Close();
    virtual UINT Read(void* lpBuf, UINT nCount);
    virtual void Write(const void* lpBuf, UINT nCount);
    virtual uint64_t GetLength() const;
    virtual uint64_t Seek(int64_t lOff, UINT nFrom);
    CString GetFilePath() const { return m_strFileName; }

protected:
    void* m_pStream = nullptr;
    CString m_strFileName;
};
// Turns a path as the applet names it into the host's path (identity unless set).
typedef std::string (*AFX_PATHMAPPER)(const char* path);
void AfxSetPathMapper(AFX_PATHMAPPER mapper);
std::string AfxMapPath(const char* path);
