// Controls and their MFC members.
#include "platform/mfc/mfc_internal.h"

void AfxSpinSetPos(HWND h, int pos);

template <class Q>
static Q* W(const CWnd* w)
{
    return w && afx::IsLive(w->m_hWnd) ? qobject_cast<Q*>(w->m_hWnd->widget) : nullptr;
}

// Changes made by the program itself send no notification, as with the real controls.
struct Quiet {
    explicit Quiet(HWND h) : h_(h)
    {
        if (h_) {
            was_ = h_->quiet;
            h_->quiet = true;
        }
    }
    ~Quiet()
    {
        if (h_ && afx::IsLive(h_)) h_->quiet = was_;
    }
    HWND h_;
    bool was_ = false;
};

// ---- Buttons and statics --------------------------------------------------------------

IMPLEMENT_DYNAMIC(CButton, CWnd)
IMPLEMENT_DYNAMIC(CBitmapButton, CButton)
IMPLEMENT_DYNAMIC(CStatic, CWnd)
IMPLEMENT_DYNAMIC(CEdit, CWnd)
IMPLEMENT_DYNAMIC(CComboBox, CWnd)

int CButton::GetCheck() const
{
    auto* b = W<QAbstractButton>(this);
    return b && b->isChecked() ? BST_CHECKED : BST_UNCHECKED;
}
void CButton::SetCheck(int nCheck)
{
    auto* b = W<QAbstractButton>(this);
    if (!b) return;
    if (QButtonGroup* g = m_hWnd->radioGroup) {
        g->setExclusive(false);
        b->setChecked(nCheck != BST_UNCHECKED);
        g->setExclusive(true);
    } else {
        b->setChecked(nCheck != BST_UNCHECKED);
    }
}
HBITMAP CButton::SetBitmap(HBITMAP h)
{
    auto* b = W<QAbstractButton>(this);
    if (!b) return nullptr;
    HBITMAP old = m_hWnd->picture;
    m_hWnd->picture = h;
    b->setIcon(h ? QIcon(QPixmap::fromImage(h->image)) : QIcon());
    if (h) b->setIconSize(h->image.size());
    return old;
}
void CButton::DrawItem(LPDRAWITEMSTRUCT) {}

BOOL CBitmapButton::LoadBitmaps(UINT nIDUp, UINT nIDDown, UINT nIDFocus, UINT nIDDisabled)
{
    m_bitmap.DeleteObject();
    m_bitmapSel.DeleteObject();
    m_bitmapFocus.DeleteObject();
    m_bitmapDisabled.DeleteObject();
    BOOL ok = m_bitmap.LoadBitmap(nIDUp);
    if (nIDDown) ok = m_bitmapSel.LoadBitmap(nIDDown) && ok;
    if (nIDFocus) ok = m_bitmapFocus.LoadBitmap(nIDFocus) && ok;
    if (nIDDisabled) ok = m_bitmapDisabled.LoadBitmap(nIDDisabled) && ok;
    return ok;
}
void CBitmapButton::SizeToContent()
{
    BITMAP bm{};
    if (!afx::IsLive(m_hWnd) || !m_bitmap.GetBitmap(&bm)) return;
    m_hWnd->widget->resize(bm.bmWidth, bm.bmHeight);
}
void CBitmapButton::DrawItem(LPDRAWITEMSTRUCT lpDIS)
{
    CBitmap* bitmap = &m_bitmap;
    UINT state = lpDIS->itemState;
    if ((state & ODS_SELECTED) && static_cast<HBITMAP>(m_bitmapSel))
        bitmap = &m_bitmapSel;
    else if ((state & ODS_FOCUS) && static_cast<HBITMAP>(m_bitmapFocus))
        bitmap = &m_bitmapFocus;
    else if ((state & ODS_DISABLED) && static_cast<HBITMAP>(m_bitmapDisabled))
        bitmap = &m_bitmapDisabled;
    if (!static_cast<HBITMAP>(*bitmap)) return;
    CDC* pDC = CDC::FromHandle(lpDIS->hDC);
    CDC memDC;
    memDC.CreateCompatibleDC(pDC);
    CBitmap* old = memDC.SelectObject(bitmap);
    CRect r(lpDIS->rcItem);
    pDC->BitBlt(r.left, r.top, r.Width(), r.Height(), &memDC, 0, 0, SRCCOPY);
    memDC.SelectObject(old);
}

HBITMAP CStatic::SetBitmap(HBITMAP h)
{
    auto* l = W<QLabel>(this);
    if (!l) return nullptr;
    HBITMAP old = m_hWnd->picture;
    m_hWnd->picture = h;
    if (h)
        l->setPixmap(QPixmap::fromImage(h->image));
    else
        l->clear();
    return old;
}
HBITMAP CStatic::GetBitmap() const { return afx::IsLive(m_hWnd) ? m_hWnd->picture : nullptr; }

// ---- Edit -----------------------------------------------------------------------------

namespace {
// The edit's text limit holds what the user types, not what the program sets.
class LimitValidator : public QValidator {
public:
    LimitValidator(QObject* parent, HWND h) : QValidator(parent), h_(h) {}
    State validate(QString& input, int&) const override
    {
        return h_->limit > 0 && input.size() > h_->limit ? Invalid : Acceptable;
    }

private:
    HWND h_;
};
}  // namespace

void afx::LimitText(HWND h, QLineEdit* l, int n)
{
    h->limit = n;
    if (l && !l->validator()) l->setValidator(new LimitValidator(l, h));
}

void CEdit::SetLimitText(UINT nMax)
{
    if (!afx::IsLive(m_hWnd)) return;
    afx::LimitText(m_hWnd, W<QLineEdit>(this), static_cast<int>(nMax));
}
UINT CEdit::GetLimitText() const { return afx::IsLive(m_hWnd) ? static_cast<UINT>(m_hWnd->limit) : 0; }
BOOL CEdit::SetReadOnly(BOOL bReadOnly)
{
    if (auto* l = W<QLineEdit>(this)) l->setReadOnly(bReadOnly);
    if (auto* e = W<QPlainTextEdit>(this)) e->setReadOnly(bReadOnly);
    return afx::IsLive(m_hWnd);
}
void CEdit::SetSel(int nStart, int nEnd)
{
    if (auto* l = W<QLineEdit>(this)) {
        if (nStart == 0 && nEnd == -1)
            l->selectAll();
        else
            l->setSelection(nStart, nEnd - nStart);
    }
    if (auto* e = W<QPlainTextEdit>(this)) {
        QTextCursor c = e->textCursor();
        int len = e->document()->characterCount() - 1;
        c.setPosition(nStart < 0 ? len : std::min(nStart, len));
        c.setPosition(nEnd < 0 ? len : std::min(nEnd, len), QTextCursor::KeepAnchor);
        e->setTextCursor(c);
    }
}
void CEdit::ReplaceSel(LPCTSTR text)
{
    QString q = QString::fromLatin1(text ? text : "");
    if (auto* l = W<QLineEdit>(this)) l->insert(q);
    if (auto* e = W<QPlainTextEdit>(this)) e->insertPlainText(q.replace("\r\n", "\n"));
}
int CEdit::GetLineCount() const
{
    if (auto* e = W<QPlainTextEdit>(this)) return e->document()->blockCount();
    return afx::IsLive(m_hWnd) ? 1 : 0;
}

// ---- Combo box ------------------------------------------------------------------------

int CComboBox::GetCount() const
{
    auto* c = W<QComboBox>(this);
    return c ? c->count() : CB_ERR;
}
int CComboBox::GetCurSel() const
{
    auto* c = W<QComboBox>(this);
    return c ? c->currentIndex() : CB_ERR;
}
int CComboBox::SetCurSel(int nSelect)
{
    auto* c = W<QComboBox>(this);
    if (!c) return CB_ERR;
    Quiet q(m_hWnd);
    if (nSelect < 0 || nSelect >= c->count()) {
        c->setCurrentIndex(-1);
        if (c->isEditable()) c->setEditText(QString());
        return CB_ERR;
    }
    c->setCurrentIndex(nSelect);
    return nSelect;
}
int CComboBox::AddString(LPCTSTR text)
{
    auto* c = W<QComboBox>(this);
    if (!c) return CB_ERR;
    Quiet q(m_hWnd);
    int keep = c->currentIndex();
    QString edit = c->isEditable() ? c->currentText() : QString();
    c->addItem(QString::fromLatin1(text ? text : ""));
    if (keep < 0) {
        c->setCurrentIndex(-1);
        if (c->isEditable()) c->setEditText(edit);
    }
    return c->count() - 1;
}
int CComboBox::InsertString(int nIndex, LPCTSTR text)
{
    auto* c = W<QComboBox>(this);
    if (!c || nIndex > c->count()) return CB_ERR;
    Quiet q(m_hWnd);
    int keep = c->currentIndex();
    QString edit = c->isEditable() ? c->currentText() : QString();
    int at = nIndex < 0 ? c->count() : nIndex;
    c->insertItem(at, QString::fromLatin1(text ? text : ""));
    if (keep < 0) {
        c->setCurrentIndex(-1);
        if (c->isEditable()) c->setEditText(edit);
    }
    return at;
}
int CComboBox::DeleteString(UINT nIndex)
{
    auto* c = W<QComboBox>(this);
    if (!c || static_cast<int>(nIndex) >= c->count()) return CB_ERR;
    Quiet q(m_hWnd);
    c->removeItem(static_cast<int>(nIndex));
    return c->count();
}
void CComboBox::ResetContent()
{
    auto* c = W<QComboBox>(this);
    if (!c) return;
    Quiet q(m_hWnd);
    c->clear();
    if (c->isEditable()) c->setEditText(QString());
}
int CComboBox::GetLBText(int nIndex, CString& text) const
{
    auto* c = W<QComboBox>(this);
    if (!c || nIndex < 0 || nIndex >= c->count()) return CB_ERR;
    text = CString(c->itemText(nIndex).toLatin1().toStdString());
    return text.GetLength();
}
int CComboBox::GetLBTextLen(int nIndex) const
{
    CString s;
    return GetLBText(nIndex, s);
}
int CComboBox::FindStringExact(int nStartAfter, LPCTSTR text) const
{
    auto* c = W<QComboBox>(this);
    if (!c) return CB_ERR;
    QString t = QString::fromLatin1(text ? text : "");
    int n = c->count();
    for (int k = 1; k <= n; ++k) {
        int i = ((nStartAfter < 0 ? -1 : nStartAfter) + k) % n;
        if (c->itemText(i).compare(t, Qt::CaseInsensitive) == 0) return i;
    }
    return CB_ERR;
}
int CComboBox::SelectString(int nStartAfter, LPCTSTR text)
{
    auto* c = W<QComboBox>(this);
    if (!c) return CB_ERR;
    QString t = QString::fromLatin1(text ? text : "");
    int n = c->count();
    for (int k = 1; k <= n; ++k) {
        int i = ((nStartAfter < 0 ? -1 : nStartAfter) + k) % n;
        if (c->itemText(i).startsWith(t, Qt::CaseInsensitive)) return SetCurSel(i);
    }
    return CB_ERR;
}
int CComboBox::InitStorage(int nItems, UINT) { return W<QComboBox>(this) ? nItems : CB_ERR; }
BOOL CComboBox::LimitText(int nMaxChars)
{
    auto* c = W<QComboBox>(this);
    if (!c) return FALSE;
    afx::LimitText(m_hWnd, c->lineEdit(), nMaxChars);
    return TRUE;
}

// ---- Image list -----------------------------------------------------------------------

CImageList::~CImageList() { DeleteImageList(); }
BOOL CImageList::Create(int cx, int cy, UINT, int, int nGrow)
{
    DeleteImageList();
    if (cx <= 0 || cy <= 0) return FALSE;
    m_hImageList = new HIMAGELIST__;
    m_hImageList->cx = cx;
    m_hImageList->cy = cy;
    m_hImageList->limit = nGrow == 0 ? -1 : 0;
    return TRUE;
}
static int AddStrips(CImageList* list, const QImage& img)
{
    HIMAGELIST il = list->m_hImageList;
    if (!il || img.isNull()) return -1;
    int first = static_cast<int>(il->images.size());
    for (int x = 0; x + il->cx <= std::max(img.width(), il->cx); x += il->cx) {
        QImage strip = img.copy(x, 0, il->cx, il->cy);
        il->images.push_back(QPixmap::fromImage(strip));
        if (img.width() <= il->cx) break;
    }
    return first;
}
int CImageList::Add(CBitmap* pbmImage, CBitmap* pbmMask)
{
    if (!pbmImage || !static_cast<HBITMAP>(*pbmImage)) return -1;
    QImage img = static_cast<HBITMAP>(*pbmImage)->image.convertToFormat(QImage::Format_ARGB32);
    if (pbmMask && static_cast<HBITMAP>(*pbmMask)) {
        const QImage& mask = static_cast<HBITMAP>(*pbmMask)->image;
        for (int y = 0; y < std::min(img.height(), mask.height()); ++y)
            for (int x = 0; x < std::min(img.width(), mask.width()); ++x)
                if (qGray(mask.pixel(x, y)) > 127) img.setPixel(x, y, 0);  // white mask bits: transparent
    }
    return AddStrips(this, img);
}
int CImageList::Add(CBitmap* pbmImage, COLORREF crMask)
{
    if (!pbmImage || !static_cast<HBITMAP>(*pbmImage)) return -1;
    QImage img = static_cast<HBITMAP>(*pbmImage)->image.convertToFormat(QImage::Format_ARGB32);
    QRgb key = qRgb(GetRValue(crMask), GetGValue(crMask), GetBValue(crMask));
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if ((img.pixel(x, y) & 0xFFFFFF) == (key & 0xFFFFFF)) img.setPixel(x, y, 0);
    return AddStrips(this, img);
}
int CImageList::GetImageCount() const { return m_hImageList ? static_cast<int>(m_hImageList->images.size()) : 0; }
BOOL CImageList::DeleteImageList()
{
    if (!m_hImageList) return FALSE;
    delete m_hImageList;
    m_hImageList = nullptr;
    return TRUE;
}
QPixmap afx::ImageListPixmap(CImageList* list, int index)
{
    if (!list || !list->m_hImageList || index < 0 || index >= list->GetImageCount()) return {};
    return list->m_hImageList->images[static_cast<size_t>(index)];
}

// ---- Tree -----------------------------------------------------------------------------

IMPLEMENT_DYNAMIC(CTreeCtrl, CWnd)

static QTreeWidgetItem* Item(HTREEITEM h) { return reinterpret_cast<QTreeWidgetItem*>(h); }
static HTREEITEM Handle(QTreeWidgetItem* i) { return reinterpret_cast<HTREEITEM>(i); }
enum { kParam = Qt::UserRole, kImage = Qt::UserRole + 1, kSelImage = Qt::UserRole + 2 };

static void ShowImage(CImageList* images, QTreeWidgetItem* it)
{
    QPixmap p = afx::ImageListPixmap(images, it->data(0, kImage).toInt());
    it->setIcon(0, p.isNull() ? QIcon() : QIcon(p));
}

HTREEITEM CTreeCtrl::InsertItem(LPTVINSERTSTRUCT s)
{
    auto* t = W<QTreeWidget>(this);
    if (!t || !s) return nullptr;
    Quiet q(m_hWnd);
    auto* it = new QTreeWidgetItem;
    const TVITEM& tv = s->item;
    if (tv.mask & TVIF_TEXT) it->setText(0, QString::fromLatin1(tv.pszText ? tv.pszText : ""));
    it->setData(0, kParam, static_cast<qlonglong>((tv.mask & TVIF_PARAM) ? tv.lParam : 0));
    it->setData(0, kImage, (tv.mask & TVIF_IMAGE) ? tv.iImage : 0);
    it->setData(0, kSelImage, (tv.mask & TVIF_SELECTEDIMAGE) ? tv.iSelectedImage : 0);
    ShowImage(images_, it);
    QTreeWidgetItem* parent = (s->hParent == TVI_ROOT || !s->hParent) ? t->invisibleRootItem() : Item(s->hParent);
    if (s->hInsertAfter == TVI_FIRST)
        parent->insertChild(0, it);
    else if (s->hInsertAfter == TVI_LAST || !s->hInsertAfter || parent->indexOfChild(Item(s->hInsertAfter)) < 0)
        parent->addChild(it);
    else
        parent->insertChild(parent->indexOfChild(Item(s->hInsertAfter)) + 1, it);
    return Handle(it);
}
HTREEITEM CTreeCtrl::InsertItem(LPCTSTR lpszItem, HTREEITEM hParent, HTREEITEM hInsertAfter)
{
    TVINSERTSTRUCT s{};
    s.hParent = hParent;
    s.hInsertAfter = hInsertAfter;
    s.item.mask = TVIF_TEXT;
    s.item.pszText = const_cast<LPSTR>(lpszItem);
    return InsertItem(&s);
}
HTREEITEM CTreeCtrl::InsertItem(LPCTSTR lpszItem, int nImage, int nSelectedImage, HTREEITEM hParent, HTREEITEM hInsertAfter)
{
    TVINSERTSTRUCT s{};
    s.hParent = hParent;
    s.hInsertAfter = hInsertAfter;
    s.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    s.item.pszText = const_cast<LPSTR>(lpszItem);
    s.item.iImage = nImage;
    s.item.iSelectedImage = nSelectedImage;
    return InsertItem(&s);
}
BOOL CTreeCtrl::DeleteItem(HTREEITEM hItem)
{
    auto* t = W<QTreeWidget>(this);
    if (!t || !hItem) return FALSE;
    if (hItem == TVI_ROOT) return DeleteAllItems();
    delete Item(hItem);
    return TRUE;
}
BOOL CTreeCtrl::DeleteAllItems()
{
    auto* t = W<QTreeWidget>(this);
    if (!t) return FALSE;
    t->clear();
    return TRUE;
}
BOOL CTreeCtrl::Expand(HTREEITEM hItem, UINT nCode)
{
    if (!W<QTreeWidget>(this) || !hItem || hItem == TVI_ROOT) return FALSE;
    QTreeWidgetItem* it = Item(hItem);
    it->setExpanded(nCode == TVE_EXPAND ? true : nCode == TVE_COLLAPSE ? false : !it->isExpanded());
    return TRUE;
}
CImageList* CTreeCtrl::SetImageList(CImageList* pImageList, int nImageListType)
{
    auto* t = W<QTreeWidget>(this);
    if (!t || nImageListType != TVSIL_NORMAL) return nullptr;
    CImageList* old = images_;
    images_ = pImageList;
    if (pImageList && pImageList->m_hImageList)
        t->setIconSize(QSize(pImageList->m_hImageList->cx, pImageList->m_hImageList->cy));
    QTreeWidgetItemIterator it(t);
    for (; *it; ++it) ShowImage(images_, *it);
    return old;
}
HTREEITEM CTreeCtrl::GetRootItem() const
{
    auto* t = W<QTreeWidget>(this);
    return t && t->topLevelItemCount() ? Handle(t->topLevelItem(0)) : nullptr;
}
HTREEITEM CTreeCtrl::GetChildItem(HTREEITEM hItem) const
{
    if (!W<QTreeWidget>(this) || !hItem) return nullptr;
    if (hItem == TVI_ROOT) return GetRootItem();
    return Item(hItem)->childCount() ? Handle(Item(hItem)->child(0)) : nullptr;
}
HTREEITEM CTreeCtrl::GetNextSiblingItem(HTREEITEM hItem) const
{
    auto* t = W<QTreeWidget>(this);
    if (!t || !hItem) return nullptr;
    QTreeWidgetItem* it = Item(hItem);
    QTreeWidgetItem* parent = it->parent() ? it->parent() : t->invisibleRootItem();
    int i = parent->indexOfChild(it) + 1;
    return i > 0 && i < parent->childCount() ? Handle(parent->child(i)) : nullptr;
}
HTREEITEM CTreeCtrl::GetParentItem(HTREEITEM hItem) const
{
    if (!W<QTreeWidget>(this) || !hItem) return nullptr;
    return Handle(Item(hItem)->parent());
}
HTREEITEM CTreeCtrl::GetSelectedItem() const
{
    auto* t = W<QTreeWidget>(this);
    return t ? Handle(t->currentItem()) : nullptr;
}
HTREEITEM CTreeCtrl::GetNextItem(HTREEITEM hItem, UINT nCode) const
{
    switch (nCode) {
    case TVGN_ROOT: return GetRootItem();
    case TVGN_NEXT: return GetNextSiblingItem(hItem);
    case TVGN_PARENT: return GetParentItem(hItem);
    case TVGN_CHILD: return GetChildItem(hItem);
    case TVGN_CARET: return GetSelectedItem();
    }
    return nullptr;
}
BOOL CTreeCtrl::SelectItem(HTREEITEM hItem)
{
    auto* t = W<QTreeWidget>(this);
    if (!t) return FALSE;
    t->setCurrentItem(hItem ? Item(hItem) : nullptr);
    return TRUE;
}
BOOL CTreeCtrl::ItemHasChildren(HTREEITEM hItem) const { return hItem && Item(hItem)->childCount() > 0; }
UINT CTreeCtrl::GetCount() const
{
    auto* t = W<QTreeWidget>(this);
    if (!t) return 0;
    UINT n = 0;
    for (QTreeWidgetItemIterator it(t); *it; ++it) ++n;
    return n;
}
CString CTreeCtrl::GetItemText(HTREEITEM hItem) const
{
    if (!W<QTreeWidget>(this) || !hItem) return CString();
    return CString(Item(hItem)->text(0).toLatin1().toStdString());
}
BOOL CTreeCtrl::SetItemText(HTREEITEM hItem, LPCTSTR lpszItem)
{
    if (!W<QTreeWidget>(this) || !hItem) return FALSE;
    Item(hItem)->setText(0, QString::fromLatin1(lpszItem ? lpszItem : ""));
    return TRUE;
}
DWORD_PTR CTreeCtrl::GetItemData(HTREEITEM hItem) const
{
    if (!W<QTreeWidget>(this) || !hItem) return 0;
    return static_cast<DWORD_PTR>(Item(hItem)->data(0, kParam).toLongLong());
}
BOOL CTreeCtrl::SetItemData(HTREEITEM hItem, DWORD_PTR dwData)
{
    if (!W<QTreeWidget>(this) || !hItem) return FALSE;
    Item(hItem)->setData(0, kParam, static_cast<qlonglong>(dwData));
    return TRUE;
}
BOOL CTreeCtrl::GetItem(TVITEM* p) const
{
    if (!W<QTreeWidget>(this) || !p || !p->hItem) return FALSE;
    QTreeWidgetItem* it = Item(p->hItem);
    if (p->mask & TVIF_TEXT && p->pszText && p->cchTextMax > 0) {
        QByteArray t = it->text(0).toLatin1();
        int n = std::min(static_cast<int>(t.size()), p->cchTextMax - 1);
        std::memcpy(p->pszText, t.constData(), static_cast<size_t>(n));
        p->pszText[n] = '\0';
    }
    if (p->mask & TVIF_PARAM) p->lParam = static_cast<LPARAM>(it->data(0, kParam).toLongLong());
    if (p->mask & TVIF_IMAGE) p->iImage = it->data(0, kImage).toInt();
    if (p->mask & TVIF_SELECTEDIMAGE) p->iSelectedImage = it->data(0, kSelImage).toInt();
    if (p->mask & TVIF_CHILDREN) p->cChildren = it->childCount();
    return TRUE;
}
BOOL CTreeCtrl::SetItem(TVITEM* p)
{
    if (!W<QTreeWidget>(this) || !p || !p->hItem) return FALSE;
    QTreeWidgetItem* it = Item(p->hItem);
    if (p->mask & TVIF_TEXT) it->setText(0, QString::fromLatin1(p->pszText ? p->pszText : ""));
    if (p->mask & TVIF_PARAM) it->setData(0, kParam, static_cast<qlonglong>(p->lParam));
    if (p->mask & TVIF_IMAGE) it->setData(0, kImage, p->iImage);
    if (p->mask & TVIF_SELECTEDIMAGE) it->setData(0, kSelImage, p->iSelectedImage);
    ShowImage(images_, it);
    return TRUE;
}
BOOL CTreeCtrl::GetItemImage(HTREEITEM hItem, int& nImage, int& nSelectedImage) const
{
    if (!W<QTreeWidget>(this) || !hItem) return FALSE;
    nImage = Item(hItem)->data(0, kImage).toInt();
    nSelectedImage = Item(hItem)->data(0, kSelImage).toInt();
    return TRUE;
}
BOOL CTreeCtrl::SetItemImage(HTREEITEM hItem, int nImage, int nSelectedImage)
{
    TVITEM tv{};
    tv.mask = TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    tv.hItem = hItem;
    tv.iImage = nImage;
    tv.iSelectedImage = nSelectedImage;
    return SetItem(&tv);
}

// ---- Tab ------------------------------------------------------------------------------

IMPLEMENT_DYNAMIC(CTabCtrl, CWnd)

LONG CTabCtrl::InsertItem(int nItem, LPCTSTR lpszItem)
{
    auto* t = W<QTabBar>(this);
    if (!t || nItem < 0) return -1;
    Quiet q(m_hWnd);
    return t->insertTab(std::min(nItem, t->count()), QString::fromLatin1(lpszItem ? lpszItem : ""));
}
BOOL CTabCtrl::DeleteItem(int nItem)
{
    auto* t = W<QTabBar>(this);
    if (!t || nItem < 0 || nItem >= t->count()) return FALSE;
    Quiet q(m_hWnd);
    t->removeTab(nItem);
    return TRUE;
}
BOOL CTabCtrl::DeleteAllItems()
{
    auto* t = W<QTabBar>(this);
    if (!t) return FALSE;
    Quiet q(m_hWnd);
    while (t->count()) t->removeTab(0);
    return TRUE;
}
int CTabCtrl::GetItemCount() const
{
    auto* t = W<QTabBar>(this);
    return t ? t->count() : 0;
}
int CTabCtrl::GetCurSel() const
{
    auto* t = W<QTabBar>(this);
    return t ? t->currentIndex() : -1;
}
int CTabCtrl::SetCurSel(int nItem)
{
    auto* t = W<QTabBar>(this);
    if (!t || nItem < 0 || nItem >= t->count()) return -1;
    Quiet q(m_hWnd);
    int old = t->currentIndex();
    t->setCurrentIndex(nItem);
    return old;
}

// ---- Slider ---------------------------------------------------------------------------

IMPLEMENT_DYNAMIC(CSliderCtrl, CScrollBar)

void CSliderCtrl::SetRange(int nMin, int nMax, BOOL)
{
    if (auto* s = W<QSlider>(this)) {
        Quiet q(m_hWnd);
        s->setRange(nMin, nMax);
    }
}
void CSliderCtrl::SetRangeMin(int nMin, BOOL b) { SetRange(nMin, GetRangeMax(), b); }
void CSliderCtrl::SetRangeMax(int nMax, BOOL b) { SetRange(GetRangeMin(), nMax, b); }
void CSliderCtrl::GetRange(int& nMin, int& nMax) const
{
    nMin = GetRangeMin();
    nMax = GetRangeMax();
}
int CSliderCtrl::GetRangeMin() const
{
    auto* s = W<QSlider>(this);
    return s ? s->minimum() : 0;
}
int CSliderCtrl::GetRangeMax() const
{
    auto* s = W<QSlider>(this);
    return s ? s->maximum() : 0;
}
int CSliderCtrl::GetPos() const
{
    auto* s = W<QSlider>(this);
    return s ? s->value() : 0;
}
void CSliderCtrl::SetPos(int nPos)
{
    if (auto* s = W<QSlider>(this)) {
        Quiet q(m_hWnd);
        s->setValue(nPos);
    }
}
void CSliderCtrl::SetTicFreq(int nFreq)
{
    if (auto* s = W<QSlider>(this)) {
        s->setTickInterval(nFreq);
        if (s->tickPosition() == QSlider::NoTicks) s->setTickPosition(QSlider::TicksBelow);
    }
}
int CSliderCtrl::SetPageSize(int nSize)
{
    auto* s = W<QSlider>(this);
    if (!s) return 0;
    int old = s->pageStep();
    s->setPageStep(nSize);
    return old;
}

// ---- Spin -----------------------------------------------------------------------------

IMPLEMENT_DYNAMIC(CSpinButtonCtrl, CScrollBar)

void CSpinButtonCtrl::SetRange(short nLower, short nUpper) { SetRange32(nLower, nUpper); }
void CSpinButtonCtrl::SetRange32(int nLower, int nUpper)
{
    if (!afx::IsLive(m_hWnd)) return;
    m_hWnd->spinLower = nLower;
    m_hWnd->spinUpper = nUpper;
    int lo = std::min(nLower, nUpper), hi = std::max(nLower, nUpper);
    m_hWnd->spinPos = std::clamp(m_hWnd->spinPos, lo, hi);
}
void CSpinButtonCtrl::GetRange(int& lower, int& upper) const
{
    lower = afx::IsLive(m_hWnd) ? m_hWnd->spinLower : 0;
    upper = afx::IsLive(m_hWnd) ? m_hWnd->spinUpper : 0;
}
int CSpinButtonCtrl::SetBase(int nBase)
{
    if (!afx::IsLive(m_hWnd) || (nBase != 10 && nBase != 16)) return 0;
    int old = m_hWnd->spinBase;
    m_hWnd->spinBase = nBase;
    return old;
}
int CSpinButtonCtrl::GetBase() const { return afx::IsLive(m_hWnd) ? m_hWnd->spinBase : 0; }
int CSpinButtonCtrl::SetPos(int nPos)
{
    if (!afx::IsLive(m_hWnd)) return 0;
    int old = m_hWnd->spinPos;
    AfxSpinSetPos(m_hWnd, nPos);
    return old;
}
int CSpinButtonCtrl::GetPos() const { return afx::IsLive(m_hWnd) ? m_hWnd->spinPos : 0; }
CWnd* CSpinButtonCtrl::SetBuddy(CWnd* pWndBuddy)
{
    if (!afx::IsLive(m_hWnd)) return nullptr;
    CWnd* old = CWnd::FromHandle(m_hWnd->buddy);
    m_hWnd->buddy = pWndBuddy ? pWndBuddy->m_hWnd : nullptr;
    return old;
}
CWnd* CSpinButtonCtrl::GetBuddy() const { return afx::IsLive(m_hWnd) ? CWnd::FromHandle(m_hWnd->buddy) : nullptr; }
