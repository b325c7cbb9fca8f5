// The "Device Manager" page: the sheet's current adapter as a tree of its objects
// (system buses, HDLC controller ports, framers and signalling stacks of the lines,
// modules, modem processors and their pumps, the driver), each with a picture of its
// health, and the text dump of the selected object. Every dump is one management request
// through the sheet's request block; the texts come from the builders of AdapterInfoDumps.
#pragma once

#include <cstdint>

#include "applet/AdapterInfoDumps.h"
#include "platform/mfc/afxdlgs.h"

class CMyPropertyPage7 : public CPropertyPage {
public:
    CMyPropertyPage7();
    ~CMyPropertyPage7() override;

    static constexpr int kTextLimit = 16000;

    BOOL OnInitDialog() override;
    int GetInfo();
    void SetItemImage(TVITEM* item);

    int GetInfoAdapter();
    int GetInfoLineIntf(uint32_t line);
    int GetInfoDataIntf(uint32_t bus);
    int GetInfoModule(uint32_t socket);
    int GetInfoCsmDevice(uint32_t socket, uint32_t device);
    int GetInfoPumpDevice(uint32_t socket, uint32_t device, uint32_t pump);
    int GetInfoSystemBus(uint32_t bus);
    int GetInfoQstack(uint32_t line);
    int GetInfoDriver();

    // The image of a type when healthy, not healthy or, for modules, not installed.
    int ImageOf(uint32_t type, InfoHealth health) const;

    uint32_t ItemCode = 0x01000000;
    HTREEITEM m_hRoot = nullptr;
    HTREEITEM m_hBus[infodump::kMaxBuses] = {};
    HTREEITEM m_hModule[infodump::kMaxSockets] = {};
    HTREEITEM m_hCsm = nullptr;
    CImageList m_Images;
    int m_iAdapter = 0, m_iAdapterBad = 0, m_iPump = 0, m_iPumpBad = 0, m_iBus = 0, m_iBusBad = 0, m_iModule = 0,
        m_iModuleBad = 0, m_iModuleNone = 0, m_iDevice = 0, m_iDeviceBad = 0, m_iQstack = 0, m_iQstackBad = 0,
        m_iDriver = 0, m_iDriverBad = 0;
    CTreeCtrl m_Tree;
    CString m_Text;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    void OnRefresh();
    void OnSelchangedTree(NMHDR* pNMHDR, LRESULT* pResult);
    DECLARE_MESSAGE_MAP()

private:
    // Clears the sheet's request, fills it and sends it: the reply, or nullptr when it
    // could not be sent.
    const BackdoorRequest* Request(uint32_t action, uint32_t arg0 = 0, uint32_t arg1 = 0, uint32_t arg2 = 0);
    // Shows the dump, bounded by the text's limit, and answers its image.
    int Show(uint32_t type, const CInfoDump& dump);
    HTREEITEM AddItem(const char* text, uint32_t code, HTREEITEM parent);
    void KeepHandle(uint32_t code, HTREEITEM item);
    void BuildTree();
};
