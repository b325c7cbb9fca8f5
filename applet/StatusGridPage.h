// The "Monitor" page: for one line of the current adapter at a time, the lamps of its two
// layers, its channels and the pumps of the modules that serve it, refreshed from the port
// status request while the page is active. Only lamps whose state changed are set again.
#pragma once

#include <cstdint>

#include "applet/StatusGrid.h"
#include "platform/mfc/afxdlgs.h"

class CMyPropertyPage8 : public CPropertyPage {
public:
    CMyPropertyPage8();
    ~CMyPropertyPage8() override;

    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    BOOL OnKillActive() override;
    void Refresh(uint32_t line);

    static unsigned GetLayer1Image(uint32_t state) { return grid::Layer1Image(state); }
    static unsigned GetLayer2Image(uint32_t state) { return grid::Layer2Image(state); }
    unsigned GetChannelImage(uint32_t channel) const;
    static unsigned GetPumpImage(uint32_t state) { return grid::PumpImage(state); }
    void ShowModuleLamps(uint32_t socket, bool show);
    void ClearModule(uint32_t socket);

    // The image resource a lamp shows now (0 for none or no such lamp).
    unsigned ShownImage(int control) const;

    uint32_t m_AutoRefresh = 0;
    uint32_t m_SelectedLine = 0;
    grid::GridState m_Grid;
    uint64_t m_ImagesSet = 0;  // lamps set since the page was made

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    void OnSelectLine(NMHDR* pNMHDR, LRESULT* pResult);
    void OnDestroy();
    DECLARE_MESSAGE_MAP()

private:
    void SetImage(int control, unsigned image);
    void ShowLine(uint32_t line);
    void ClearLamps();
    uint32_t Lines() const;
    uint32_t SocketsOf(uint32_t line) const;

    CTabCtrl m_LineTabs;
    static constexpr unsigned kImageIds[7] = {grid::kImageNotPresent, grid::kImageIdle, grid::kImageEstablishing,
                                              grid::kImageConnected,  grid::kImageDropping,
                                              grid::kImageOutOfService, grid::kImageDChannel};
    CBitmap m_Images[7];
};

void RegisterStatusGridResources();
