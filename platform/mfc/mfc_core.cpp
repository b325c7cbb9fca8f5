// Strings, run-time classes, resources, the application object, message boxes, the
// answer queue of scripted runs, and files.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <variant>

#include "platform/mfc/afxtest.h"
#include "platform/mfc/mfc_internal.h"

// Under LeakSanitizer: fontconfig, which Qt's font database uses, keeps its caches for
// the life of the process. Nothing else is left out of the leak check.
extern "C" const char* __lsan_default_suppressions();
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

// ---- CString -------------------------------------------------------------------------

int CString::CompareNoCase(const char* s) const
{
    std::string a = s_, b = s ? s : "";
    for (auto& c : a) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (auto& c : b) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return a.compare(b);
}

void CString::FormatV(const char* fmt, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n < 0) {
        s_.clear();
        return;
    }
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, args);
    out.resize(static_cast<size_t>(n));
    s_ = std::move(out);
}

void CString::Format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    FormatV(fmt, args);
    va_end(args);
}

void CString::AppendFormat(const char* fmt, ...)
{
    CString tail;
    va_list args;
    va_start(args, fmt);
    tail.FormatV(fmt, args);
    va_end(args);
    s_ += tail.s_;
}

static size_t Clamp(int v, size_t max) { return v < 0 ? 0 : std::min(static_cast<size_t>(v), max); }

CString CString::Left(int n) const { return CString(s_.substr(0, Clamp(n, s_.size()))); }
CString CString::Right(int n) const
{
    size_t k = Clamp(n, s_.size());
    return CString(s_.substr(s_.size() - k));
}
CString CString::Mid(int first) const { return CString(s_.substr(Clamp(first, s_.size()))); }
CString CString::Mid(int first, int n) const
{
    size_t f = Clamp(first, s_.size());
    return CString(s_.substr(f, Clamp(n, s_.size() - f)));
}
int CString::Find(char ch, int start) const
{
    auto p = s_.find(ch, Clamp(start, s_.size()));
    return p == std::string::npos ? -1 : static_cast<int>(p);
}
int CString::Find(const char* sub, int start) const
{
    auto p = s_.find(sub ? sub : "", Clamp(start, s_.size()));
    return p == std::string::npos ? -1 : static_cast<int>(p);
}
int CString::ReverseFind(char ch) const
{
    auto p = s_.rfind(ch);
    return p == std::string::npos ? -1 : static_cast<int>(p);
}
int CString::Replace(char from, char to)
{
    int n = 0;
    for (auto& c : s_)
        if (c == from) {
            c = to;
            ++n;
        }
    return n;
}
int CString::Replace(const char* from, const char* to)
{
    std::string f = from ? from : "", t = to ? to : "";
    if (f.empty()) return 0;
    int n = 0;
    for (size_t p = s_.find(f); p != std::string::npos; p = s_.find(f, p + t.size())) {
        s_.replace(p, f.size(), t);
        ++n;
    }
    return n;
}
int CString::Remove(char ch)
{
    size_t before = s_.size();
    s_.erase(std::remove(s_.begin(), s_.end(), ch), s_.end());
    return static_cast<int>(before - s_.size());
}
int CString::Insert(int index, const char* s)
{
    s_.insert(Clamp(index, s_.size()), s ? s : "");
    return GetLength();
}
int CString::Delete(int index, int count)
{
    size_t i = Clamp(index, s_.size());
    s_.erase(i, Clamp(count, s_.size() - i));
    return GetLength();
}
CString CString::SpanIncluding(const char* set) const
{
    auto p = s_.find_first_not_of(set ? set : "");
    return CString(s_.substr(0, p));
}
CString CString::SpanExcluding(const char* set) const
{
    auto p = s_.find_first_of(set ? set : "");
    return CString(s_.substr(0, p));
}
CString& CString::MakeUpper()
{
    for (auto& c : s_) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return *this;
}
CString& CString::MakeLower()
{
    for (auto& c : s_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return *this;
}
CString& CString::TrimLeft()
{
    size_t i = 0;
    while (i < s_.size() && std::isspace(static_cast<unsigned char>(s_[i]))) ++i;
    s_.erase(0, i);
    return *this;
}
CString& CString::TrimRight()
{
    while (!s_.empty() && std::isspace(static_cast<unsigned char>(s_.back()))) s_.pop_back();
    return *this;
}
BOOL CString::LoadString(UINT id)
{
    const char* s = AfxFindString(id);
    if (!s) return FALSE;
    s_ = s;
    return TRUE;
}
LPTSTR CString::GetBuffer(int min)
{
    size_t n = std::max(s_.size(), Clamp(min, 1u << 30));
    buffer_.assign(n + 1, '\0');
    std::copy(s_.begin(), s_.end(), buffer_.begin());
    buffered_ = true;
    return buffer_.data();
}
LPTSTR CString::GetBufferSetLength(int len)
{
    s_.resize(Clamp(len, 1u << 30));
    return GetBuffer(len);
}
void CString::ReleaseBuffer(int len)
{
    if (!buffered_) return;
    size_t cap = buffer_.size() - 1;
    size_t n = len < 0 ? strnlen(buffer_.data(), cap) : Clamp(len, cap);
    s_.assign(buffer_.data(), n);
    buffer_.clear();
    buffered_ = false;
}

// ---- Run-time classes -----------------------------------------------------------------

const CRuntimeClass CObject::classCObject = {"CObject", static_cast<int>(sizeof(CObject)), nullptr, nullptr};

BOOL CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const
{
    for (const CRuntimeClass* c = this; c; c = c->m_pfnGetBaseClass ? c->m_pfnGetBaseClass() : nullptr)
        if (c == base) return TRUE;
    return FALSE;
}

// ---- Resources ------------------------------------------------------------------------

namespace {
std::vector<const AFX_RESOURCES*>& Tables()
{
    static std::vector<const AFX_RESOURCES*> tables;
    return tables;
}
}  // namespace

void AfxRegisterResources(const AFX_RESOURCES* table)
{
    if (table && std::find(Tables().begin(), Tables().end(), table) == Tables().end()) Tables().push_back(table);
}
void AfxUnregisterResources(const AFX_RESOURCES* table)
{
    Tables().erase(std::remove(Tables().begin(), Tables().end(), table), Tables().end());
}
const AFX_DLGTEMPLATE* AfxFindDialog(UINT id)
{
    for (auto* t : Tables())
        for (size_t i = 0; i < t->dialog_count; ++i)
            if (t->dialogs[i]->id == id) return t->dialogs[i];
    return nullptr;
}
const AFX_MENU* AfxFindMenu(UINT id)
{
    for (auto* t : Tables())
        for (size_t i = 0; i < t->menu_count; ++i)
            if (t->menus[i].id == id) return &t->menus[i];
    return nullptr;
}
const char* AfxFindString(UINT id)
{
    for (auto* t : Tables())
        for (size_t i = 0; i < t->string_count; ++i)
            if (t->strings[i].id == id) return t->strings[i].text;
    return nullptr;
}
const AFX_BITMAPRES* AfxFindBitmap(UINT id)
{
    for (auto* t : Tables())
        for (size_t i = 0; i < t->bitmap_count; ++i)
            if (t->bitmaps[i].id == id) return &t->bitmaps[i];
    return nullptr;
}

// ---- Application ----------------------------------------------------------------------

namespace {
CWinApp* g_app = nullptr;
QApplication* g_qapp = nullptr;  // made by the library when the host had none
int g_argc = 1;
char g_arg0[] = "vornet";
char* g_argv[] = {g_arg0, nullptr};
}  // namespace

// An application constructed without a name takes its module's: the file name of the
// library or program that holds the object, without "lib" and its extension.
static std::string ModuleNameOf(const void* object)
{
    Dl_info info{};
    if (dladdr(object, &info) == 0 || info.dli_fname == nullptr) return "";
    std::string name = info.dli_fname;
    if (size_t slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
    if (size_t dot = name.find('.'); dot != std::string::npos && dot > 0) name.erase(dot);
    if (name.size() > 3 && name.compare(0, 3, "lib") == 0) name.erase(0, 3);
    return name;
}

CWinApp::CWinApp(LPCTSTR lpszAppName) : m_pszAppName(lpszAppName)
{
    g_app = this;
    if (m_pszAppName == nullptr) {
        moduleName_ = ModuleNameOf(this);
        if (!moduleName_.empty()) m_pszAppName = moduleName_.c_str();
    }
}
CWinApp::~CWinApp()
{
    if (g_app == this) g_app = nullptr;
}
CWinApp* AfxGetApp() { return g_app; }
HINSTANCE AfxGetInstanceHandle() { return g_app ? g_app->m_hInstance : nullptr; }
HINSTANCE AfxGetResourceHandle() { return AfxGetInstanceHandle(); }

void AfxEnsureApplication()
{
    if (QCoreApplication::instance()) return;
    g_qapp = new QApplication(g_argc, g_argv);
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    QApplication::setFont(afx::DialogFont());
}

void AfxPumpMessages()
{
    if (!QCoreApplication::instance()) return;
    for (int i = 0; i < 4; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

bool afx::OnUiThread()
{
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// ---- The answer queue -----------------------------------------------------------------

namespace {
struct Entry {
    afx::Prompt kind;
    int answer = 0;
    std::string path;
    std::function<void(CWnd*)> action;
};
struct Script {
    bool on = false;
    std::deque<Entry> queue;
    int misses = 0;
    std::vector<afxtest::MessageBoxShown> boxes;
    std::vector<afxtest::MenuShown> menus;
};
Script& S()
{
    static Script s;
    return s;
}
const char* KindName(afx::Prompt k)
{
    switch (k) {
    case afx::Prompt::MessageBox: return "message box";
    case afx::Prompt::Menu: return "menu";
    case afx::Prompt::File: return "file dialog";
    case afx::Prompt::Modal: return "modal dialog";
    }
    return "?";
}
// The front entry when it is of the kind asked for; else a miss.
std::optional<Entry> Take(afx::Prompt kind, const std::string& what)
{
    auto& s = S();
    if (!s.queue.empty() && s.queue.front().kind == kind) {
        Entry e = std::move(s.queue.front());
        s.queue.pop_front();
        return e;
    }
    ++s.misses;
    std::fprintf(stderr, "afxtest: no scripted answer for %s \"%s\"%s%s\n", KindName(kind), what.c_str(),
                 s.queue.empty() ? "" : "; next entry is a ", s.queue.empty() ? "" : KindName(s.queue.front().kind));
    return std::nullopt;
}
}  // namespace

namespace afxtest {
void BeginScript()
{
    S() = Script{};
    S().on = true;
}
void EndScript() { S() = Script{}; }
bool Scripted() { return S().on; }
void AnswerMessageBox(int id) { S().queue.push_back({afx::Prompt::MessageBox, id, {}, {}}); }
void ChooseMenu(UINT command) { S().queue.push_back({afx::Prompt::Menu, static_cast<int>(command), {}, {}}); }
void AnswerFileDialog(const std::string& path) { S().queue.push_back({afx::Prompt::File, 0, path, {}}); }
void RunModal(std::function<void(CWnd*)> action) { S().queue.push_back({afx::Prompt::Modal, 0, {}, std::move(action)}); }
size_t Pending() { return S().queue.size(); }
int Misses() { return S().misses; }
const std::vector<MessageBoxShown>& MessageBoxes() { return S().boxes; }
const std::vector<MenuShown>& Menus() { return S().menus; }
}  // namespace afxtest

bool afx::ScriptTakes(Prompt) { return S().on; }

static bool AnswerFits(UINT type, int answer)
{
    switch (type & 0x0F) {
    case MB_OK: return answer == IDOK;
    case MB_OKCANCEL: return answer == IDOK || answer == IDCANCEL;
    case MB_ABORTRETRYIGNORE: return answer == IDABORT || answer == IDRETRY || answer == IDIGNORE;
    case MB_YESNOCANCEL: return answer == IDYES || answer == IDNO || answer == IDCANCEL;
    case MB_YESNO: return answer == IDYES || answer == IDNO;
    case MB_RETRYCANCEL: return answer == IDRETRY || answer == IDCANCEL;
    }
    return false;
}

int afx::ScriptMessageBox(const std::string& text, const std::string& caption, UINT type)
{
    // A box that cannot be answered takes its "no" way out: Cancel, No, or OK alone.
    UINT buttons = type & 0x0F;
    int fallback = buttons == MB_OK ? IDOK : buttons == MB_YESNO ? IDNO : buttons == MB_ABORTRETRYIGNORE ? IDABORT : IDCANCEL;
    int answer = fallback;
    if (auto e = Take(Prompt::MessageBox, text)) {
        if (AnswerFits(type, e->answer)) {
            answer = e->answer;
        } else {
            ++S().misses;
            std::fprintf(stderr, "afxtest: answer %d does not fit message box \"%s\"\n", e->answer, text.c_str());
        }
    }
    S().boxes.push_back({text, caption, type, answer});
    return answer;
}

UINT afx::ScriptMenu(HMENU menu)
{
    afxtest::MenuShown shown;
    for (auto& it : menu->items)
        if (!it.popup && !it.text.empty())
            shown.items.push_back({it.text, it.id, (it.flags & MF_CHECKED) != 0, (it.flags & MF_GRAYED) != 0});
    UINT chosen = 0;
    if (auto e = Take(Prompt::Menu, menu->items.empty() ? "" : menu->items.front().text)) {
        chosen = static_cast<UINT>(e->answer);
        bool offered = chosen == 0;
        for (auto& it : shown.items) offered |= it.id == chosen && !it.grayed;
        if (!offered) {
            ++S().misses;
            std::fprintf(stderr, "afxtest: menu offers no enabled command %u\n", chosen);
            chosen = 0;
        }
    }
    shown.chosen = chosen;
    S().menus.push_back(shown);
    return chosen;
}

bool afx::ScriptFile(std::string& path)
{
    auto e = Take(Prompt::File, "");
    if (!e || e->path.empty()) return false;
    path = e->path;
    return true;
}

bool afx::ScriptModal(CWnd* dialog)
{
    CString caption;
    dialog->GetWindowText(caption);
    auto e = Take(Prompt::Modal, caption.str());
    if (!e) return false;
    HWND h = dialog->m_hWnd;
    QTimer::singleShot(0, h->widget, [h, dialog, action = std::move(e->action)] {
        action(dialog);
        // Nobody else will close it: a dialog the action left open is cancelled.
        if (!afx::IsLive(h) || h->owner != dialog) return;
        auto* sheet = dynamic_cast<CPropertySheet*>(dialog);
        auto* dlg = dynamic_cast<CDialog*>(dialog);
        bool open = sheet ? AfxWindowAccess::Result(sheet) == -1 : dlg && AfxWindowAccess::Result(dlg) == -1;
        if (!open) return;
        ++S().misses;
        std::fprintf(stderr, "afxtest: the scripted action left its dialog open; cancelled\n");
        if (sheet)
            sheet->EndDialog(IDCANCEL);
        else
            dlg->EndDialog(IDCANCEL);
    });
    return true;
}

// ---- Message boxes --------------------------------------------------------------------

static int ShowMessageBox(QWidget* parent, LPCTSTR text, LPCTSTR caption, UINT type)
{
    std::string t = text ? text : "";
    // Without a caption: the application's name, else its module's name.
    std::string c = caption                               ? caption
                    : g_app && g_app->m_pszAppName ? g_app->m_pszAppName
                    : g_app && g_app->m_pszExeName ? g_app->m_pszExeName
                                                   : "Error";
    if (afxtest::Scripted()) return afx::ScriptMessageBox(t, c, type);
    AfxEnsureApplication();
    QMessageBox box(parent);
    box.setWindowTitle(QString::fromLatin1(c.c_str()));
    QString qt = QString::fromLatin1(t.c_str());
    qt.replace("\r\n", "\n").replace('\r', '\n');
    box.setText(qt);
    switch (type & 0xF0) {
    case MB_ICONHAND: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONEXCLAMATION: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONASTERISK: box.setIcon(QMessageBox::Information); break;
    default: break;
    }
    struct B {
        QMessageBox::StandardButton b;
        int id;
    };
    std::vector<B> buttons;
    switch (type & 0x0F) {
    case MB_OKCANCEL: buttons = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}}; break;
    case MB_ABORTRETRYIGNORE:
        buttons = {{QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}};
        break;
    case MB_YESNOCANCEL:
        buttons = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
        break;
    case MB_YESNO: buttons = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}}; break;
    case MB_RETRYCANCEL: buttons = {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}}; break;
    default: buttons = {{QMessageBox::Ok, IDOK}}; break;
    }
    QMessageBox::StandardButtons all;
    for (auto& b : buttons) all |= b.b;
    box.setStandardButtons(all);
    auto pressed = static_cast<QMessageBox::StandardButton>(box.exec());
    for (auto& b : buttons)
        if (b.b == pressed) return b.id;
    return (type & 0x0F) == MB_YESNO ? IDNO : (type & 0x0F) == MB_OK ? IDOK : IDCANCEL;
}

int CWnd::MessageBox(LPCTSTR lpszText, LPCTSTR lpszCaption, UINT nType)
{
    return ShowMessageBox(m_hWnd ? m_hWnd->widget : nullptr, lpszText, lpszCaption, nType);
}
int MessageBox(HWND hWnd, LPCTSTR lpText, LPCTSTR lpCaption, UINT uType)
{
    return ShowMessageBox(hWnd && afx::IsLive(hWnd) ? hWnd->widget : nullptr, lpText, lpCaption ? lpCaption : "Error", uType);
}
int AfxMessageBox(LPCTSTR lpszText, UINT nType, UINT) { return ShowMessageBox(nullptr, lpszText, nullptr, nType); }
int AfxMessageBox(UINT nIDPrompt, UINT nType, UINT)
{
    const char* s = AfxFindString(nIDPrompt);
    return ShowMessageBox(nullptr, s ? s : "", nullptr, nType);
}

// ---- Files ----------------------------------------------------------------------------

namespace {
AFX_PATHMAPPER g_mapper = nullptr;
}
void AfxSetPathMapper(AFX_PATHMAPPER mapper) { g_mapper = mapper; }
std::string AfxMapPath(const char* path) { return g_mapper ? g_mapper(path ? path : "") : std::string(path ? path : ""); }

CFile::~CFile() { Close(); }

BOOL CFile::Open(LPCTSTR lpszFileName, UINT nOpenFlags, CFileException* pError)
{
    Close();
    m_strFileName = lpszFileName;
    std::string host = AfxMapPath(lpszFileName);
    const char* mode = "rb";
    if (nOpenFlags & modeCreate)
        mode = (nOpenFlags & modeNoTruncate) ? "ab+" : ((nOpenFlags & (modeWrite | modeReadWrite)) == modeWrite ? "wb" : "wb+");
    else if (nOpenFlags & modeReadWrite)
        mode = "rb+";
    else if (nOpenFlags & modeWrite)
        mode = "rb+";
    FILE* f = std::fopen(host.c_str(), mode);
    if (f && (nOpenFlags & modeCreate) && (nOpenFlags & modeNoTruncate)) std::fseek(f, 0, SEEK_SET);
    if (!f) {
        if (pError) {
            pError->m_cause = errno;
            pError->m_strFileName = lpszFileName;
        }
        return FALSE;
    }
    m_pStream = f;
    return TRUE;
}
void CFile::Close()
{
    if (m_pStream) std::fclose(static_cast<FILE*>(m_pStream));
    m_pStream = nullptr;
}
UINT CFile::Read(void* lpBuf, UINT nCount)
{
    if (!m_pStream) return 0;
    return static_cast<UINT>(std::fread(lpBuf, 1, nCount, static_cast<FILE*>(m_pStream)));
}
void CFile::Write(const void* lpBuf, UINT nCount)
{
    if (m_pStream) std::fwrite(lpBuf, 1, nCount, static_cast<FILE*>(m_pStream));
}
uint64_t CFile::GetLength() const
{
    if (!m_pStream) return 0;
    auto* f = static_cast<FILE*>(m_pStream);
    long here = std::ftell(f);
    std::fseek(f, 0, SEEK_END);
    long end = std::ftell(f);
    std::fseek(f, here, SEEK_SET);
    return end < 0 ? 0 : static_cast<uint64_t>(end);
}
uint64_t CFile::Seek(int64_t lOff, UINT nFrom)
{
    if (!m_pStream) return 0;
    auto* f = static_cast<FILE*>(m_pStream);
    std::fseek(f, static_cast<long>(lOff), nFrom == begin ? SEEK_SET : nFrom == current ? SEEK_CUR : SEEK_END);
    long pos = std::ftell(f);
    return pos < 0 ? 0 : static_cast<uint64_t>(pos);
}
