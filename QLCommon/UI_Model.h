// The model base of the device panel: a subject with a view text and an owned popup menu.
#pragma once

#include <string>

#include "QLCommon/Subject.h"

class CUI_Model;

// What a model needs of the views that attach to it; the widgets implement it.
class CUI_View : public CObserver {
public:
    virtual void SetModel(CUI_Model* model) = 0;
};

// What a model needs of its popup menu; the widgets implement it.
class CUI_Menu {
public:
    virtual ~CUI_Menu() = default;
    virtual void TrackPopup(int x, int y, void* parentWindow) = 0;
    virtual void OnMenuCommand(unsigned commandId, uintptr_t extra) = 0;
};

class CUI_Model : public CSubject {
public:
    CUI_Model() = default;
    ~CUI_Model() override;

    virtual std::string GetViewText();
    void AttachView(CUI_View* view);
    void DetachView(CUI_View* view);
    void SetMenu(CUI_Menu* menu);
    CUI_Menu* GetMenu() const { return m_pMenu; }
    void ShowMenu(int x, int y, void* parentWindow);
    void OnMenuCommand(unsigned commandId, uintptr_t extra);

private:
    CUI_Menu* m_pMenu = nullptr;
};
