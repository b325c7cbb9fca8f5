// The device panel's widgets: layer lamps of the line interface, a lamp and a number
// label per channel and per modem, and the modem's popup menu. Each lamp maps the state
// of its object's record to a bitmap; the state arrives with the record, either in the
// completed read that the constructor pushes or in the hint of the object's notification.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>

#include "QLCommon/LineInterface.h"
#include "QLCommon/Message.h"
#include "QLCommon/Modem.h"
#include "applet/UI_View.h"

// A lamp: a bitmap per state value; a state without one draws nothing.
class CLampButton : public CUI_BitmapButton {
public:
    CLampButton(CWnd* parent, int controlId, uint32_t initialState);
    UINT GetBitmapId(bool toggle) override;
    uint32_t GetState() const { return m_State.load(); }

protected:
    void SetState(uint32_t state);
    // The first read of the lamp's record, counted until its notification has been taken.
    void ReadRecord(CManageableObject* model, CMessage* message);
    // Last in Update: a completed read has been taken and the lamp is no longer touched by it.
    void ReadTaken(CSubject* subject);
    // First in a lamp's destructor: a read in flight would notify a lamp that is gone.
    void WaitForReads();
    std::map<uint32_t, UINT> m_Bitmaps;

private:
    std::atomic<uint32_t> m_State;
    std::atomic<int> m_Reads{0};
};

// The record of type T carried by a notification: the completed read that is the subject,
// or the read of the hint when the subject is an object of kind O. Null when neither.
template <class T, class O>
const T* zel_RecordOf(CSubject* subject, SubjectHint hint)
{
    if (auto* read = dynamic_cast<CReadVariableMessage<T>*>(subject))
        return read->GetStatus() == MSG_DONE ? &read->m_Record : nullptr;
    if (hint == 0 || dynamic_cast<O*>(subject) == nullptr)
        return nullptr;
    auto* read = dynamic_cast<CReadVariableMessage<T>*>(reinterpret_cast<CMessage*>(hint));
    return read != nullptr ? &read->m_Record : nullptr;
}

class CLineInterfaceLayer1Button : public CLampButton {
public:
    CLineInterfaceLayer1Button(CLineInterface* model, CWnd* parent, int controlId);
    ~CLineInterfaceLayer1Button() override;
    void Update(CSubject* subject, SubjectHint hint) override;
    std::string GetText() override;

private:
    CLineInterface* m_pLineInterface;
};

class CLineInterfaceLayer2Button : public CLampButton {
public:
    CLineInterfaceLayer2Button(CLineInterface* model, CWnd* parent, int controlId);
    ~CLineInterfaceLayer2Button() override;
    void Update(CSubject* subject, SubjectHint hint) override;
    std::string GetText() override;

private:
    CLineInterface* m_pLineInterface;
};

class CChannelButton : public CLampButton {
public:
    CChannelButton(CChannel* model, CWnd* parent, int controlId);
    ~CChannelButton() override;
    UINT GetBitmapId(bool toggle) override;
    void Update(CSubject* subject, SubjectHint hint) override;

private:
    CChannel* m_pChannel;
};

class CModemButton : public CLampButton {
public:
    CModemButton(CModem* model, CWnd* parent, int controlId);
    ~CModemButton() override;
    void Update(CSubject* subject, SubjectHint hint) override;

private:
    CModem* m_pModem;
};

class CChannelTextView : public CUI_TextView {
public:
    CChannelTextView(CChannel* model, CWnd* parent, int controlId);
    ~CChannelTextView() override;
    void Update(CSubject*, SubjectHint) override {}
    void ShowNumber();

private:
    CChannel* m_pChannel;
};

class CModemTextView : public CUI_TextView {
public:
    enum : uint32_t { SHOW_NUMBER = 1, SHOW_SEPARATOR = 2, SHOW_STATE = 4 };
    CModemTextView(CModem* model, CWnd* parent, int controlId);
    ~CModemTextView() override;
    void SetDisplayMask(uint32_t mask) { m_DisplayMask = mask; }
    void UpdateText();
    void Update(CSubject* subject, SubjectHint hint) override;
    static std::string StateText(uint32_t state);

protected:
    LRESULT OnRebuildText(WPARAM, LPARAM);
    DECLARE_MESSAGE_MAP()

private:
    std::atomic<uint32_t> m_DisplayMask{1};
    CModem* m_pModem;
};

// The modem's menu: out of service, and its debug log.
class CModemMenu : public CUI_PopupMenu {
public:
    explicit CModemMenu(CModem* modem);
    void OnUpdateMenu() override;
    void OnMenuCommand(unsigned commandId, uintptr_t extra) override;

private:
    CModem* m_pModem;
};
