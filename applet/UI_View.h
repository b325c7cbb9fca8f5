// Views of managed objects: owner-drawn bitmap buttons and text labels that observe a
// model, repaint when it notifies them, and pass its popup menu's commands to it.
// Update runs on whatever thread notifies; views only store and invalidate there.
#pragma once

#include <atomic>
#include <string>

#include "QLCommon/UI_Model.h"
#include "platform/mfc/afxwin.h"

// The view side that every widget shares: the model it is attached to (null while detached).
class CUI_ModelView : public CUI_View {
public:
    void SetModel(CUI_Model* model) override { m_pModel = model; }
    CUI_Model* GetModel() const { return m_pModel; }
    virtual std::string GetText();
    virtual int GetControlId() { return 0; }
    virtual void Hook() {}

private:
    std::atomic<CUI_Model*> m_pModel{nullptr};
};

class CUI_BitmapButton : public CButton, public CUI_ModelView {
public:
    CUI_BitmapButton(CWnd* parent, int controlId);
    ~CUI_BitmapButton() override;

    virtual UINT GetBitmapId(bool toggle) = 0;
    virtual void OnContextMenu(CWnd* window, int x, int y);
    virtual void OnClickHook(CWnd*, int, int) {}
    virtual void OnCommandButton(UINT commandId);
    void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct) override;
    void Update(CSubject* subject, SubjectHint hint) override;
    // The popup's commands come to the button, which owns it.
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
    int GetControlId() override { return m_ControlId; }
    bool GetToggle() const { return m_bToggle; }

protected:
    void OnRButtonDown(UINT nFlags, CPoint point);
    void OnLButtonUp(UINT nFlags, CPoint point);
    void OnSetFocus(CWnd* pOldWnd);
    void OnKillFocus(CWnd* pNewWnd);
    DECLARE_MESSAGE_MAP()

    CWnd* m_pParent;
    int m_ControlId;
    bool m_bToggle = false;
    bool m_bFocus = false;
};

class CUI_TextView : public CStatic, public CUI_ModelView {
public:
    CUI_TextView(CWnd* parent, int controlId);
    ~CUI_TextView() override;
    void SetText(const std::string& text);
    int GetControlId() override { return m_ControlId; }

protected:
    CWnd* m_pParent;
    int m_ControlId;
    CFont m_Font;
};

// A popup menu of a model, loaded from a menu resource each time it is shown.
class CUI_PopupMenu : public CMenu, public CUI_Menu {
public:
    CUI_PopupMenu(CUI_Model* model, UINT menuId) : m_pModel(model), m_MenuId(menuId) {}
    virtual UINT GetMenuId() { return m_MenuId; }
    virtual void OnUpdateMenu() {}
    // x, y in client coordinates of the window, which owns the popup.
    void TrackPopup(int x, int y, void* window) override;

protected:
    CUI_Model* m_pModel;
    UINT m_MenuId;
    CMenu* m_pPopup = nullptr;  // the shown submenu, while OnUpdateMenu runs
};
