// Windows: handles, message routing, message maps, timers, dialog templates and their
// controls, data exchange and modal dialogs.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>

#include "platform/mfc/afxtest.h"
#include "platform/mfc/mfc_internal.h"

// ---- Handles --------------------------------------------------------------------------

namespace {
std::set<HWND>& Live()
{
    static std::set<HWND> live;
    return live;
}
thread_local std::vector<const std::function<void()>*> t_defaults;
}  // namespace

std::recursive_mutex& afx::WindowLock()
{
    static std::recursive_mutex m;
    return m;
}

bool afx::IsLive(HWND h)
{
    std::lock_guard lock(WindowLock());
    return h && Live().count(h) != 0;
}

AfxHolder* afx::HolderOf(QWidget* w) { return dynamic_cast<AfxHolder*>(w); }

HWND afx::NewHandle(QWidget* w, CWnd* owner, HWND parent, int id)
{
    auto* h = new HWND__;
    h->widget = w;
    h->owner = owner;
    h->parent = parent;
    h->id = id;
    if (auto* holder = HolderOf(w)) holder->h = h;
    std::lock_guard lock(WindowLock());
    Live().insert(h);
    if (parent) parent->children.push_back(h);
    if (owner) owner->m_hWnd = h;
    return h;
}

void afx::NotifyDestroy(HWND h)
{
    if (!IsLive(h)) return;
    if (h->owner) h->owner->SendMessage(WM_DESTROY);
    std::vector<HWND> children = h->children;
    for (HWND c : children) NotifyDestroy(c);
}

static void FreeTree(HWND h)
{
    std::vector<HWND> children = h->children;
    for (HWND c : children)
        if (afx::IsLive(c)) FreeTree(c);
    for (auto& [id, timer] : h->timers) delete timer;
    h->timers.clear();
    if (auto* holder = afx::HolderOf(h->widget)) holder->h = nullptr;
    std::lock_guard lock(afx::WindowLock());
    Live().erase(h);
    if (h->owner && h->owner->m_hWnd == h) h->owner->m_hWnd = nullptr;
    if (h->own) {
        if (h->own->m_hWnd == h) h->own->m_hWnd = nullptr;
        delete h->own;
    }
    delete h;
}

void afx::FreeHandle(HWND h, bool deleteWidget)
{
    std::lock_guard lock(WindowLock());
    if (!IsLive(h)) return;
    QWidget* w = h->widget;
    if (h->parent && IsLive(h->parent)) {
        auto& sib = h->parent->children;
        sib.erase(std::remove(sib.begin(), sib.end(), h), sib.end());
    }
    FreeTree(h);
    if (deleteWidget && w) {
        w->hide();
        delete w;
    }
}

// ---- Routing --------------------------------------------------------------------------

afx::DefaultScope::DefaultScope(const std::function<void()>* f) { t_defaults.push_back(f); }
afx::DefaultScope::~DefaultScope() { t_defaults.pop_back(); }
void afx::RunDefault()
{
    if (t_defaults.empty() || !t_defaults.back()) return;
    const std::function<void()>* f = t_defaults.back();
    t_defaults.back() = nullptr;  // once
    if (*f) (*f)();
}

bool afx::Route(HWND h, UINT message, WPARAM wParam, LPARAM lParam, const std::function<void()>& deflt)
{
    if (!IsLive(h) || !h->owner) return false;
    DefaultScope scope(&deflt);
    h->owner->WindowProc(message, wParam, lParam);
    return true;
}

void afx::Command(HWND control, UINT code)
{
    if (!IsLive(control) || control->quiet) return;
    HWND parent = control->parent;
    if (!IsLive(parent) || !parent->owner) return;
    parent->owner->SendMessage(WM_COMMAND, MAKEWPARAM(static_cast<unsigned>(control->id), code),
                               reinterpret_cast<LPARAM>(control));
}

LRESULT afx::Notify(HWND control, NMHDR* hdr)
{
    if (!IsLive(control) || control->quiet) return 0;
    HWND parent = control->parent;
    if (!IsLive(parent) || !parent->owner) return 0;
    hdr->hwndFrom = control;
    hdr->idFrom = static_cast<UINT_PTR>(control->id);
    return parent->owner->SendMessage(WM_NOTIFY, static_cast<WPARAM>(control->id), reinterpret_cast<LPARAM>(hdr));
}

void afx::Scroll(HWND control, UINT message, UINT code, int pos)
{
    if (!IsLive(control) || control->quiet) return;
    HWND parent = control->parent;
    if (!IsLive(parent) || !parent->owner) return;
    parent->owner->SendMessage(message, MAKEWPARAM(code, static_cast<unsigned>(pos)), reinterpret_cast<LPARAM>(control));
}

bool afx::ToolTipFor(HWND control, std::string& text)
{
    if (!IsLive(control)) return false;
    HWND parent = control->parent;
    if (!IsLive(parent) || !parent->tooltips || !parent->owner) return false;
    TOOLTIPTEXTA ttt{};
    ttt.hdr.hwndFrom = nullptr;  // the tooltip control: id 0
    ttt.hdr.idFrom = reinterpret_cast<UINT_PTR>(control);
    ttt.hdr.code = TTN_NEEDTEXTA;
    ttt.uFlags = TTF_IDISHWND;
    LRESULT result = 0;
    AFX_NOTIFY n{&result, &ttt.hdr};
    if (!parent->owner->OnCmdMsg(0, static_cast<int>(TTN_NEEDTEXTA), &n, nullptr)) return false;
    ttt.szText[sizeof ttt.szText - 1] = '\0';
    text = ttt.lpszText ? ttt.lpszText : ttt.szText;
    return true;
}

// ---- Message maps ---------------------------------------------------------------------

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, &entries[0]};
    return &map;
}
const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

BOOL CCmdTarget::AfxDispatch(UINT message, UINT nCode, UINT nID, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    bool keyed = message == WM_COMMAND || message == WM_NOTIFY;
    for (const AFX_MSGMAP* map = GetMessageMap(); map; map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->nMessage; ++e) {
            if (e->nMessage != message) continue;
            if (keyed && (e->nCode != nCode || nID < e->nID || nID > e->nLastID)) continue;
            AFX_MSGARGS args{nID, nCode, wParam, lParam, pResult};
            BOOL handled = TRUE;
            LRESULT r = e->pfn(this, args, handled);
            if (!keyed && pResult) *pResult = r;
            if (handled) return TRUE;
        }
    }
    return FALSE;
}

BOOL CCmdTarget::OnCmdMsg(UINT nID, int nCode, void* pExtra, void*)
{
    if (pExtra) {
        auto* n = static_cast<AFX_NOTIFY*>(pExtra);
        return AfxDispatch(WM_NOTIFY, static_cast<UINT>(nCode), nID, nID, reinterpret_cast<LPARAM>(n->pNMHDR), n->pResult);
    }
    LRESULT r = 0;
    return AfxDispatch(WM_COMMAND, static_cast<UINT>(nCode), nID, 0, 0, &r);
}

// ---- CWnd -----------------------------------------------------------------------------

IMPLEMENT_DYNAMIC(CWnd, CObject)
IMPLEMENT_DYNAMIC(CScrollBar, CWnd)
BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

CWnd::CWnd() = default;

CWnd::~CWnd()
{
    if (m_hWnd && afx::IsLive(m_hWnd)) {
        HWND h = m_hWnd;
        if (h->own == this) h->own = nullptr;
        if (h->owner == this) {
            // A library control outlives the object that subclassed it; a window of our own goes.
            if (h->own) {
                h->owner = h->own;
                h->own->m_hWnd = h;
            } else {
                afx::FreeHandle(h, true);
            }
        }
    }
    m_hWnd = nullptr;
}

CWnd* CWnd::FromHandle(HWND h) { return afx::IsLive(h) ? h->owner : nullptr; }
CWnd* CWnd::GetDesktopWindow()
{
    static CWnd desktop;  // no window of its own
    return &desktop;
}

CWnd* CWnd::GetDlgItem(int nID) const
{
    if (!afx::IsLive(m_hWnd)) return nullptr;
    for (HWND c : m_hWnd->children)
        if (c->id == nID) return c->owner;
    return nullptr;
}
int CWnd::GetDlgCtrlID() const { return afx::IsLive(m_hWnd) ? m_hWnd->id : 0; }
int GetDlgCtrlID(HWND hWnd) { return afx::IsLive(hWnd) ? hWnd->id : 0; }
BOOL IsWindow(HWND hWnd) { return afx::IsLive(hWnd); }
CWnd* CWnd::GetParent() const { return afx::IsLive(m_hWnd) && m_hWnd->parent ? m_hWnd->parent->owner : nullptr; }

BOOL CWnd::SubclassDlgItem(UINT nID, CWnd* pParent)
{
    CWnd* item = pParent ? pParent->GetDlgItem(static_cast<int>(nID)) : nullptr;
    return item ? SubclassWindow(item->m_hWnd) : FALSE;
}
BOOL CWnd::SubclassWindow(HWND h)
{
    if (!afx::IsLive(h) || m_hWnd) return FALSE;
    if (h->owner && h->owner != h->own) return FALSE;  // taken by another object
    if (h->own) h->own->m_hWnd = nullptr;
    h->owner = this;
    m_hWnd = h;
    return TRUE;
}
HWND CWnd::UnsubclassWindow()
{
    HWND h = m_hWnd;
    if (!afx::IsLive(h) || h->owner != this) return nullptr;
    h->owner = h->own;
    if (h->own) h->own->m_hWnd = h;
    m_hWnd = nullptr;
    return h;
}
BOOL CWnd::DestroyWindow()
{
    if (!afx::IsLive(m_hWnd)) return FALSE;
    HWND h = m_hWnd;
    afx::NotifyDestroy(h);
    afx::FreeHandle(h, true);
    return TRUE;
}

static QString ToQt(LPCTSTR s, bool multiline)
{
    QString q = QString::fromLatin1(s ? s : "");
    if (multiline) q.replace("\r\n", "\n");
    return q;
}

void CWnd::SetWindowText(LPCTSTR text)
{
    if (!afx::IsLive(m_hWnd)) return;
    QWidget* w = m_hWnd->widget;
    if (auto* e = qobject_cast<QPlainTextEdit*>(w)) {
        e->setPlainText(ToQt(text, true));
    } else if (auto* l = qobject_cast<QLineEdit*>(w)) {
        l->setText(ToQt(text, false));
    } else if (auto* c = qobject_cast<QComboBox*>(w)) {
        if (c->isEditable()) c->setEditText(ToQt(text, false));
    } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        b->setText(ToQt(text, false));
    } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
        g->setTitle(ToQt(text, false));
    } else if (auto* lab = qobject_cast<QLabel*>(w)) {
        lab->setText(ToQt(text, true).replace('\r', '\n'));
    } else {
        w->setWindowTitle(ToQt(text, false));
    }
}

int CWnd::GetWindowText(CString& text) const
{
    text.Empty();
    if (!afx::IsLive(m_hWnd)) return 0;
    QWidget* w = m_hWnd->widget;
    QString q;
    if (auto* e = qobject_cast<QPlainTextEdit*>(w)) {
        q = e->toPlainText();
        q.replace("\n", "\r\n");
    } else if (auto* l = qobject_cast<QLineEdit*>(w)) {
        q = l->text();
    } else if (auto* c = qobject_cast<QComboBox*>(w)) {
        q = c->isEditable() ? c->currentText() : (c->currentIndex() >= 0 ? c->currentText() : QString());
    } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        q = b->text();
    } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
        q = g->title();
    } else if (auto* lab = qobject_cast<QLabel*>(w)) {
        q = lab->text();
    } else {
        q = w->windowTitle();
    }
    text = CString(q.toLatin1().toStdString());
    return text.GetLength();
}
int CWnd::GetWindowText(LPTSTR buffer, int max) const
{
    if (!buffer || max <= 0) return 0;
    CString s;
    GetWindowText(s);
    int n = std::min(s.GetLength(), max - 1);
    std::memcpy(buffer, static_cast<LPCTSTR>(s), static_cast<size_t>(n));
    buffer[n] = '\0';
    return n;
}
int CWnd::GetWindowTextLength() const
{
    CString s;
    return GetWindowText(s);
}
void CWnd::SetDlgItemText(int nID, LPCTSTR text)
{
    if (CWnd* w = GetDlgItem(nID)) w->SetWindowText(text);
}
int CWnd::GetDlgItemText(int nID, CString& text) const
{
    text.Empty();
    CWnd* w = GetDlgItem(nID);
    return w ? w->GetWindowText(text) : 0;
}
void CWnd::SetDlgItemInt(int nID, UINT value, BOOL bSigned)
{
    CString s;
    if (bSigned)
        s.Format("%d", static_cast<int>(value));
    else
        s.Format("%u", value);
    SetDlgItemText(nID, s);
}
UINT CWnd::GetDlgItemInt(int nID, BOOL* pTrans, BOOL bSigned) const
{
    CString s;
    GetDlgItemText(nID, s);
    s.Trim();
    char* end = nullptr;
    errno = 0;
    long long v = bSigned ? std::strtoll(s, &end, 10) : static_cast<long long>(std::strtoull(s, &end, 10));
    bool ok = !s.IsEmpty() && end && *end == '\0' && errno == 0 &&
              (bSigned ? (v >= INT32_MIN && v <= INT32_MAX) : (v >= 0 && v <= UINT32_MAX && s[0] != '-'));
    if (pTrans) *pTrans = ok;
    return ok ? static_cast<UINT>(v) : 0;
}
void CWnd::CheckDlgButton(int nID, UINT nCheck)
{
    if (CWnd* w = GetDlgItem(nID))
        if (auto* b = qobject_cast<QAbstractButton*>(w->m_hWnd->widget)) {
            if (auto* g = w->m_hWnd->radioGroup) {
                g->setExclusive(false);
                b->setChecked(nCheck != 0);
                g->setExclusive(true);
            } else {
                b->setChecked(nCheck != 0);
            }
        }
}
UINT CWnd::IsDlgButtonChecked(int nID) const
{
    CWnd* w = GetDlgItem(nID);
    auto* b = w ? qobject_cast<QAbstractButton*>(w->m_hWnd->widget) : nullptr;
    return b && b->isChecked() ? 1 : 0;
}
void CWnd::CheckRadioButton(int nIDFirst, int nIDLast, int nIDCheck)
{
    for (int id = nIDFirst; id <= nIDLast; ++id) CheckDlgButton(id, id == nIDCheck ? 1 : 0);
}

BOOL CWnd::ShowWindow(int nCmdShow)
{
    if (!afx::IsLive(m_hWnd)) return FALSE;
    BOOL was = !m_hWnd->widget->isHidden();
    m_hWnd->widget->setVisible(nCmdShow != SW_HIDE);
    return was;
}
BOOL CWnd::IsWindowVisible() const { return afx::IsLive(m_hWnd) && m_hWnd->widget->isVisible(); }
BOOL CWnd::EnableWindow(BOOL bEnable)
{
    if (!afx::IsLive(m_hWnd)) return FALSE;
    BOOL wasDisabled = !m_hWnd->widget->isEnabled();
    m_hWnd->widget->setEnabled(bEnable != 0);
    return wasDisabled;
}
BOOL CWnd::IsWindowEnabled() const { return afx::IsLive(m_hWnd) && m_hWnd->widget->isEnabled(); }
void CWnd::SetFont(CFont* pFont, BOOL bRedraw)
{
    if (!afx::IsLive(m_hWnd) || !pFont || !static_cast<HFONT>(*pFont)) return;
    m_hWnd->widget->setFont(static_cast<HFONT>(*pFont)->font);
    if (bRedraw) m_hWnd->widget->update();
}
CWnd* CWnd::SetFocus()
{
    if (afx::IsLive(m_hWnd)) m_hWnd->widget->setFocus(Qt::OtherFocusReason);
    return nullptr;
}
void CWnd::MoveWindow(int x, int y, int nWidth, int nHeight, BOOL)
{
    if (afx::IsLive(m_hWnd)) m_hWnd->widget->setGeometry(x, y, nWidth, nHeight);
}
void CWnd::MoveWindow(LPCRECT r, BOOL b) { MoveWindow(r->left, r->top, r->right - r->left, r->bottom - r->top, b); }
void CWnd::GetClientRect(LPRECT r) const
{
    *r = RECT{0, 0, 0, 0};
    if (afx::IsLive(m_hWnd)) *r = RECT{0, 0, m_hWnd->widget->width(), m_hWnd->widget->height()};
}
void CWnd::GetWindowRect(LPRECT r) const
{
    *r = RECT{0, 0, 0, 0};
    if (!afx::IsLive(m_hWnd)) return;
    QWidget* w = m_hWnd->widget;
    QPoint p = w->mapToGlobal(QPoint(0, 0));
    *r = RECT{p.x(), p.y(), p.x() + w->width(), p.y() + w->height()};
}
void CWnd::ClientToScreen(LPPOINT p) const
{
    if (!afx::IsLive(m_hWnd)) return;
    QPoint q = m_hWnd->widget->mapToGlobal(QPoint(p->x, p->y));
    *p = POINT{q.x(), q.y()};
}
void CWnd::ClientToScreen(LPRECT r) const
{
    POINT a{r->left, r->top}, b{r->right, r->bottom};
    ClientToScreen(&a);
    ClientToScreen(&b);
    *r = RECT{a.x, a.y, b.x, b.y};
}
void CWnd::ScreenToClient(LPPOINT p) const
{
    if (!afx::IsLive(m_hWnd)) return;
    QPoint q = m_hWnd->widget->mapFromGlobal(QPoint(p->x, p->y));
    *p = POINT{q.x(), q.y()};
}
void CWnd::CenterWindow(CWnd* pAlternateOwner)
{
    if (!afx::IsLive(m_hWnd)) return;
    QWidget* w = m_hWnd->widget;
    QRect area;
    CWnd* over = pAlternateOwner ? pAlternateOwner : GetParent();
    if (over && afx::IsLive(over->m_hWnd) && over->m_hWnd->widget->isVisible()) {
        QWidget* o = over->m_hWnd->widget;
        area = QRect(o->mapToGlobal(QPoint(0, 0)), o->size());
    } else if (QScreen* s = QGuiApplication::primaryScreen()) {
        area = s->availableGeometry();
    }
    if (area.isValid() && w->isWindow()) w->move(area.center() - QPoint(w->width() / 2, w->height() / 2));
}

void CWnd::Invalidate(BOOL)
{
    std::lock_guard lock(afx::WindowLock());
    if (!afx::IsLive(m_hWnd)) return;
    QWidget* w = m_hWnd->widget;
    if (afx::OnUiThread())
        w->update();
    else
        QMetaObject::invokeMethod(w, [w] { w->update(); }, Qt::QueuedConnection);
}
void CWnd::UpdateWindow()
{
    if (afx::IsLive(m_hWnd)) m_hWnd->widget->repaint();
}
BOOL CWnd::RedrawWindow()
{
    if (!afx::IsLive(m_hWnd)) return FALSE;
    m_hWnd->widget->repaint();
    return TRUE;
}

static DWORD TickCount()
{
    using namespace std::chrono;
    return static_cast<DWORD>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Runs `f` on the user-interface thread: now when called there, else queued.
static void OnUi(std::function<void()> f)
{
    if (afx::OnUiThread() || !QCoreApplication::instance())
        f();
    else
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(f), Qt::QueuedConnection);
}

UINT_PTR CWnd::SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer)
{
    if (!afx::IsLive(m_hWnd)) return 0;
    HWND h = m_hWnd;
    OnUi([h, nIDEvent, nElapse, lpfnTimer] {
        if (!afx::IsLive(h)) return;
        QTimer*& t = h->timers[nIDEvent];
        if (!t) t = new QTimer(h->widget);
        t->disconnect();
        QObject::connect(t, &QTimer::timeout, t, [h, nIDEvent, lpfnTimer] {
            if (!afx::IsLive(h)) return;
            if (lpfnTimer)
                lpfnTimer(h, WM_TIMER, nIDEvent, TickCount());
            else if (h->owner)
                h->owner->SendMessage(WM_TIMER, nIDEvent);
        });
        t->start(static_cast<int>(nElapse));
    });
    return nIDEvent;
}
BOOL CWnd::KillTimer(UINT_PTR nIDEvent)
{
    if (!afx::IsLive(m_hWnd)) return FALSE;
    HWND h = m_hWnd;
    bool known = h->timers.count(nIDEvent) != 0;
    OnUi([h, nIDEvent] {
        if (!afx::IsLive(h)) return;
        auto it = h->timers.find(nIDEvent);
        if (it == h->timers.end()) return;
        delete it->second;
        h->timers.erase(it);
    });
    return known;
}

namespace {
std::mutex g_threadTimersLock;
std::map<UINT_PTR, QTimer*> g_threadTimers;
std::atomic<UINT_PTR> g_nextTimer{0x7F00};
}  // namespace

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc)
{
    if (hWnd) {
        CWnd* w = CWnd::FromHandle(hWnd);
        return w ? w->SetTimer(nIDEvent, uElapse, lpTimerFunc) : 0;
    }
    if (!lpTimerFunc) return 0;
    AfxEnsureApplication();
    UINT_PTR id = ++g_nextTimer;
    OnUi([id, uElapse, lpTimerFunc] {
        auto* t = new QTimer(QCoreApplication::instance());
        QObject::connect(t, &QTimer::timeout, t, [id, lpTimerFunc] { lpTimerFunc(nullptr, WM_TIMER, id, TickCount()); });
        t->start(static_cast<int>(uElapse));
        std::lock_guard lock(g_threadTimersLock);
        g_threadTimers[id] = t;
    });
    return id;
}
BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent)
{
    if (hWnd) {
        CWnd* w = CWnd::FromHandle(hWnd);
        return w ? w->KillTimer(uIDEvent) : FALSE;
    }
    OnUi([uIDEvent] {
        QTimer* t = nullptr;
        {
            std::lock_guard lock(g_threadTimersLock);
            auto it = g_threadTimers.find(uIDEvent);
            if (it == g_threadTimers.end()) return;
            t = it->second;
            g_threadTimers.erase(it);
        }
        delete t;
    });
    return TRUE;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    static const std::function<void()> none;
    afx::DefaultScope scope(&none);
    return WindowProc(message, wParam, lParam);
}
BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard lock(afx::WindowLock());
    if (!afx::IsLive(m_hWnd)) return FALSE;
    HWND h = m_hWnd;
    QMetaObject::invokeMethod(
        h->widget,
        [h, message, wParam, lParam] {
            if (afx::IsLive(h) && h->owner) h->owner->SendMessage(message, wParam, lParam);
        },
        Qt::QueuedConnection);
    return TRUE;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (message == WM_COMMAND) {
        if (!OnCommand(wParam, lParam)) Default();
    } else if (message == WM_NOTIFY) {
        if (!OnNotify(wParam, lParam, &result)) Default();
    } else if (!AfxDispatch(message, 0, 0, wParam, lParam, &result)) {
        return Default();
    }
    return result;
}
BOOL CWnd::OnCommand(WPARAM wParam, LPARAM)
{
    return OnCmdMsg(LOWORD(wParam), HIWORD(wParam), nullptr, nullptr);
}
BOOL CWnd::OnNotify(WPARAM, LPARAM lParam, LRESULT* pResult)
{
    auto* hdr = reinterpret_cast<NMHDR*>(lParam);
    if (!hdr) return FALSE;
    UINT id = hdr->hwndFrom ? static_cast<UINT>(::GetDlgCtrlID(hdr->hwndFrom)) : 0;
    AFX_NOTIFY n{pResult, hdr};
    return OnCmdMsg(id, static_cast<int>(hdr->code), &n, nullptr);
}
LRESULT CWnd::Default()
{
    afx::RunDefault();
    return 0;
}
void CWnd::DoDataExchange(CDataExchange*) {}
void CWnd::DrawItem(LPDRAWITEMSTRUCT) {}
void CWnd::OnDestroy() { Default(); }
void CWnd::OnSize(UINT, int, int) { Default(); }
void CWnd::OnMove(int, int) { Default(); }
void CWnd::OnLButtonDown(UINT, CPoint) { Default(); }
void CWnd::OnLButtonUp(UINT, CPoint) { Default(); }
void CWnd::OnRButtonDown(UINT, CPoint) { Default(); }
void CWnd::OnRButtonUp(UINT, CPoint) { Default(); }
void CWnd::OnSetFocus(CWnd*) { Default(); }
void CWnd::OnKillFocus(CWnd*) { Default(); }
void CWnd::OnTimer(UINT_PTR) { Default(); }
void CWnd::OnVScroll(UINT, UINT, CScrollBar*) { Default(); }
void CWnd::OnHScroll(UINT, UINT, CScrollBar*) { Default(); }

BOOL CWnd::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    try {
        DoDataExchange(&dx);
    } catch (const CUserException&) {
        return FALSE;
    }
    return TRUE;
}
BOOL CWnd::EnableToolTips(BOOL bEnable)
{
    if (!afx::IsLive(m_hWnd)) return FALSE;
    BOOL was = m_hWnd->tooltips;
    m_hWnd->tooltips = bEnable != 0;
    return was;
}

// ---- Widgets --------------------------------------------------------------------------

namespace {

// Turns the widget's Qt events into the window messages of its owner.
template <class Base>
class AfxWidget : public Base, public AfxHolder {
public:
    using Base::Base;

protected:
    bool event(QEvent* e) override
    {
        HWND h = this->h;
        if (!h) return Base::event(e);
        switch (e->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease: {
            auto* me = static_cast<QMouseEvent*>(e);
            bool press = e->type() == QEvent::MouseButtonPress;
            UINT msg = 0;
            if (me->button() == Qt::LeftButton) msg = press ? WM_LBUTTONDOWN : WM_LBUTTONUP;
            if (me->button() == Qt::RightButton) msg = press ? WM_RBUTTONDOWN : WM_RBUTTONUP;
            if (!msg) break;
            bool result = true;
            std::function<void()> deflt = [&] { result = Base::event(e); };
            QPoint p = me->position().toPoint();
            if (afx::Route(h, msg, 0, MAKELPARAM(static_cast<unsigned>(p.x()), static_cast<unsigned>(p.y())), deflt))
                return result;
            break;
        }
        case QEvent::FocusIn:
        case QEvent::FocusOut: {
            bool result = true;
            std::function<void()> deflt = [&] { result = Base::event(e); };
            if (afx::Route(h, e->type() == QEvent::FocusIn ? WM_SETFOCUS : WM_KILLFOCUS, 0, 0, deflt)) return result;
            break;
        }
        case QEvent::Resize: {
            bool result = Base::event(e);
            auto* re = static_cast<QResizeEvent*>(e);
            afx::Route(h, WM_SIZE, 0,
                       MAKELPARAM(static_cast<unsigned>(re->size().width()), static_cast<unsigned>(re->size().height())), {});
            return result;
        }
        case QEvent::Move: {
            bool result = Base::event(e);
            auto* me = static_cast<QMoveEvent*>(e);
            afx::Route(h, WM_MOVE, 0, MAKELPARAM(static_cast<unsigned>(me->pos().x()), static_cast<unsigned>(me->pos().y())), {});
            return result;
        }
        case QEvent::ToolTip: {
            std::string text;
            if (afx::ToolTipFor(h, text)) {
                auto* he = static_cast<QHelpEvent*>(e);
                if (text.empty())
                    QToolTip::hideText();
                else
                    QToolTip::showText(he->globalPos(), QString::fromLatin1(text.c_str()), this);
                return true;
            }
            break;
        }
        case QEvent::Paint:
            if (h->ownerDraw && h->owner) {
                QPainter painter(this);
                CDC dc;
                HDC__ hdc;
                hdc.painter = &painter;
                hdc.dc = &dc;
                hdc.font = this->font();
                dc.m_hDC = &hdc;
                DRAWITEMSTRUCT dis{};
                dis.CtlType = ODT_BUTTON;
                dis.CtlID = static_cast<UINT>(h->id);
                dis.itemAction = ODA_DRAWENTIRE;
                if (this->hasFocus()) dis.itemState |= ODS_FOCUS;
                if (!this->isEnabled()) dis.itemState |= ODS_DISABLED;
                if (auto* b = dynamic_cast<QAbstractButton*>(static_cast<Base*>(this)); b && b->isDown())
                    dis.itemState |= ODS_SELECTED;
                dis.hwndItem = h;
                dis.hDC = &hdc;
                dis.rcItem = RECT{0, 0, this->width(), this->height()};
                h->owner->DrawItem(&dis);
                dc.m_hDC = nullptr;
                return true;
            }
            break;
        default: break;
        }
        return Base::event(e);
    }
};

class AfxDialogWidget : public AfxWidget<QDialog> {
public:
    using AfxWidget<QDialog>::AfxWidget;

protected:
    void reject() override { Cancel(); }
    void closeEvent(QCloseEvent* e) override
    {
        e->ignore();
        Cancel();
    }

private:
    void Cancel()
    {
        if (h && h->owner) h->owner->SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
};

class AfxCombo : public AfxWidget<QComboBox> {
public:
    using AfxWidget<QComboBox>::AfxWidget;
    void hidePopup() override
    {
        AfxWidget<QComboBox>::hidePopup();
        afx::Command(h, CBN_CLOSEUP);
    }
};

// The up-down control: two arrows that step a position and tell the parent.
class AfxSpin : public AfxWidget<QWidget> {
public:
    AfxSpin(QWidget* parent, bool horizontal) : AfxWidget<QWidget>(parent)
    {
        auto* up = new QToolButton(this);
        auto* down = new QToolButton(this);
        up->setArrowType(horizontal ? Qt::RightArrow : Qt::UpArrow);
        down->setArrowType(horizontal ? Qt::LeftArrow : Qt::DownArrow);
        up->setAutoRaise(false);
        down->setAutoRaise(false);
        QBoxLayout* l = horizontal ? static_cast<QBoxLayout*>(new QHBoxLayout(this)) : new QVBoxLayout(this);
        l->setContentsMargins(0, 0, 0, 0);
        l->setSpacing(0);
        if (horizontal) {
            l->addWidget(down);
            l->addWidget(up);
        } else {
            l->addWidget(up);
            l->addWidget(down);
        }
        QObject::connect(up, &QToolButton::clicked, this, [this] { Step(+1); });
        QObject::connect(down, &QToolButton::clicked, this, [this] { Step(-1); });
    }
    void Step(int delta)
    {
        HWND h = this->h;
        if (!h) return;
        int pos = h->spinPos;
        if ((h->style & UDS_SETBUDDYINT) && afx::IsLive(h->buddy) && h->buddy->owner) {
            BOOL ok = FALSE;
            CString text;
            h->buddy->owner->GetWindowText(text);
            char* end = nullptr;
            long v = std::strtol(text, &end, h->spinBase == 16 ? 16 : 10);
            ok = !text.IsEmpty() && end && *end == '\0';
            if (ok) pos = static_cast<int>(v);
        }
        int lo = std::min(h->spinLower, h->spinUpper), hi = std::max(h->spinLower, h->spinUpper);
        int dir = h->spinUpper >= h->spinLower ? delta : -delta;
        int next = pos + dir;
        if (next < lo || next > hi) {
            if (!(h->style & UDS_WRAP)) {
                next = std::clamp(next, lo, hi);
                if (next == pos) return;
            } else {
                next = next < lo ? hi : lo;
            }
        }
        NMUPDOWN nm{};
        nm.hdr.code = UDN_DELTAPOS;
        nm.iPos = pos;
        nm.iDelta = next - pos;
        if (afx::Notify(h, &nm.hdr) != 0 || !afx::IsLive(h)) return;
        SetPos(h, pos + nm.iDelta);
        afx::Scroll(h, (h->style & UDS_HORZ) ? WM_HSCROLL : WM_VSCROLL, SB_THUMBPOSITION, h->spinPos);
    }
    static void SetPos(HWND h, int pos)
    {
        int lo = std::min(h->spinLower, h->spinUpper), hi = std::max(h->spinLower, h->spinUpper);
        h->spinPos = std::clamp(pos, lo, hi);
        if ((h->style & UDS_SETBUDDYINT) && afx::IsLive(h->buddy) && h->buddy->owner) {
            CString s;
            if (h->spinBase == 16)
                s.Format("0x%X", static_cast<unsigned>(h->spinPos));
            else
                s.Format("%d", h->spinPos);
            h->buddy->owner->SetWindowText(s);
        }
    }
};

}  // namespace

void AfxSpinSetPos(HWND h, int pos) { AfxSpin::SetPos(h, pos); }
void AfxSpinStep(HWND h, int delta)
{
    if (auto* s = dynamic_cast<AfxSpin*>(h->widget)) s->Step(delta);
}

// ---- Dialog templates -----------------------------------------------------------------

int afx::Dx(int du) { return (du * 6 + 2) / 4; }
int afx::Dy(int du) { return (du * 13 + 4) / 8; }
QFont afx::DialogFont()
{
    QFont f("DejaVu Sans");
    f.setPixelSize(10);
    return f;
}

static CWnd* LibraryObject(AfxItem kind)
{
    switch (kind) {
    case AfxItem::LText:
    case AfxItem::CText:
    case AfxItem::RText:
    case AfxItem::Bitmap: return new CStatic;
    case AfxItem::GroupBox:
    case AfxItem::PushButton:
    case AfxItem::DefPushButton:
    case AfxItem::CheckBox:
    case AfxItem::RadioButton: return new CButton;
    case AfxItem::Edit: return new CEdit;
    case AfxItem::ComboBox: return new CComboBox;
    case AfxItem::Tree: return new CTreeCtrl;
    case AfxItem::Tab: return new CTabCtrl;
    case AfxItem::Slider: return new CSliderCtrl;
    case AfxItem::Spin: return new CSpinButtonCtrl;
    }
    return new CWnd;
}

HWND afx::CreateControl(HWND parent, AfxItem kind, int id, const char* text, QRect r, DWORD style,
                        const char* const* entries, UINT image)
{
    QWidget* pw = parent->widget;
    QString t = QString::fromLatin1(text ? text : "");
    QWidget* w = nullptr;
    HWND h = nullptr;
    auto make = [&](QWidget* widget) {
        w = widget;
        CWnd* obj = LibraryObject(kind);
        h = NewHandle(w, obj, parent, id);
        h->own = obj;
        h->kind = kind;
        h->style = style;
    };
    switch (kind) {
    case AfxItem::LText:
    case AfxItem::CText:
    case AfxItem::RText: {
        auto* l = new AfxWidget<QLabel>(pw);
        l->setText(QString(t).replace('\r', '\n'));
        l->setWordWrap(true);
        Qt::Alignment a = kind == AfxItem::CText ? Qt::AlignHCenter : kind == AfxItem::RText ? Qt::AlignRight : Qt::AlignLeft;
        l->setAlignment(a | Qt::AlignTop);
        if (style & SS_SUNKEN) l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        make(l);
        break;
    }
    case AfxItem::GroupBox: make(new AfxWidget<QGroupBox>(t, pw)); break;
    case AfxItem::PushButton:
    case AfxItem::DefPushButton: {
        auto* b = new AfxWidget<QPushButton>(t, pw);
        b->setAutoDefault(kind == AfxItem::DefPushButton);
        b->setDefault(kind == AfxItem::DefPushButton);
        make(b);
        h->ownerDraw = (style & 0x0F) == BS_OWNERDRAW;
        QObject::connect(b, &QPushButton::clicked, b, [b] { afx::Command(b->h, BN_CLICKED); });
        break;
    }
    case AfxItem::CheckBox: {
        auto* b = new AfxWidget<QCheckBox>(t, pw);
        make(b);
        QObject::connect(b, &QCheckBox::clicked, b, [b] { afx::Command(b->h, BN_CLICKED); });
        break;
    }
    case AfxItem::RadioButton: {
        auto* b = new AfxWidget<QRadioButton>(t, pw);
        b->setAutoExclusive(false);
        make(b);
        HWND prev = parent->children.size() >= 2 ? parent->children[parent->children.size() - 2] : nullptr;
        if (!(style & WS_GROUP) && prev && prev->kind == AfxItem::RadioButton && prev->radioGroup) {
            h->radioGroup = prev->radioGroup;
        } else {
            h->radioGroup = new QButtonGroup(pw);
        }
        h->radioGroup->addButton(b);
        QObject::connect(b, &QRadioButton::clicked, b, [b] { afx::Command(b->h, BN_CLICKED); });
        break;
    }
    case AfxItem::Edit:
        if (style & ES_MULTILINE) {
            auto* e = new AfxWidget<QPlainTextEdit>(pw);
            e->setReadOnly(style & ES_READONLY);
            e->setLineWrapMode((style & WS_HSCROLL) ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
            e->setVerticalScrollBarPolicy((style & WS_VSCROLL) ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAsNeeded);
            e->setHorizontalScrollBarPolicy((style & WS_HSCROLL) ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAsNeeded);
            // A multi-line edit's tab stops fall every 32 dialog units, as Win32's do.
            e->setTabStopDistance(Dx(32));
            e->setPlainText(t);
            make(e);
            QObject::connect(e, &QPlainTextEdit::textChanged, e, [e] { afx::Command(e->h, EN_CHANGE); });
        } else {
            auto* e = new AfxWidget<QLineEdit>(t, pw);
            e->setReadOnly(style & ES_READONLY);
            if (style & ES_CENTER) e->setAlignment(Qt::AlignHCenter);
            if (style & ES_RIGHT) e->setAlignment(Qt::AlignRight);
            make(e);
            QObject::connect(e, &QLineEdit::textChanged, e, [e] { afx::Command(e->h, EN_CHANGE); });
        }
        break;
    case AfxItem::ComboBox: {
        auto* c = new AfxCombo(pw);
        c->setEditable((style & 0x03) == CBS_DROPDOWN);
        c->setInsertPolicy(QComboBox::NoInsert);
        for (auto* e = entries; e && *e; ++e) c->addItem(QString::fromLatin1(*e));
        c->setCurrentIndex(-1);
        make(c);
        QObject::connect(c, &QComboBox::activated, c, [c](int) { afx::Command(c->h, CBN_SELCHANGE); });
        if (c->lineEdit())
            QObject::connect(c->lineEdit(), &QLineEdit::textEdited, c, [c] { afx::Command(c->h, CBN_EDITCHANGE); });
        r.setHeight(std::min(r.height(), Dy(14)));
        break;
    }
    case AfxItem::Bitmap: {
        auto* l = new AfxWidget<QLabel>(pw);
        QImage img = BitmapImage(image);
        if (!img.isNull()) {
            l->setPixmap(QPixmap::fromImage(img));
            r.setSize(img.size());
        }
        make(l);
        break;
    }
    case AfxItem::Tree: {
        auto* tr = new AfxWidget<QTreeWidget>(pw);
        tr->setHeaderHidden(true);
        tr->setColumnCount(1);
        tr->setRootIsDecorated(style & (TVS_LINESATROOT | TVS_HASBUTTONS));
        tr->setIconSize(QSize(16, 16));
        tr->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
        tr->header()->setStretchLastSection(false);
        tr->setTextElideMode(Qt::ElideNone);
        make(tr);
        QObject::connect(tr, &QTreeWidget::currentItemChanged, tr, [tr](QTreeWidgetItem* now, QTreeWidgetItem* before) {
            NMTREEVIEW nm{};
            nm.hdr.code = TVN_SELCHANGED;
            nm.action = TVC_UNKNOWN;
            nm.itemOld.mask = TVIF_HANDLE | TVIF_PARAM;
            nm.itemOld.hItem = reinterpret_cast<HTREEITEM>(before);
            nm.itemOld.lParam = before ? static_cast<LPARAM>(before->data(0, Qt::UserRole).toLongLong()) : 0;
            nm.itemNew.mask = TVIF_HANDLE | TVIF_PARAM;
            nm.itemNew.hItem = reinterpret_cast<HTREEITEM>(now);
            nm.itemNew.lParam = now ? static_cast<LPARAM>(now->data(0, Qt::UserRole).toLongLong()) : 0;
            afx::Notify(tr->h, &nm.hdr);
        });
        break;
    }
    case AfxItem::Tab: {
        auto* tb = new AfxWidget<QTabBar>(pw);
        tb->setDrawBase(true);
        tb->setExpanding(false);
        make(tb);
        QObject::connect(tb, &QTabBar::currentChanged, tb, [tb](int) {
            NMHDR hdr{};
            hdr.code = TCN_SELCHANGE;
            afx::Notify(tb->h, &hdr);
        });
        break;
    }
    case AfxItem::Slider: {
        bool vertical = style & TBS_VERT;
        auto* s = new AfxWidget<QSlider>(vertical ? Qt::Vertical : Qt::Horizontal, pw);
        s->setRange(0, 100);
        if (style & TBS_AUTOTICKS) s->setTickPosition(vertical ? QSlider::TicksRight : QSlider::TicksBelow);
        make(s);
        QObject::connect(s, &QSlider::valueChanged, s, [s, vertical](int v) {
            afx::Scroll(s->h, vertical ? WM_VSCROLL : WM_HSCROLL, TB_THUMBPOSITION, v);
        });
        break;
    }
    case AfxItem::Spin: {
        auto* s = new AfxSpin(pw, style & UDS_HORZ);
        make(s);
        h->spinLower = 100;  // the control's own default range, 100 down to 0
        h->spinUpper = 0;
        if (style & UDS_AUTOBUDDY) {
            HWND prev = parent->children.size() >= 2 ? parent->children[parent->children.size() - 2] : nullptr;
            h->buddy = prev;
            if (prev && (style & UDS_ALIGNRIGHT)) {
                QRect br = prev->widget->geometry();
                int width = std::max(r.width(), 14);
                prev->widget->setGeometry(br.adjusted(0, 0, -width, 0));
                r = QRect(br.right() - width + 1, br.top(), width, br.height());
            }
        }
        break;
    }
    }
    w->setGeometry(r);
    if (kind == AfxItem::GroupBox) w->lower();
    w->setEnabled(!(style & WS_DISABLED));
    w->setVisible(style & WS_VISIBLE);
    if (!(style & WS_VISIBLE)) w->setAttribute(Qt::WA_WState_ExplicitShowHide, true);
    return h;
}

QWidget* afx::CreateDialogWindow(CWnd* owner, const AFX_DLGTEMPLATE* t, QWidget* parent, bool child)
{
    AfxEnsureApplication();
    QWidget* w = child ? static_cast<QWidget*>(new AfxWidget<QWidget>(parent)) : new AfxDialogWidget(parent);
    w->setFont(DialogFont());
    w->resize(Dx(t->cx), Dy(t->cy));
    if (!child) w->setWindowTitle(QString::fromLatin1(t->caption ? t->caption : ""));
    HWND parentHandle = nullptr;
    if (child && parent)
        if (auto* holder = HolderOf(parent)) parentHandle = holder->h;
    HWND h = NewHandle(w, owner, parentHandle, 0);
    h->kind = AfxItem::LText;
    for (size_t i = 0; i < t->count; ++i) {
        const AFX_DLGITEM& it = t->items[i];
        CreateControl(h, it.kind, it.id, it.text, QRect(Dx(it.x), Dy(it.y), Dx(it.cx), Dy(it.cy)), it.style, it.entries,
                      it.image);
    }
    return w;
}

// ---- Modal loops ----------------------------------------------------------------------

namespace {
std::map<QWidget*, QEventLoop*>& Loops()
{
    static std::map<QWidget*, QEventLoop*> loops;
    return loops;
}
}  // namespace

int afx::RunModal(QWidget* window, std::function<bool()> ended)
{
    if (ended()) return 0;
    window->setWindowModality(Qt::ApplicationModal);
    window->show();
    QEventLoop loop;
    Loops()[window] = &loop;
    while (!ended()) loop.exec(QEventLoop::DialogExec);
    Loops().erase(window);
    window->hide();
    return 0;
}
void afx::EndModal(QWidget* window)
{
    auto it = Loops().find(window);
    if (it != Loops().end()) it->second->quit();
}

// ---- CDialog --------------------------------------------------------------------------

IMPLEMENT_DYNAMIC(CDialog, CWnd)
BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_COMMAND(IDOK, OnOK)
    ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

static QWidget* ParentWidget(CWnd* parent)
{
    if (parent && afx::IsLive(parent->m_hWnd)) return parent->m_hWnd->widget->window();
    return QApplication::activeModalWidget();
}

int CDialog::DoModal()
{
    AfxEnsureApplication();
    const AFX_DLGTEMPLATE* t = AfxFindDialog(m_nIDTemplate);
    if (!t || m_hWnd) return -1;
    QWidget* w = afx::CreateDialogWindow(this, t, ParentWidget(m_pParentWnd), false);
    m_nModalResult = -1;
    m_bInModal = true;
    OnInitDialog();
    if (m_nModalResult == -1 && afx::IsLive(m_hWnd)) {
        if (afxtest::Scripted() && !afx::ScriptModal(this)) EndDialog(IDCANCEL);
        afx::RunModal(w, [this] { return m_nModalResult != -1 || !afx::IsLive(m_hWnd); });
    }
    m_bInModal = false;
    DestroyWindow();
    return m_nModalResult;
}

void CDialog::EndDialog(int nResult)
{
    m_nModalResult = nResult;
    if (afx::IsLive(m_hWnd)) afx::EndModal(m_hWnd->widget);
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}
void CDialog::OnOK()
{
    if (!UpdateData(TRUE)) return;
    EndDialog(IDOK);
}
void CDialog::OnCancel() { EndDialog(IDCANCEL); }

// ---- Data exchange --------------------------------------------------------------------

HWND CDataExchange::PrepareCtrl(int nIDC)
{
    CWnd* w = m_pDlgWnd ? m_pDlgWnd->GetDlgItem(nIDC) : nullptr;
    if (!w) {
        std::fprintf(stderr, "data exchange: no control %d in the dialog\n", nIDC);
        throw CUserException();
    }
    m_hWndLastControl = w->m_hWnd;
    m_bEditLastControl = FALSE;
    return w->m_hWnd;
}
HWND CDataExchange::PrepareEditCtrl(int nIDC)
{
    HWND h = PrepareCtrl(nIDC);
    m_bEditLastControl = TRUE;
    return h;
}
void CDataExchange::Fail()
{
    if (afx::IsLive(m_hWndLastControl)) {
        QWidget* w = m_hWndLastControl->widget;
        w->setFocus(Qt::OtherFocusReason);
        if (auto* e = qobject_cast<QLineEdit*>(w)) e->selectAll();
    }
    throw CUserException();
}

static CWnd* Ctl(HWND h) { return h->owner; }

static void Refuse(CDataExchange* pDX, const char* text)
{
    AfxMessageBox(text, MB_ICONEXCLAMATION);
    pDX->Fail();
}

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value)
{
    HWND h = pDX->PrepareEditCtrl(nIDC);
    if (pDX->m_bSaveAndValidate)
        Ctl(h)->GetWindowText(value);
    else
        Ctl(h)->SetWindowText(value);
}

// Whole text as a signed or unsigned decimal number within 32 bits.
static bool ParseNumber(const CString& text, bool isSigned, long long& out)
{
    CString s = text;
    s.Trim();
    if (s.IsEmpty()) return false;
    const char* p = s;
    if (!isSigned && *p == '-') return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(p, &end, 10);
    if (errno || !end || *end) return false;
    if (isSigned ? (v < INT32_MIN || v > INT32_MAX) : (v < 0 || v > UINT32_MAX)) return false;
    out = v;
    return true;
}

template <class T>
static void NumberExchange(CDataExchange* pDX, int nIDC, T& value, bool isSigned)
{
    HWND h = pDX->PrepareEditCtrl(nIDC);
    if (pDX->m_bSaveAndValidate) {
        CString text;
        Ctl(h)->GetWindowText(text);
        long long v = 0;
        if (!ParseNumber(text, isSigned, v)) Refuse(pDX, isSigned ? "Please enter an integer." : "Please enter a positive integer.");
        value = static_cast<T>(v);
    } else {
        CString text;
        if (isSigned)
            text.Format("%lld", static_cast<long long>(value));
        else
            text.Format("%llu", static_cast<unsigned long long>(value));
        Ctl(h)->SetWindowText(text);
    }
}
void DDX_Text(CDataExchange* pDX, int nIDC, int& value) { NumberExchange(pDX, nIDC, value, true); }
void DDX_Text(CDataExchange* pDX, int nIDC, UINT& value) { NumberExchange(pDX, nIDC, value, false); }
void DDX_Text(CDataExchange* pDX, int nIDC, long& value) { NumberExchange(pDX, nIDC, value, true); }
void DDX_Text(CDataExchange* pDX, int nIDC, unsigned long& value) { NumberExchange(pDX, nIDC, value, false); }

// The list exchanges work on the control itself, whatever object subclassed it.
void DDX_CBIndex(CDataExchange* pDX, int nIDC, int& index)
{
    HWND h = pDX->PrepareCtrl(nIDC);
    auto* c = qobject_cast<QComboBox*>(h->widget);
    if (!c) return;
    if (pDX->m_bSaveAndValidate) {
        index = c->currentIndex();
    } else {
        bool was = h->quiet;
        h->quiet = true;
        c->setCurrentIndex(index >= 0 && index < c->count() ? index : -1);
        if (c->currentIndex() < 0 && c->isEditable()) c->setEditText(QString());
        h->quiet = was;
    }
}
void DDX_CBString(CDataExchange* pDX, int nIDC, CString& value)
{
    HWND h = pDX->PrepareCtrl(nIDC);
    auto* c = qobject_cast<QComboBox*>(h->widget);
    if (!c) return;
    if (pDX->m_bSaveAndValidate) {
        Ctl(h)->GetWindowText(value);
    } else if (c->isEditable()) {
        c->setEditText(QString::fromLatin1(static_cast<LPCTSTR>(value)));
    } else {
        bool was = h->quiet;
        h->quiet = true;
        c->setCurrentIndex(c->findText(QString::fromLatin1(static_cast<LPCTSTR>(value)), Qt::MatchFixedString));
        h->quiet = was;
    }
}
void DDX_Radio(CDataExchange* pDX, int nIDC, int& value)
{
    HWND h = pDX->PrepareCtrl(nIDC);
    QButtonGroup* g = h->radioGroup;
    if (!g) return;
    QList<QAbstractButton*> buttons = g->buttons();
    if (pDX->m_bSaveAndValidate) {
        value = -1;
        for (int i = 0; i < buttons.size(); ++i)
            if (buttons[i]->isChecked()) value = i;
    } else {
        g->setExclusive(false);
        for (int i = 0; i < buttons.size(); ++i) buttons[i]->setChecked(i == value);
        g->setExclusive(true);
    }
}
void DDX_Check(CDataExchange* pDX, int nIDC, int& value)
{
    HWND h = pDX->PrepareCtrl(nIDC);
    auto* b = qobject_cast<QAbstractButton*>(h->widget);
    if (!b) return;
    if (pDX->m_bSaveAndValidate)
        value = b->isChecked() ? BST_CHECKED : BST_UNCHECKED;
    else
        b->setChecked(value != BST_UNCHECKED);
}
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& control)
{
    if (control.m_hWnd) return;
    HWND h = pDX->PrepareCtrl(nIDC);
    if (!control.SubclassWindow(h)) {
        std::fprintf(stderr, "data exchange: control %d is taken\n", nIDC);
        throw CUserException();
    }
}
void DDX_Slider(CDataExchange* pDX, int nIDC, int& value)
{
    HWND h = pDX->PrepareCtrl(nIDC);
    auto* s = qobject_cast<QSlider*>(h->widget);
    if (!s) return;
    if (pDX->m_bSaveAndValidate) {
        value = s->value();
    } else {
        bool was = h->quiet;
        h->quiet = true;
        s->setValue(value);
        h->quiet = was;
    }
}

void DDV_MaxChars(CDataExchange* pDX, const CString& value, int nChars)
{
    if (pDX->m_bSaveAndValidate) {
        if (value.GetLength() > nChars) {
            CString text = "Please enter no more than %1 characters.";
            text.Replace("%1", std::to_string(nChars).c_str());
            Refuse(pDX, text);
        }
    } else if (HWND h = pDX->m_hWndLastControl; afx::IsLive(h)) {
        QLineEdit* edit = qobject_cast<QLineEdit*>(h->widget);
        if (auto* c = qobject_cast<QComboBox*>(h->widget)) edit = c->lineEdit();
        afx::LimitText(h, edit, nChars);
    }
}

template <class T>
static void Range(CDataExchange* pDX, T value, T lo, T hi)
{
    if (!pDX->m_bSaveAndValidate || (value >= lo && value <= hi)) return;
    CString text = "Please enter an integer between %1 and %2.";
    text.Replace("%1", std::to_string(lo).c_str());
    text.Replace("%2", std::to_string(hi).c_str());
    Refuse(pDX, text);
}
void DDV_MinMaxInt(CDataExchange* pDX, int value, int minVal, int maxVal) { Range(pDX, value, minVal, maxVal); }
void DDV_MinMaxUInt(CDataExchange* pDX, UINT value, UINT minVal, UINT maxVal) { Range(pDX, value, minVal, maxVal); }
void DDV_MinMaxLong(CDataExchange* pDX, long value, long minVal, long maxVal) { Range(pDX, value, minVal, maxVal); }
void DDV_MinMaxDWord(CDataExchange* pDX, unsigned long value, unsigned long minVal, unsigned long maxVal)
{
    Range(pDX, value, minVal, maxVal);
}
