// The line configuration page: every driver parameter of the sheet's current adapter as
// a tree, a tab per line, the standard configurations, five dialogs that edit a line's
// values, "Update" that writes them all back and the export of the tree to a log file.
// The values, their loading, writing and the report text are plain functions over plain
// records; the page and dialogs only move them to and from their controls.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "applet/LayoutTables.h"
#include "platform/mfc/afxdlgs.h"

namespace linecfg {

constexpr int kLines = 4;
constexpr int kNumbers = 31;
constexpr int kNumberLength = 40;  // 39 characters and the terminator
constexpr int kModules = 10;

// The per-line values, in the order they are read, written and shown.
enum LineValue : int {
    LineIntfMode, SystemBusMode, NetworkSide, LineMode, QStackMultiplier, LineCode, FramingFormat,
    DS0IdleCode, DChRate, TxPulseTemplate, Modulus, WindowSize, SignallingProtocol, DChInversion,
    BChProtocol, ISDNthroughCSM, SamplingType, RBSType, RBSCallType, RBSProtocol, RBSWinkDuration,
    kLineValues
};

struct ValueName {
    const char* Name;
    uint32_t Default;
};
extern const ValueName kLineValueNames[kLineValues];

struct LineSet {
    uint32_t Value[kLineValues] = {};
    char Numbers[kNumbers][kNumberLength] = {};
};

struct Values {
    std::string Current;    // SYSTEM\Select's Current as read ("" when it could not be)
    std::string MediaType;  // shown only
    uint32_t TimerResolution = 10, IrqStatistics = 0, AdapterID = 4;
    LineSet Line[kLines];
    uint32_t ModuleID[kModules] = {};
};

// What the tree shows: item texts as the load produced them.
struct Tree {
    std::vector<std::string> Top;  // under the first item, which has no text
    std::string Key;               // the second item: the full key
    struct LineItems {
        std::vector<std::string> Values;
        std::vector<std::string> Numbers;  // name=number, one per number read
    } Lines[kLines];
    std::vector<std::string> Adapter;
    std::vector<std::string> Modules;
};

// Value names: "WindowSize_2", "Line_2.DirectoryNumber_17", "ModuleID_3".
std::string LineValueName(int value, int line);
std::string NumberName(int line, int number);
std::string ModuleName(int socket);

// The parameters key of the adapter under the control set SYSTEM\Select names (or
// CurrentControlSet); `current` gets the text read ("" when there is none).
std::string FullKey(uint32_t deviceNumber, std::string* current = nullptr);

// Reads every value (creating missing ones with their defaults) into `values` and the
// tree. False when one cannot be read or created: `values` is then left as it was and
// the tree holds what was read before.
bool Load(const std::string& key, const std::string& current, Values& values, Tree& tree);
// Writes every value but MediaType: adapter values, lines, numbers, modules.
bool Write(const std::string& key, const Values& values);

// The standard configurations of a line.
enum class Standard { PriT1, PriE1, T1Rbs };
void ApplyStandard(LineSet& line, Standard which);
// The line's interface type; a change moves its system bus to the type's (T1 2, E1 5).
void SetInterfaceType(LineSet& line, uint32_t lineMode);

// The report the export writes.
std::string ExportText(const Tree& tree);

// "Fill": the 31 numbers made from the first one; the last three characters count in
// decimal, the hundreds wrapping to 0.
std::vector<std::string> FillNumbers(const std::string& first, bool increment);
// What a typed directory number is stored as: its digits, at most 39.
std::string NumberDigits(const std::string& text);

// A drop-down list of stored values: entry i stands for Values[i].
struct Choice {
    const char* const* Texts;  // ended by nullptr
    const uint32_t* Values;
    int Count() const;
    int IndexOf(uint32_t value) const;  // -1: the value has no entry
};
extern const Choice kLineModeChoice, kLineCodeChoice, kFramingChoice, kDChRateChoice, kIdleCodeChoice,
    kPulseChoice, kModulusChoice, kProtocolChoice, kInversionChoice, kBChannelChoice, kRbsCallTypeChoice,
    kRbsProtocolChoice, kRbsTypeChoice, kWinkChoice, kNetworkSideChoice, kIrqChoice, kCsmChoice, kSamplingChoice,
    kOutgoingAnalogChoice;
// Names of the board types (AdapterID order) and module types (ModuleID order).
const std::vector<std::string>& AdapterNames();
const std::vector<std::string>& ModuleNames();

}  // namespace linecfg

// Moves a stored value to and from a drop-down list: the list shows the value's entry
// (none when it has none); on save the value changes only when the user picked another
// entry, so a value without an entry is kept as it is.
class CChoiceExchange {
public:
    void Exchange(CDataExchange* pDX, int id, const linecfg::Choice& choice, uint32_t& value);

private:
    std::map<int, int> m_Shown;
};

class Cly1cfg : public CDialog {
public:
    Cly1cfg(const linecfg::LineSet& line, CWnd* pParent);
    linecfg::LineSet m_Line;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

private:
    CChoiceExchange m_Choices;
};

class cly2cfg : public CDialog {
public:
    cly2cfg(const linecfg::LineSet& line, CWnd* pParent);
    linecfg::LineSet m_Line;
    int m_WindowSize = 7;
    CSpinButtonCtrl m_Spin;
    CSliderCtrl m_Slider;
    int MaximumWindow() const;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnModulus();
    void OnHScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar);
    void OnVScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar);
    DECLARE_MESSAGE_MAP()

private:
    void SetRange();
    CChoiceExchange m_Choices;
};

class Cly3cfg : public CDialog {
public:
    Cly3cfg(const linecfg::LineSet& line, CWnd* pParent);
    linecfg::LineSet m_Line;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnProtocol();
    DECLARE_MESSAGE_MAP()

private:
    void ShowRobbedBit();
    CChoiceExchange m_Choices;
};

class CDirNumberCfg : public CDialog {
public:
    CDirNumberCfg(const linecfg::LineSet& line, CWnd* pParent);
    linecfg::LineSet m_Line;
    CSpinButtonCtrl m_Spin;
    CComboBox m_List;
    int m_Channel = 0;
    CString m_Edited;
    CString m_FirstNumber;
    int m_FillMode = 0;  // 0 increment, 1 same number

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnFill();
    void OnSelectNumber();
    void OnVScroll(UINT nSBCode, UINT nPos, CScrollBar* pScrollBar);
    DECLARE_MESSAGE_MAP()

private:
    void MoveTo(int channel);
    void PutBackEdited();
    int m_EditedRow = 0;
};

class CAdvanced : public CDialog {
public:
    CAdvanced(const linecfg::Values& values, int line, CWnd* pParent);
    linecfg::Values m_Values;
    int m_LineIndex;
    uint32_t m_OutgoingAnalog = 0;  // no registry value: the page keeps it while it is open
    UINT m_QStack = 2;
    UINT m_Timer = 10;
    CTreeCtrl m_Tree;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

private:
    CChoiceExchange m_Choices;
};

class CMyPropertyPage3 : public CPropertyPage {
public:
    // The page of the sheet's current adapter (GPropertySheet, taken when it opens).
    CMyPropertyPage3();
    // The page of one adapter: its instance number and board-type row.
    CMyPropertyPage3(uint32_t deviceNumber, const BoardTypeRow* boardRow);

    BOOL OnInitDialog() override;

    linecfg::Values m_Values;
    linecfg::Tree m_TreeItems;
    int m_CurrentLine = 0;
    int m_LineCount = 4;
    std::string m_Key;
    CTabCtrl m_Tabs;
    CTreeCtrl m_Tree;
    HTREEITEM m_LineItem[linecfg::kLines] = {};
    bool m_Changed = false;
    bool m_Loaded = false;  // every value was read
    uint32_t m_OutgoingAnalog[linecfg::kLines] = {};

    // The sockets of the current line: ModuleID index of each choice "0:" to "3:", -1 hidden.
    int ModuleSocket(int choice) const;

protected:
    void OnSelectLine(NMHDR* pNMHDR, LRESULT* pResult);
    void OnInterfaceType();
    void OnAdapterId();
    void OnModule(UINT id);
    void OnPriT1() { Standard(linecfg::Standard::PriT1); }
    void OnPriE1() { Standard(linecfg::Standard::PriE1); }
    void OnT1Rbs() { Standard(linecfg::Standard::T1Rbs); }
    void OnLayer1();
    void OnLayer2();
    void OnLayer3();
    void OnDirectoryNumbers();
    void OnAdvanced();
    void OnUpdate();
    void OnExport();
    DECLARE_MESSAGE_MAP()

private:
    void Standard(linecfg::Standard which);
    bool Reload();
    void FillTree();
    void Refresh();
    void Edited();
    bool m_FromSheet;
    uint32_t m_DeviceNumber = 0;
    const BoardTypeRow* m_pBoardRow = nullptr;
};

void RegisterLineConfigResources();
