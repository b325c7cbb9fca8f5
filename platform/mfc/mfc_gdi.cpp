// Bitmaps, fonts, device contexts and menus.
#include "platform/mfc/afxtest.h"
#include "platform/mfc/mfc_internal.h"

QImage afx::BitmapImage(UINT id)
{
    const AFX_BITMAPRES* res = AfxFindBitmap(id);
    if (!res || !res->xpm) return {};
    return QImage(res->xpm).convertToFormat(QImage::Format_ARGB32);
}

// ---- GDI objects ----------------------------------------------------------------------

CGdiObject::~CGdiObject() = default;
BOOL CGdiObject::DeleteObject()
{
    if (!m_hObject) return FALSE;
    Destroy();
    m_hObject = nullptr;
    return TRUE;
}

CBitmap::~CBitmap() { DeleteObject(); }
void CBitmap::Destroy() { delete static_cast<HBITMAP>(m_hObject); }
BOOL CBitmap::LoadBitmap(UINT id)
{
    DeleteObject();
    QImage img = afx::BitmapImage(id);
    if (img.isNull()) return FALSE;
    m_hObject = new HBITMAP__{img};
    return TRUE;
}
BOOL CBitmap::CreateCompatibleBitmap(CDC*, int cx, int cy)
{
    DeleteObject();
    if (cx <= 0 || cy <= 0) return FALSE;
    QImage img(cx, cy, QImage::Format_ARGB32);
    img.fill(Qt::black);
    m_hObject = new HBITMAP__{img};
    return TRUE;
}
int CBitmap::GetBitmap(BITMAP* p) const
{
    auto* h = static_cast<HBITMAP>(m_hObject);
    if (!h || !p) return 0;
    *p = BITMAP{0, h->image.width(), h->image.height(), static_cast<LONG>(h->image.bytesPerLine()), 1, 32, nullptr};
    return static_cast<int>(sizeof(BITMAP));
}
HBITMAP CBitmap::Detach()
{
    auto* h = static_cast<HBITMAP>(m_hObject);
    m_hObject = nullptr;
    return h;
}
BOOL CBitmap::Attach(HBITMAP h)
{
    if (m_hObject || !h) return FALSE;
    m_hObject = h;
    return TRUE;
}
CBitmap* CBitmap::FromHandle(HBITMAP h)
{
    // A temporary object per handle that does not own it.
    static thread_local std::map<HBITMAP, CBitmap> temporaries;
    if (!h) return nullptr;
    CBitmap& b = temporaries[h];
    b.m_hObject = h;
    struct Release {
        ~Release()
        {
            for (auto& [handle, bitmap] : temporaries) bitmap.m_hObject = nullptr;
        }
    };
    static thread_local Release release;
    (void)release;
    return &b;
}

HBITMAP LoadBitmap(HINSTANCE, UINT id)
{
    QImage img = afx::BitmapImage(id);
    return img.isNull() ? nullptr : new HBITMAP__{img};
}
BOOL DeleteObject(void* hObject)
{
    // Bitmaps are the only objects handed out as bare handles.
    delete static_cast<HBITMAP>(hObject);
    return hObject != nullptr;
}

CFont::~CFont() { DeleteObject(); }
void CFont::Destroy() { delete static_cast<HFONT>(m_hObject); }
BOOL CFont::CreateFont(int nHeight, int, int, int, int nWeight, BYTE bItalic, BYTE bUnderline, BYTE cStrikeOut, BYTE,
                       BYTE, BYTE, BYTE, BYTE nPitchAndFamily, LPCTSTR lpszFacename)
{
    DeleteObject();
    QFont f(QString::fromLatin1(lpszFacename && *lpszFacename ? lpszFacename : "DejaVu Sans"));
    // "MS Sans Serif" and other faces this host lacks fall back to a Swiss face.
    if (!QFontInfo(f).exactMatch() && (nPitchAndFamily & 0xF0) == FF_SWISS) f.setFamily("DejaVu Sans");
    // A positive height is the cell height; a negative one the character height.
    int px = nHeight > 0 ? std::max(6, nHeight * 4 / 5) : nHeight < 0 ? -nHeight : 10;
    f.setPixelSize(px);
    f.setWeight(nWeight >= FW_BOLD ? QFont::Bold : QFont::Normal);
    f.setItalic(bItalic);
    f.setUnderline(bUnderline);
    f.setStrikeOut(cStrikeOut);
    m_hObject = new HFONT__{f};
    return TRUE;
}
BOOL CFont::CreatePointFont(int nPointSize, LPCTSTR lpszFaceName, CDC*)
{
    // Tenths of a point at 96 pixels per inch.
    return CreateFont(-(nPointSize * 96 / 720), 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, FF_SWISS,
                      lpszFaceName);
}

// ---- Device contexts ------------------------------------------------------------------

CDC::CDC() = default;
CDC::~CDC() { DeleteDC(); }
CDC* CDC::FromHandle(HDC h) { return h ? h->dc : nullptr; }
BOOL CDC::CreateCompatibleDC(CDC*)
{
    DeleteDC();
    m_hDC = new HDC__;
    m_hDC->dc = this;
    return TRUE;
}
BOOL CDC::DeleteDC()
{
    // Only memory contexts are ours; a painting context belongs to the paint.
    if (!m_hDC || m_hDC->painter) return FALSE;
    delete m_hDC;
    m_hDC = nullptr;
    return TRUE;
}
CBitmap* CDC::SelectObject(CBitmap* pBitmap)
{
    if (!m_hDC) return nullptr;
    HBITMAP old = m_hDC->bitmap;
    m_hDC->bitmap = pBitmap ? static_cast<HBITMAP>(*pBitmap) : nullptr;
    return old ? CBitmap::FromHandle(old) : nullptr;
}
CFont* CDC::SelectObject(CFont* pFont)
{
    if (!m_hDC || !pFont || !static_cast<HFONT>(*pFont)) return nullptr;
    m_hDC->font = static_cast<HFONT>(*pFont)->font;
    if (m_hDC->painter) m_hDC->painter->setFont(m_hDC->font);
    return nullptr;
}

namespace {
// Runs `draw` with a painter on the context: the paint's, or one on the selected bitmap.
template <class F>
bool Paint(HDC h, F draw)
{
    if (!h) return false;
    if (h->painter) {
        draw(*h->painter);
        return true;
    }
    if (!h->bitmap) return false;
    QPainter p(&h->bitmap->image);
    p.setFont(h->font);
    draw(p);
    return true;
}
}  // namespace

BOOL CDC::BitBlt(int x, int y, int nWidth, int nHeight, CDC* pSrcDC, int xSrc, int ySrc, DWORD)
{
    if (!pSrcDC || !pSrcDC->m_hDC || !pSrcDC->m_hDC->bitmap) return FALSE;
    QImage src = pSrcDC->m_hDC->bitmap->image;  // a copy: source and target may be one bitmap
    return Paint(m_hDC, [&](QPainter& p) {
        p.drawImage(QRect(x, y, nWidth, nHeight), src, QRect(xSrc, ySrc, nWidth, nHeight));
    });
}
void CDC::DrawFocusRect(LPCRECT r)
{
    if (!r) return;
    Paint(m_hDC, [&](QPainter& p) {
        p.save();
        p.setPen(QPen(Qt::black, 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRect(QPoint(r->left, r->top), QPoint(r->right - 1, r->bottom - 1)));
        p.restore();
    });
}
void CDC::FillSolidRect(LPCRECT r, COLORREF clr)
{
    if (!r) return;
    Paint(m_hDC, [&](QPainter& p) {
        p.fillRect(QRect(QPoint(r->left, r->top), QPoint(r->right - 1, r->bottom - 1)),
                   QColor(GetRValue(clr), GetGValue(clr), GetBValue(clr)));
    });
}
BOOL CDC::TextOut(int x, int y, const CString& str)
{
    return Paint(m_hDC, [&](QPainter& p) {
        p.save();
        p.setPen(m_hDC->text);
        QFontMetrics fm(p.font());
        p.drawText(x, y + fm.ascent(), QString::fromLatin1(static_cast<LPCTSTR>(str)));
        p.restore();
    });
}
COLORREF CDC::SetTextColor(COLORREF clr)
{
    if (!m_hDC) return 0;
    QColor old = m_hDC->text;
    m_hDC->text = QColor(GetRValue(clr), GetGValue(clr), GetBValue(clr));
    return RGB(old.red(), old.green(), old.blue());
}
int CDC::SetBkMode(int mode)
{
    if (!m_hDC) return 0;
    int old = m_hDC->transparent ? TRANSPARENT : OPAQUE;
    m_hDC->transparent = mode == TRANSPARENT;
    return old;
}

// ---- Menus ----------------------------------------------------------------------------

static HMENU BuildMenu(const AFX_MENUITEM* items)
{
    auto* m = new HMENU__;
    for (const AFX_MENUITEM* it = items; it && (it->text || it->id || it->popup); ++it) {
        HMENU__::Item item;
        item.text = it->text ? it->text : "";
        item.id = it->id;
        item.flags = it->flags | (it->text ? 0u : static_cast<UINT>(MF_SEPARATOR));
        if (it->popup) {
            item.popup = BuildMenu(it->popup);
            item.flags |= MF_POPUP;
        }
        m->items.push_back(item);
    }
    return m;
}
static void FreeMenu(HMENU m)
{
    if (!m) return;
    for (auto& it : m->items) FreeMenu(it.popup);
    delete m;
}
static HMENU__::Item* FindItem(HMENU m, UINT id, UINT flags)
{
    if (!m) return nullptr;
    if (flags & MF_BYPOSITION) return id < m->items.size() ? &m->items[id] : nullptr;
    for (auto& it : m->items) {
        if (!it.popup && it.id == id) return &it;
        if (auto* found = FindItem(it.popup, id, flags)) return found;
    }
    return nullptr;
}

HMENU LoadMenu(HINSTANCE, UINT id)
{
    const AFX_MENU* res = AfxFindMenu(id);
    return res ? BuildMenu(res->items) : nullptr;
}
BOOL DestroyMenu(HMENU hMenu)
{
    FreeMenu(hMenu);
    return hMenu != nullptr;
}

CMenu::~CMenu() { DestroyMenu(); }
BOOL CMenu::LoadMenu(UINT id)
{
    const AFX_MENU* res = AfxFindMenu(id);
    if (!res || m_hMenu) return FALSE;
    m_hMenu = BuildMenu(res->items);
    owned_ = true;
    return TRUE;
}
BOOL CMenu::CreatePopupMenu()
{
    if (m_hMenu) return FALSE;
    m_hMenu = new HMENU__;
    owned_ = true;
    return TRUE;
}
BOOL CMenu::AppendMenu(UINT nFlags, UINT_PTR nIDNewItem, LPCTSTR lpszNewItem)
{
    if (!m_hMenu) return FALSE;
    HMENU__::Item item;
    item.flags = nFlags;
    if (nFlags & MF_POPUP)
        item.popup = reinterpret_cast<HMENU>(nIDNewItem);
    else
        item.id = static_cast<UINT>(nIDNewItem);
    item.text = lpszNewItem && !(nFlags & MF_SEPARATOR) ? lpszNewItem : "";
    m_hMenu->items.push_back(item);
    return TRUE;
}
BOOL CMenu::DestroyMenu()
{
    for (CMenu* s : submenus_) {
        s->m_hMenu = nullptr;
        delete s;
    }
    submenus_.clear();
    if (!m_hMenu) return FALSE;
    if (owned_) FreeMenu(m_hMenu);
    m_hMenu = nullptr;
    owned_ = false;
    return TRUE;
}
BOOL CMenu::Attach(HMENU h)
{
    if (m_hMenu || !h) return FALSE;
    m_hMenu = h;
    owned_ = true;
    return TRUE;
}
HMENU CMenu::Detach()
{
    HMENU h = m_hMenu;
    m_hMenu = nullptr;
    owned_ = false;
    return h;
}
CMenu* CMenu::GetSubMenu(int nPos) const
{
    if (!m_hMenu || nPos < 0 || static_cast<size_t>(nPos) >= m_hMenu->items.size()) return nullptr;
    HMENU popup = m_hMenu->items[static_cast<size_t>(nPos)].popup;
    if (!popup) return nullptr;
    for (CMenu* s : submenus_)
        if (s->m_hMenu == popup) return s;
    auto* s = new CMenu;
    s->m_hMenu = popup;  // owned by this menu
    submenus_.push_back(s);
    return s;
}
UINT CMenu::GetMenuItemCount() const { return m_hMenu ? static_cast<UINT>(m_hMenu->items.size()) : static_cast<UINT>(-1); }
UINT CMenu::GetMenuItemID(int nPos) const
{
    if (!m_hMenu || nPos < 0 || static_cast<size_t>(nPos) >= m_hMenu->items.size()) return static_cast<UINT>(-1);
    const auto& it = m_hMenu->items[static_cast<size_t>(nPos)];
    return it.popup ? static_cast<UINT>(-1) : it.id;
}
UINT CMenu::CheckMenuItem(UINT nIDCheckItem, UINT nCheck)
{
    auto* it = FindItem(m_hMenu, nIDCheckItem, nCheck);
    if (!it) return static_cast<UINT>(-1);
    UINT old = it->flags & MF_CHECKED;
    it->flags = (it->flags & ~MF_CHECKED) | (nCheck & MF_CHECKED);
    return old;
}
UINT CMenu::EnableMenuItem(UINT nIDEnableItem, UINT nEnable)
{
    auto* it = FindItem(m_hMenu, nIDEnableItem, nEnable);
    if (!it) return static_cast<UINT>(-1);
    UINT old = it->flags & (MF_GRAYED | MF_DISABLED);
    it->flags = (it->flags & ~(MF_GRAYED | MF_DISABLED)) | (nEnable & (MF_GRAYED | MF_DISABLED));
    return old;
}
UINT CMenu::GetMenuState(UINT nID, UINT nFlags) const
{
    auto* it = FindItem(m_hMenu, nID, nFlags);
    return it ? it->flags : static_cast<UINT>(-1);
}

static void FillQMenu(QMenu* q, HMENU m)
{
    for (auto& it : m->items) {
        if (it.flags & MF_SEPARATOR) {
            q->addSeparator();
        } else if (it.popup) {
            FillQMenu(q->addMenu(QString::fromLatin1(it.text.c_str())), it.popup);
        } else {
            QAction* a = q->addAction(QString::fromLatin1(it.text.c_str()));
            a->setData(it.id);
            a->setCheckable(it.flags & MF_CHECKED);
            a->setChecked(it.flags & MF_CHECKED);
            a->setEnabled(!(it.flags & (MF_GRAYED | MF_DISABLED)));
        }
    }
}

BOOL CMenu::TrackPopupMenu(UINT nFlags, int x, int y, CWnd* pWnd, LPCRECT)
{
    if (!m_hMenu) return FALSE;
    UINT chosen = 0;
    if (afxtest::Scripted()) {
        chosen = afx::ScriptMenu(m_hMenu);
    } else {
        AfxEnsureApplication();
        QMenu q(pWnd && afx::IsLive(pWnd->m_hWnd) ? pWnd->m_hWnd->widget : nullptr);
        FillQMenu(&q, m_hMenu);
        if (QAction* a = q.exec(QPoint(x, y))) chosen = a->data().toUInt();
    }
    if (nFlags & TPM_RETURNCMD) return static_cast<BOOL>(chosen);
    if (chosen && pWnd) pWnd->PostMessage(WM_COMMAND, MAKEWPARAM(chosen, 0), 0);
    return chosen != 0;
}
