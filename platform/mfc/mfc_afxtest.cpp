// User actions and pictures for tests and tools.
#include <cmath>
#include <cstdio>

#include "platform/mfc/afxtest.h"
#include "platform/mfc/mfc_internal.h"

void AfxSpinStep(HWND h, int delta);

namespace afxtest {
namespace {
QWidget* Control(CWnd* parent, int id, const char* action)
{
    CWnd* w = parent ? parent->GetDlgItem(id) : nullptr;
    if (!w || !afx::IsLive(w->m_hWnd)) {
        std::fprintf(stderr, "afxtest: %s: no control %d\n", action, id);
        return nullptr;
    }
    QWidget* q = w->m_hWnd->widget;
    if (q->isHidden() || !q->isEnabled()) {
        std::fprintf(stderr, "afxtest: %s: control %d is hidden or disabled\n", action, id);
        return nullptr;
    }
    return q;
}
void Mouse(CWnd* control, int x, int y, Qt::MouseButton button)
{
    if (!control || !afx::IsLive(control->m_hWnd)) return;
    QWidget* w = control->m_hWnd->widget;
    QPointF local(x, y);
    QPointF global = w->mapToGlobal(QPoint(x, y));
    QMouseEvent press(QEvent::MouseButtonPress, local, global, button, button, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &press);
    if (!afx::IsLive(control->m_hWnd)) return;
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, button, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &release);
}
}  // namespace

void Click(CWnd* parent, int id)
{
    if (auto* b = qobject_cast<QAbstractButton*>(Control(parent, id, "click"))) b->click();
}
void SetText(CWnd* parent, int id, const std::string& text)
{
    QWidget* w = Control(parent, id, "type");
    QString q = QString::fromLatin1(text.c_str());
    // Typing replaces the selection; the control's limit holds it.
    if (auto* l = qobject_cast<QLineEdit*>(w)) {
        l->selectAll();
        l->insert(q);
    } else if (auto* e = qobject_cast<QPlainTextEdit*>(w)) {
        e->setPlainText(q.replace("\r\n", "\n"));
    } else if (auto* c = qobject_cast<QComboBox*>(w); c && c->lineEdit()) {
        c->lineEdit()->selectAll();
        c->lineEdit()->insert(q);
    }
}
void SelectCombo(CWnd* parent, int id, int index)
{
    auto* c = qobject_cast<QComboBox*>(Control(parent, id, "select"));
    if (!c || index < 0 || index >= c->count()) return;
    c->setCurrentIndex(index);
    emit c->activated(index);
    c->hidePopup();
}
void SelectTab(CWnd* parent, int id, int index)
{
    if (auto* t = qobject_cast<QTabBar*>(Control(parent, id, "select tab"))) t->setCurrentIndex(index);
}
void SelectSheetPage(CWnd* sheet, int index) { SelectTab(sheet, 0x3020, index); }
void SpinBy(CWnd* parent, int id, int delta)
{
    if (!Control(parent, id, "spin")) return;
    HWND h = parent->GetDlgItem(id)->m_hWnd;
    for (int i = 0; i < std::abs(delta) && afx::IsLive(h); ++i) AfxSpinStep(h, delta > 0 ? 1 : -1);
}
void MoveSlider(CWnd* parent, int id, int pos)
{
    if (auto* s = qobject_cast<QSlider*>(Control(parent, id, "slide"))) s->setValue(pos);
}
void SelectTreeItem(CWnd* parent, int id, HTREEITEM item)
{
    if (auto* t = qobject_cast<QTreeWidget*>(Control(parent, id, "select item")))
        t->setCurrentItem(reinterpret_cast<QTreeWidgetItem*>(item));
}
void RightClick(CWnd* control, int x, int y) { Mouse(control, x, y, Qt::RightButton); }
void LeftClick(CWnd* control, int x, int y) { Mouse(control, x, y, Qt::LeftButton); }
void CloseWindow(CWnd* window)
{
    if (!window || !afx::IsLive(window->m_hWnd)) return;
    QCloseEvent e;
    QCoreApplication::sendEvent(window->m_hWnd->widget, &e);
}
std::string ToolTip(CWnd* control)
{
    std::string text;
    if (control && afx::ToolTipFor(control->m_hWnd, text)) return text;
    return {};
}
int TextLineRight(CWnd* parent, int id, int line)
{
    auto* e = qobject_cast<QPlainTextEdit*>(Control(parent, id, "measure"));
    if (!e) return -1;
    QTextBlock block = e->document()->findBlockByNumber(line);
    if (!block.isValid() || !block.layout() || block.layout()->lineCount() == 0) return -1;
    QRectF box = e->document()->documentLayout()->blockBoundingRect(block);
    return static_cast<int>(std::ceil(box.left() + block.layout()->lineAt(0).naturalTextWidth()));
}
int TextViewWidth(CWnd* parent, int id)
{
    auto* e = qobject_cast<QPlainTextEdit*>(Control(parent, id, "measure"));
    // What the window shows of the view: a view wider than its page is cut by it.
    return e ? e->viewport()->visibleRegion().boundingRect().right() + 1 : -1;
}

bool SaveImage(CWnd* window, const std::string& path)
{
    if (!window || !afx::IsLive(window->m_hWnd)) return false;
    QWidget* w = window->m_hWnd->widget;
    return w->grab().save(QString::fromStdString(path), "PNG");
}
}  // namespace afxtest
