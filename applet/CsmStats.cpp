#include "applet/CsmStats.h"

#include "applet/ModemReports.h"
#include "applet/PropertySheet.h"
#include "applet/resource.h"

namespace {
constexpr uint32_t kReadCsmMsgCounters = 47;
constexpr int kTextLimit = 4096;
}  // namespace

BEGIN_MESSAGE_MAP(CCsmStats, CDialog)
    ON_BN_CLICKED(IDC_CSM_REFRESH, OnRefresh)
END_MESSAGE_MAP()

CCsmStats::CCsmStats(CWnd* pParent, CMyPropertySheet* sheet, uint32_t module, uint32_t csm)
    : CDialog(IDD_CSM_STATS, pParent), m_pSheet(sheet), m_Module(module), m_Csm(csm)
{
}

void CCsmStats::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_CSM_INBOUND, m_InBound);
    DDV_MaxChars(pDX, m_InBound, kTextLimit);
    DDX_Text(pDX, IDC_CSM_OUTBOUND, m_OutBound);
    DDV_MaxChars(pDX, m_OutBound, kTextLimit);
}

void CCsmStats::OnRefresh()
{
    if (m_pSheet == nullptr)
        return;
    m_pSheet->ClearDriverRequest();
    BackdoorRequest& r = m_pSheet->m_Request;
    r.Class = 0;
    r.Action = kReadCsmMsgCounters;
    r.Arg[0] = m_Module;
    r.Arg[1] = m_Csm;
    if (m_pSheet->SendDriverRequest()) {
        m_InBound = modemreports::CsmCountersText(r, 0).c_str();
        m_OutBound = modemreports::CsmCountersText(r, 1).c_str();
    } else {
        m_InBound = m_OutBound = modemreports::ResultLine(r).c_str();
    }
    UpdateData(FALSE);
}
