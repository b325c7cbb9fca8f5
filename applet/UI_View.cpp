#include "applet/UI_View.h"

std::string CUI_ModelView::GetText()
{
    CUI_Model* model = GetModel();
    return model != nullptr ? model->GetViewText() : std::string();
}

// --- CUI_BitmapButton --------------------------------------------------------------

BEGIN_MESSAGE_MAP(CUI_BitmapButton, CButton)
    ON_WM_RBUTTONDOWN()
    ON_WM_LBUTTONUP()
    ON_WM_SETFOCUS()
    ON_WM_KILLFOCUS()
END_MESSAGE_MAP()

CUI_BitmapButton::CUI_BitmapButton(CWnd* parent, int controlId) : m_pParent(parent), m_ControlId(controlId)
{
    SubclassDlgItem(static_cast<UINT>(controlId), parent);
    ShowWindow(SW_SHOW);
}

CUI_BitmapButton::~CUI_BitmapButton() = default;

void CUI_BitmapButton::DrawItem(LPDRAWITEMSTRUCT lpDIS)
{
    CBitmap bitmap;
    UINT id = GetBitmapId(m_bToggle);
    if (id == 0 || !bitmap.LoadBitmap(id))
        return;
    CDC* pDC = CDC::FromHandle(lpDIS->hDC);
    CDC memDC;
    memDC.CreateCompatibleDC(pDC);
    CBitmap* old = memDC.SelectObject(&bitmap);
    CRect r(lpDIS->rcItem);
    pDC->BitBlt(r.left + 2, r.top + 2, r.Width(), r.Height(), &memDC, 0, 0, SRCCOPY);
    memDC.SelectObject(old);
    if (m_bFocus)
        pDC->DrawFocusRect(&lpDIS->rcItem);
}

void CUI_BitmapButton::OnRButtonDown(UINT nFlags, CPoint point)
{
    CButton::OnRButtonDown(nFlags, point);
    OnContextMenu(this, point.x, point.y);
}

void CUI_BitmapButton::OnLButtonUp(UINT nFlags, CPoint point)
{
    CButton::OnLButtonUp(nFlags, point);
    OnClickHook(this, point.x, point.y);
    m_bToggle = !m_bToggle;
    Invalidate();
}

void CUI_BitmapButton::OnSetFocus(CWnd* pOldWnd)
{
    CButton::OnSetFocus(pOldWnd);
    Invalidate();
    m_bFocus = true;
}

void CUI_BitmapButton::OnKillFocus(CWnd* pNewWnd)
{
    CButton::OnKillFocus(pNewWnd);
    Invalidate();
    m_bFocus = false;
}

void CUI_BitmapButton::OnContextMenu(CWnd* window, int x, int y)
{
    if (CUI_Model* model = GetModel())
        model->ShowMenu(x, y, window);
}

void CUI_BitmapButton::OnCommandButton(UINT commandId)
{
    if (CUI_Model* model = GetModel())
        model->OnMenuCommand(commandId, reinterpret_cast<uintptr_t>(static_cast<CUI_View*>(this)));
}

BOOL CUI_BitmapButton::OnCommand(WPARAM wParam, LPARAM)
{
    OnCommandButton(LOWORD(wParam));
    return TRUE;
}

void CUI_BitmapButton::Update(CSubject*, SubjectHint) { Invalidate(); }

// --- CUI_TextView ------------------------------------------------------------------

CUI_TextView::CUI_TextView(CWnd* parent, int controlId) : m_pParent(parent), m_ControlId(controlId)
{
    m_Font.CreateFont(10, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                      PROOF_QUALITY, VARIABLE_PITCH | FF_SWISS, "MS Sans Serif");
    SubclassDlgItem(static_cast<UINT>(controlId), parent);
    ShowWindow(SW_SHOW);
}

CUI_TextView::~CUI_TextView() = default;

void CUI_TextView::SetText(const std::string& text)
{
    SetFont(&m_Font, TRUE);
    SetWindowText(text.c_str());
    ShowWindow(SW_SHOW);
}

// --- CUI_PopupMenu -----------------------------------------------------------------

void CUI_PopupMenu::TrackPopup(int x, int y, void* window)
{
    auto* owner = static_cast<CWnd*>(window);
    if (owner == nullptr)
        return;
    CPoint point(x, y);
    owner->ClientToScreen(&point);
    if (!Attach(::LoadMenu(AfxGetResourceHandle(), MAKEINTRESOURCE(GetMenuId()))))
        return;
    m_pPopup = GetSubMenu(0);
    OnUpdateMenu();
    if (m_pPopup != nullptr)
        m_pPopup->TrackPopupMenu(TPM_LEFTALIGN | TPM_RIGHTBUTTON, point.x, point.y, owner);
    m_pPopup = nullptr;
    DestroyMenu();
}
