// Property sheets and pages, and the file dialog.
#include "platform/mfc/afxtest.h"
#include "platform/mfc/mfc_internal.h"

#include <cstdlib>

namespace {
constexpr int kTabId = 0x3020;
// Layout of a sheet, in dialog units.
constexpr int kMargin = 7;
constexpr int kTabHeight = 14;
constexpr int kButtonWidth = 50;
constexpr int kButtonHeight = 14;
constexpr int kButtonGap = 4;
}  // namespace

// ---- CPropertyPage --------------------------------------------------------------------

IMPLEMENT_DYNAMIC(CPropertyPage, CDialog)

CPropertyPage::CPropertyPage(UINT nIDTemplate, UINT nIDCaption) : CDialog(nIDTemplate, nullptr)
{
    m_psp = PROPSHEETPAGE{sizeof(PROPSHEETPAGE), PSP_DEFAULT, nullptr};
    if (nIDCaption) caption_.LoadString(nIDCaption);
}

CString CPropertyPage::GetTitle() const
{
    if ((m_psp.dwFlags & PSP_USETITLE) && m_psp.pszTitle) return CString(m_psp.pszTitle);
    if (!caption_.IsEmpty()) return caption_;
    const AFX_DLGTEMPLATE* t = AfxFindDialog(m_nIDTemplate);
    return CString(t && t->caption ? t->caption : "");
}

BOOL CPropertyPage::OnSetActive()
{
    // The first activation follows OnInitDialog, which filled the controls already.
    if (!firstActive_) UpdateData(FALSE);
    firstActive_ = false;
    return TRUE;
}
BOOL CPropertyPage::OnKillActive() { return UpdateData(TRUE); }
BOOL CPropertyPage::OnApply()
{
    OnOK();
    return TRUE;
}
void CPropertyPage::OnReset() { OnCancel(); }
BOOL CPropertyPage::OnQueryCancel() { return TRUE; }
void CPropertyPage::SetModified(BOOL bChanged)
{
    modified_ = bChanged != 0;
    if (sheet_) sheet_->UpdateApply();
}
void CPropertyPage::CancelToClose()
{
    if (!sheet_) return;
    if (CWnd* ok = sheet_->GetDlgItem(IDOK)) ok->SetWindowText("Close");
    if (CWnd* cancel = sheet_->GetDlgItem(IDCANCEL)) cancel->EnableWindow(FALSE);
}
void CPropertyPage::OnOK()
{
    if (!sheet_ && m_bInModal) CDialog::OnOK();  // the page runs alone as a dialog
}
void CPropertyPage::OnCancel()
{
    if (!sheet_ && m_bInModal) CDialog::OnCancel();
}

// ---- CPropertySheet -------------------------------------------------------------------

IMPLEMENT_DYNAMIC(CPropertySheet, CWnd)

CPropertySheet::CPropertySheet(UINT nIDCaption, CWnd* pParentWnd, UINT iSelectPage) : parent_(pParentWnd)
{
    m_psh = PROPSHEETHEADER{sizeof(PROPSHEETHEADER), PSH_DEFAULT, nullptr, iSelectPage};
    if (nIDCaption) caption_.LoadString(nIDCaption);
}
CPropertySheet::CPropertySheet(LPCTSTR pszCaption, CWnd* pParentWnd, UINT iSelectPage)
    : caption_(pszCaption), parent_(pParentWnd)
{
    m_psh = PROPSHEETHEADER{sizeof(PROPSHEETHEADER), PSH_DEFAULT, nullptr, iSelectPage};
}
CPropertySheet::~CPropertySheet()
{
    // Pages belong to the caller and may be gone already; the window goes without them.
    pages_.clear();
}

void CPropertySheet::AddTab(CPropertyPage* page)
{
    if (CTabCtrl* t = GetTabControl()) t->InsertItem(t->GetItemCount(), page->GetTitle());
}

void CPropertySheet::AddPage(CPropertyPage* pPage)
{
    if (!pPage || std::find(pages_.begin(), pages_.end(), pPage) != pages_.end()) return;
    pages_.push_back(pPage);
    if (afx::IsLive(m_hWnd)) {
        pPage->sheet_ = this;
        AddTab(pPage);
        if (active_ < 0) Activate(static_cast<int>(pages_.size()) - 1);
    }
}

void CPropertySheet::RemovePage(CPropertyPage* pPage) { RemovePage(GetPageIndex(pPage)); }

void CPropertySheet::RemovePage(int nPage)
{
    if (nPage < 0 || nPage >= GetPageCount()) return;
    CPropertyPage* page = pages_[static_cast<size_t>(nPage)];
    if (afx::IsLive(m_hWnd)) {
        if (nPage == active_) {
            active_ = -1;  // the page goes whatever it holds
            int next = nPage + 1 < GetPageCount() ? nPage + 1 : nPage - 1;
            if (next >= 0) Activate(next);
        }
        page->DestroyWindow();
        page->sheet_ = nullptr;
        if (CTabCtrl* t = GetTabControl()) t->DeleteItem(nPage);
    }
    pages_.erase(pages_.begin() + nPage);
    if (active_ > nPage) --active_;
    if (CTabCtrl* t = GetTabControl(); t && active_ >= 0) t->SetCurSel(active_);
}

int CPropertySheet::GetPageCount() const { return static_cast<int>(pages_.size()); }
CPropertyPage* CPropertySheet::GetPage(int nPage) const
{
    return nPage >= 0 && nPage < GetPageCount() ? pages_[static_cast<size_t>(nPage)] : nullptr;
}
CPropertyPage* CPropertySheet::GetActivePage() const { return GetPage(active_); }
int CPropertySheet::GetActiveIndex() const { return active_ >= 0 ? active_ : static_cast<int>(m_psh.nStartPage); }
int CPropertySheet::GetPageIndex(CPropertyPage* pPage) const
{
    auto it = std::find(pages_.begin(), pages_.end(), pPage);
    return it == pages_.end() ? -1 : static_cast<int>(it - pages_.begin());
}
BOOL CPropertySheet::SetActivePage(int nPage)
{
    if (!afx::IsLive(m_hWnd)) {
        if (nPage < 0 || nPage >= GetPageCount()) return FALSE;
        m_psh.nStartPage = static_cast<UINT>(nPage);
        return TRUE;
    }
    return Activate(nPage);
}
BOOL CPropertySheet::SetActivePage(CPropertyPage* pPage) { return SetActivePage(GetPageIndex(pPage)); }
void CPropertySheet::SetTitle(LPCTSTR lpszText)
{
    caption_ = lpszText;
    if (afx::IsLive(m_hWnd)) m_hWnd->widget->setWindowTitle(QString::fromLatin1(static_cast<LPCTSTR>(caption_)));
}
CTabCtrl* CPropertySheet::GetTabControl() const { return static_cast<CTabCtrl*>(GetDlgItem(kTabId)); }

// The area of the pages: under the tabs, inside the frame.
static QRect PageArea(const std::vector<CPropertyPage*>& pages)
{
    int cx = 100, cy = 50;
    for (CPropertyPage* p : pages)
        if (const AFX_DLGTEMPLATE* t = AfxFindDialog(AfxWindowAccess::Template(p))) {
            cx = std::max<int>(cx, t->cx);
            cy = std::max<int>(cy, t->cy);
        }
    return QRect(afx::Dx(kMargin), afx::Dy(kMargin + kTabHeight), afx::Dx(cx), afx::Dy(cy));
}

bool CPropertySheet::Activate(int index)
{
    if (!afx::IsLive(m_hWnd) || index < 0 || index >= GetPageCount()) return false;
    if (index == active_) return true;
    if (CPropertyPage* old = GetActivePage(); old && afx::IsLive(old->m_hWnd)) {
        if (!old->OnKillActive()) {
            if (CTabCtrl* t = GetTabControl()) t->SetCurSel(active_);
            return false;
        }
        old->m_hWnd->widget->hide();
    }
    CPropertyPage* page = pages_[static_cast<size_t>(index)];
    page->sheet_ = this;
    active_ = index;
    if (CTabCtrl* t = GetTabControl()) t->SetCurSel(index);
    if (!afx::IsLive(page->m_hWnd)) {
        const AFX_DLGTEMPLATE* t = AfxFindDialog(AfxWindowAccess::Template(page));
        if (!t) return false;
        QWidget* w = afx::CreateDialogWindow(page, t, m_hWnd->widget, true);
        w->move(PageArea(pages_).topLeft() + QPoint(1, 1));
        page->firstActive_ = true;
        page->OnInitDialog();
        if (!afx::IsLive(page->m_hWnd) || active_ != index) return false;
    }
    page->OnSetActive();
    if (afx::IsLive(page->m_hWnd) && active_ == index) page->m_hWnd->widget->show();
    return true;
}

void CPropertySheet::UpdateApply()
{
    bool any = false;
    for (CPropertyPage* p : pages_) any |= p->modified_;
    if (CWnd* apply = GetDlgItem(ID_APPLY_NOW)) apply->EnableWindow(any);
}

void CPropertySheet::PressOK()
{
    if (CPropertyPage* p = GetActivePage(); p && afx::IsLive(p->m_hWnd) && !p->OnKillActive()) return;
    for (int i = 0; i < GetPageCount(); ++i) {
        CPropertyPage* p = pages_[static_cast<size_t>(i)];
        if (!afx::IsLive(p->m_hWnd)) continue;
        if (!p->OnApply()) {
            Activate(i);
            return;
        }
        p->modified_ = false;
    }
    EndDialog(IDOK);
}
void CPropertySheet::PressCancel()
{
    if (CPropertyPage* p = GetActivePage(); p && afx::IsLive(p->m_hWnd) && !p->OnQueryCancel()) return;
    for (CPropertyPage* p : pages_)
        if (afx::IsLive(p->m_hWnd)) p->OnReset();
    EndDialog(IDCANCEL);
}
void CPropertySheet::PressApply()
{
    if (CPropertyPage* p = GetActivePage(); p && afx::IsLive(p->m_hWnd) && !p->OnKillActive()) return;
    for (int i = 0; i < GetPageCount(); ++i) {
        CPropertyPage* p = pages_[static_cast<size_t>(i)];
        if (!afx::IsLive(p->m_hWnd) || !p->modified_) continue;
        if (!p->OnApply()) {
            Activate(i);
            return;
        }
        p->modified_ = false;
    }
    UpdateApply();
}

BOOL CPropertySheet::OnCmdMsg(UINT nID, int nCode, void* pExtra, void* pHandlerInfo)
{
    if (pExtra && nID == kTabId && static_cast<UINT>(nCode) == TCN_SELCHANGE) {
        if (CTabCtrl* t = GetTabControl()) Activate(t->GetCurSel());
        return TRUE;
    }
    if (!pExtra && nCode == BN_CLICKED) {
        switch (nID) {
        case IDOK: PressOK(); return TRUE;
        case IDCANCEL: PressCancel(); return TRUE;
        case ID_APPLY_NOW: PressApply(); return TRUE;
        default: break;
        }
    }
    return CWnd::OnCmdMsg(nID, nCode, pExtra, pHandlerInfo);
}

BOOL CPropertySheet::OnInitDialog()
{
    if (GetPageCount()) {
        int start = std::min<int>(static_cast<int>(m_psh.nStartPage), GetPageCount() - 1);
        if (!Activate(start)) Activate(0);
    }
    return TRUE;
}

int CPropertySheet::DoModal()
{
    AfxEnsureApplication();
    if (afx::IsLive(m_hWnd)) return -1;
    QRect area = PageArea(pages_);
    std::vector<std::pair<int, const char*>> buttons = {{IDOK, "OK"}, {IDCANCEL, "Cancel"}};
    if (!(m_psh.dwFlags & PSH_NOAPPLYNOW)) buttons.push_back({ID_APPLY_NOW, "&Apply"});
    if (m_psh.dwFlags & PSH_HASHELP) buttons.push_back({IDHELP, "Help"});
    int width = area.right() + 1 + afx::Dx(kMargin);
    int height = area.bottom() + 1 + afx::Dy(kMargin + kButtonHeight + kMargin);
    CString caption = m_psh.pszCaption ? CString(m_psh.pszCaption) : caption_;
    AFX_DLGTEMPLATE t{0, caption, static_cast<short>(width * 4 / 6), static_cast<short>(height * 8 / 13), nullptr, 0};
    QWidget* w = afx::CreateDialogWindow(this, &t, [this]() -> QWidget* {
        if (parent_ && afx::IsLive(parent_->m_hWnd)) return parent_->m_hWnd->widget->window();
        return QApplication::activeModalWidget();
    }(), false);
    w->resize(width, height);

    auto* frame = new QFrame(w);
    frame->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
    frame->setGeometry(area.adjusted(0, 0, 2, 2));
    frame->lower();
    afx::CreateControl(m_hWnd, AfxItem::Tab, kTabId, nullptr,
                       QRect(area.left(), afx::Dy(kMargin), area.width() + 2, afx::Dy(kTabHeight)), WS_VISIBLE);
    int x = width - afx::Dx(kMargin);
    for (auto it = buttons.rbegin(); it != buttons.rend(); ++it) {
        x -= afx::Dx(kButtonWidth);
        afx::CreateControl(m_hWnd, it->first == IDOK ? AfxItem::DefPushButton : AfxItem::PushButton, it->first,
                           it->second,
                           QRect(x, height - afx::Dy(kMargin + kButtonHeight), afx::Dx(kButtonWidth), afx::Dy(kButtonHeight)),
                           WS_VISIBLE | WS_TABSTOP | (it->first == ID_APPLY_NOW ? static_cast<DWORD>(WS_DISABLED) : 0u));
        x -= afx::Dx(kButtonGap);
    }
    for (CPropertyPage* p : pages_) {
        p->sheet_ = this;
        AddTab(p);
    }
    active_ = -1;
    result_ = -1;
    modal_ = true;
    OnInitDialog();
    if (result_ == -1 && afx::IsLive(m_hWnd)) {
        if (afxtest::Scripted() && !afx::ScriptModal(this)) EndDialog(IDCANCEL);
        afx::RunModal(w, [this] { return result_ != -1 || !afx::IsLive(m_hWnd); });
    }
    modal_ = false;
    for (CPropertyPage* p : pages_) p->sheet_ = nullptr;
    active_ = -1;
    DestroyWindow();
    return result_;
}

void CPropertySheet::EndDialog(int nEndID)
{
    result_ = nEndID;
    if (afx::IsLive(m_hWnd)) afx::EndModal(m_hWnd->widget);
}

// ---- CFileDialog ----------------------------------------------------------------------

namespace afx {

namespace {
QString RunRoot()
{
    const char* root = std::getenv("VORNET_ROOT");
    return root != nullptr && *root != 0 ? QDir(QString::fromLocal8Bit(root)).absolutePath() : QString();
}
}  // namespace

QString HostPathOf(const QString& machinePath)
{
    QString root = RunRoot();
    if (root.isEmpty() || machinePath.size() < 2 || !machinePath[0].isLetter() || machinePath[1] != ':')
        return machinePath;
    QString path = root + "/" + machinePath[0].toUpper();
    bool exists = QFileInfo(path).isDir();
    static const QRegularExpression separators("[\\\\/]");
    for (const QString& part : machinePath.mid(2).split(separators, Qt::SkipEmptyParts)) {
        if (part == "." || part == "..")
            continue;  // never above the drive's folder
        QString next = path + "/" + part;
        if (exists && !QFileInfo::exists(next))
            for (const QString& entry : QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
                if (entry.compare(part, Qt::CaseInsensitive) == 0) {
                    next = path + "/" + entry;
                    break;
                }
        exists = exists && QFileInfo::exists(next);
        path = next;
    }
    return path;
}

QString MachinePathOf(const QString& hostPath)
{
    QString root = RunRoot();
    if (root.isEmpty() || hostPath.isEmpty())
        return hostPath;
    QString path = QDir::cleanPath(QFileInfo(hostPath).absoluteFilePath());
    if (!path.startsWith(root + "/"))
        return hostPath;
    QString rest = path.mid(root.size() + 1);  // "C/dir/file"
    if (!rest[0].isLetter() || (rest.size() > 1 && rest[1] != '/'))
        return hostPath;
    return QString(rest[0].toUpper()) + ":\\" + rest.mid(2).replace('/', '\\');
}

}  // namespace afx


IMPLEMENT_DYNAMIC(CFileDialog, CDialog)

CFileDialog::CFileDialog(BOOL bOpenFileDialog, LPCTSTR lpszDefExt, LPCTSTR lpszFileName, DWORD dwFlags,
                         LPCTSTR lpszFilter, CWnd* pParentWnd)
    : CDialog(0, pParentWnd), open_(bOpenFileDialog), defExt_(lpszDefExt), fileName_(lpszFileName), filter_(lpszFilter)
{
    m_ofn = OPENFILENAME{dwFlags, nullptr, nullptr};
}

int CFileDialog::DoModal()
{
    if (afxtest::Scripted()) {
        std::string path;
        if (!afx::ScriptFile(path)) return IDCANCEL;
        path_ = path.c_str();
        return IDOK;
    }
    AfxEnsureApplication();
    // "Name|pattern|Name|pattern||" becomes "Name;;Name": the names carry their patterns.
    QStringList filters;
    QStringList parts = QString::fromLatin1(static_cast<LPCTSTR>(filter_)).split('|');
    for (int i = 0; i + 1 < parts.size(); i += 2)
        if (!parts[i].isEmpty()) filters << parts[i] + " (" + QString(parts[i + 1]).replace(';', ' ') + ")";
    QString dir = QString::fromLatin1(m_ofn.lpstrInitialDir ? m_ofn.lpstrInitialDir : "");
    if (!fileName_.IsEmpty()) dir = dir.isEmpty() ? QString::fromLatin1(static_cast<LPCTSTR>(fileName_)) : dir + "/" + QString::fromLatin1(static_cast<LPCTSTR>(fileName_));
    dir = afx::HostPathOf(dir);
    QString title = QString::fromLatin1(m_ofn.lpstrTitle ? m_ofn.lpstrTitle : (open_ ? "Open" : "Save As"));
    QWidget* parent = m_pParentWnd && afx::IsLive(m_pParentWnd->m_hWnd) ? m_pParentWnd->m_hWnd->widget : nullptr;
    QFileDialog::Options opts;
    if (!(m_ofn.Flags & OFN_OVERWRITEPROMPT)) opts |= QFileDialog::DontConfirmOverwrite;
    QString chosen = open_ ? QFileDialog::getOpenFileName(parent, title, dir, filters.join(";;"), nullptr, opts)
                           : QFileDialog::getSaveFileName(parent, title, dir, filters.join(";;"), nullptr, opts);
    if (chosen.isEmpty()) return IDCANCEL;
    if (!defExt_.IsEmpty() && QFileInfo(chosen).suffix().isEmpty()) chosen += "." + QString::fromLatin1(static_cast<LPCTSTR>(defExt_));
    path_ = afx::MachinePathOf(chosen).toLatin1().toStdString();
    return IDOK;
}

CString CFileDialog::GetFileName() const
{
    int slash = std::max(path_.ReverseFind('/'), path_.ReverseFind('\\'));
    return path_.Mid(slash + 1);
}
CString CFileDialog::GetFileExt() const
{
    CString name = GetFileName();
    int dot = name.ReverseFind('.');
    return dot < 0 ? CString() : name.Mid(dot + 1);
}
