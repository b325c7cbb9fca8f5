#include "applet/DeviceWidgets.h"

#include "QLCommon/Variables.h"
#include "applet/resource.h"

// --- CLampButton --------------------------------------------------------------------

CLampButton::CLampButton(CWnd* parent, int controlId, uint32_t initialState)
    : CUI_BitmapButton(parent, controlId), m_State(initialState)
{
}

UINT CLampButton::GetBitmapId(bool)
{
    auto it = m_Bitmaps.find(m_State.load());
    return it != m_Bitmaps.end() ? it->second : 0;
}

void CLampButton::SetState(uint32_t state)
{
    m_State = state;
    Invalidate();
}

void CLampButton::ReadRecord(CManageableObject* model, CMessage* message)
{
    m_Reads++;
    model->PushWithObserver(message, this);
}

void CLampButton::ReadTaken(CSubject* subject)
{
    if (dynamic_cast<CMessage*>(subject) != nullptr) m_Reads--;
}

void CLampButton::WaitForReads()
{
    // Every message is completed once (a destroyed object's as failed); bounded all the same.
    for (int i = 0; i < 500 && m_Reads.load() > 0; i++) Sleep(10);
}

// --- line interface -------------------------------------------------------------------

CLineInterfaceLayer1Button::CLineInterfaceLayer1Button(CLineInterface* model, CWnd* parent, int controlId)
    : CLampButton(parent, controlId, 1), m_pLineInterface(model)
{
    m_Bitmaps = {{2, IDB_LAMP_GREEN}, {1, IDB_LAMP_GREY}, {130, IDB_LAMP_GREEN_2}, {129, IDB_LAMP_GREY_2}};
    model->AttachView(this);
    ReadRecord(model, new CReadVariableMessage<rpri_tPRI>(rpri_tPRI_Table));
}

CLineInterfaceLayer1Button::~CLineInterfaceLayer1Button()
{
    WaitForReads();
    m_pLineInterface->DetachView(this);
}

void CLineInterfaceLayer1Button::Update(CSubject* subject, SubjectHint hint)
{
    if (const rpri_tPRI* r = zel_RecordOf<rpri_tPRI, CLineInterface>(subject, hint))
        SetState(static_cast<uint8_t>(r->Layer1));
    ReadTaken(subject);
}

std::string CLineInterfaceLayer1Button::GetText() { return m_pLineInterface->GetLayer1StateText(); }

CLineInterfaceLayer2Button::CLineInterfaceLayer2Button(CLineInterface* model, CWnd* parent, int controlId)
    : CLampButton(parent, controlId, 1), m_pLineInterface(model)
{
    m_Bitmaps = {{7, IDB_LAMP_GREEN},     {1, IDB_LAMP_GREY},     {5, IDB_LAMP_BLUE},     {6, IDB_LAMP_ORANGE},
                 {135, IDB_LAMP_GREEN_2}, {129, IDB_LAMP_GREY_2}, {133, IDB_LAMP_BLUE_2}, {134, IDB_LAMP_ORANGE_2}};
    model->AttachView(this);
    ReadRecord(model, new CReadVariableMessage<rpri_tPRI>(rpri_tPRI_Table));
}

CLineInterfaceLayer2Button::~CLineInterfaceLayer2Button()
{
    WaitForReads();
    m_pLineInterface->DetachView(this);
}

void CLineInterfaceLayer2Button::Update(CSubject* subject, SubjectHint hint)
{
    if (const rpri_tPRI* r = zel_RecordOf<rpri_tPRI, CLineInterface>(subject, hint))
        SetState(static_cast<uint8_t>(r->Layer2));
    ReadTaken(subject);
}

std::string CLineInterfaceLayer2Button::GetText() { return m_pLineInterface->GetLayer2StateText(); }

// --- channels -------------------------------------------------------------------------

CChannelButton::CChannelButton(CChannel* model, CWnd* parent, int controlId)
    : CLampButton(parent, controlId, 9), m_pChannel(model)
{
    m_Bitmaps = {{6, IDB_LAMP_GREEN},     {8, IDB_LAMP_ORANGE},   {1, IDB_LAMP_DARK_C},  {9, IDB_LAMP_GREY},
                 {134, IDB_LAMP_GREEN_2}, {136, IDB_LAMP_ORANGE_2}, {129, IDB_LAMP_DARK_B}, {137, IDB_LAMP_GREY_2}};
    model->AttachView(this);
    ReadRecord(model, new CReadVariableMessage<rpri_tPRIChannel>(rpri_tPRIChannel_Table));
}

CChannelButton::~CChannelButton()
{
    WaitForReads();
    m_pChannel->DetachView(this);
}

UINT CChannelButton::GetBitmapId(bool toggle)
{
    return m_pChannel->IsDChannel() ? IDB_LAMP_YELLOW : CLampButton::GetBitmapId(toggle);
}

void CChannelButton::Update(CSubject* subject, SubjectHint hint)
{
    if (const rpri_tPRIChannel* r = zel_RecordOf<rpri_tPRIChannel, CChannel>(subject, hint))
        SetState(static_cast<uint8_t>(r->State));
    ReadTaken(subject);
}

CChannelTextView::CChannelTextView(CChannel* model, CWnd* parent, int controlId)
    : CUI_TextView(parent, controlId), m_pChannel(model)
{
    model->AttachView(this);
}

CChannelTextView::~CChannelTextView() { m_pChannel->DetachView(this); }

void CChannelTextView::ShowNumber() { SetText(std::to_string(m_pChannel->GetChannelNumber())); }

// --- modems ---------------------------------------------------------------------------

CModemButton::CModemButton(CModem* model, CWnd* parent, int controlId)
    : CLampButton(parent, controlId, 5), m_pModem(model)
{
    m_Bitmaps = {{4, IDB_LAMP_GREEN}, {3, IDB_LAMP_BLUE}, {8, IDB_LAMP_ORANGE},
                 {2, IDB_LAMP_DARK_A}, {5, IDB_LAMP_GREY}, {9, IDB_LAMP_DARK_C}};
    model->AttachView(this);
    ReadRecord(model, new CReadVariableMessage<zelmdm_tGeneralStatus>(zelmdm_tGeneralStatus_Table));
}

CModemButton::~CModemButton()
{
    WaitForReads();
    m_pModem->DetachView(this);
}

void CModemButton::Update(CSubject* subject, SubjectHint hint)
{
    if (const zelmdm_tGeneralStatus* r = zel_RecordOf<zelmdm_tGeneralStatus, CModem>(subject, hint))
        SetState(r->Field[1]);
    ReadTaken(subject);
}

CModemTextView::CModemTextView(CModem* model, CWnd* parent, int controlId)
    : CUI_TextView(parent, controlId), m_pModem(model)
{
    model->AttachView(this);
}

CModemTextView::~CModemTextView() { m_pModem->DetachView(this); }

std::string CModemTextView::StateText(uint32_t state)
{
    static const char* const kText[] = {"Connected", "Connecting", "Disconnecting", "Idle", "Out of Service"};
    return state < 5 ? kText[state] : "Unknown";
}

void CModemTextView::UpdateText()
{
    std::string text;
    uint32_t mask = m_DisplayMask;
    if (mask & SHOW_NUMBER)
        text += std::to_string(m_pModem->GetModemNumber());
    if (mask & SHOW_SEPARATOR)
        text += " : ";
    if (mask & SHOW_STATE)
        text += StateText(m_pModem->GetState());
    SetText(text);
}

BEGIN_MESSAGE_MAP(CModemTextView, CUI_TextView)
    ON_MESSAGE(WM_USER, OnRebuildText)
END_MESSAGE_MAP()

// Notifications come from workers; the text is only rebuilt on the user-interface thread.
void CModemTextView::Update(CSubject*, SubjectHint) { PostMessage(WM_USER); }

LRESULT CModemTextView::OnRebuildText(WPARAM, LPARAM)
{
    UpdateText();
    return 0;
}

// --- the modem's menu -------------------------------------------------------------------

CModemMenu::CModemMenu(CModem* modem) : CUI_PopupMenu(modem, IDR_MODEM_MENU), m_pModem(modem) {}

void CModemMenu::OnUpdateMenu()
{
    if (m_pPopup == nullptr)
        return;
    m_pPopup->CheckMenuItem(ID_MODEM_OUT_OF_SERVICE,
                            MF_BYCOMMAND | (m_pModem->IsOutOfService() ? MF_CHECKED : MF_UNCHECKED));
    m_pPopup->CheckMenuItem(ID_MODEM_DEBUG_LOG, MF_BYCOMMAND | (m_pModem->IsMonitoring() ? MF_CHECKED : MF_UNCHECKED));
}

void CModemMenu::OnMenuCommand(unsigned commandId, uintptr_t)
{
    if (commandId == ID_MODEM_OUT_OF_SERVICE)
        m_pModem->Push(new COOSMessage(m_pModem->IsOutOfService() ? 0 : 1));
    else if (commandId == ID_MODEM_DEBUG_LOG)
        m_pModem->SetMonitoring(!m_pModem->IsMonitoring());
}
