#include "QLCommon/UI_Model.h"

CUI_Model::~CUI_Model() { delete m_pMenu; }

std::string CUI_Model::GetViewText() { return "Test"; }

void CUI_Model::AttachView(CUI_View* view)
{
    if (view == nullptr)
        return;
    Attach(view);
    view->SetModel(this);
}

void CUI_Model::DetachView(CUI_View* view)
{
    if (view == nullptr)
        return;
    view->SetModel(nullptr);
    Detach(view);
}

void CUI_Model::SetMenu(CUI_Menu* menu)
{
    if (menu != m_pMenu)
        delete m_pMenu;
    m_pMenu = menu;
}

void CUI_Model::ShowMenu(int x, int y, void* parentWindow)
{
    if (m_pMenu != nullptr)
        m_pMenu->TrackPopup(x, y, parentWindow);
}

void CUI_Model::OnMenuCommand(unsigned commandId, uintptr_t extra)
{
    if (m_pMenu != nullptr)
        m_pMenu->OnMenuCommand(commandId, extra);
}
