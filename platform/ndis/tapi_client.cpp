#include "platform/ndis/tapi_client.h"

#include <cstring>

namespace plat::ndis {

TapiClient::TapiClient(NdisState& ndis, Adapter* adapter) : ndis_(ndis), adapter_(adapter)
{
    previous_on_status_ = ndis_.on_status;
    ndis_.on_status = [this](Adapter& a, NDIS_STATUS status, void* buffer, UINT size) {
        if (previous_on_status_) previous_on_status_(a, status, buffer, size);
        if (&a == adapter_) indicated(a, status, buffer, size);
    };
}

TapiClient::~TapiClient() { ndis_.on_status = previous_on_status_; }

NDIS_STATUS TapiClient::query(NDIS_OID oid, void* buffer, ULONG length)
{
    ULONG written = 0, needed = 0;
    return ndis_.query(adapter_, oid, buffer, length, &written, &needed);
}

NDIS_STATUS TapiClient::set(NDIS_OID oid, void* buffer, ULONG length)
{
    ULONG read = 0, needed = 0;
    return ndis_.set(adapter_, oid, buffer, length, &read, &needed);
}

void TapiClient::indicated(Adapter&, NDIS_STATUS status, void* buffer, UINT size)
{
    if (status != NDIS_STATUS_TAPI_INDICATION || size < sizeof(NDIS_TAPI_EVENT)) return;
    auto* e = static_cast<NDIS_TAPI_EVENT*>(buffer);
    if (e->ulMsg == LINE_NEWCALL) {
        // TAPI answers a new call with its own handle of it.
        e->ulParam2 = next_call_handle++;
        offered_.push_back({e->htLine, e->ulParam1, e->ulParam2});
    }
    TapiEvent ev{e->htLine, e->htCall, e->ulMsg, e->ulParam1, e->ulParam2, e->ulParam3};
    events_.push_back(ev);
    if (on_event) on_event(ev);
}

// ---- provider ----

NDIS_STATUS TapiClient::initialize(ULONG device_id_base)
{
    NDIS_TAPI_PROVIDER_INITIALIZE r{};
    r.ulRequestID = request_id_++;
    r.ulDeviceIDBase = device_id_base;
    NDIS_STATUS s = query(OID_TAPI_PROVIDER_INITIALIZE, &r, sizeof r);
    if (s == NDIS_STATUS_SUCCESS) {
        device_id_base_ = device_id_base;
        num_lines_ = r.ulNumLineDevs;
    }
    return s;
}

NDIS_STATUS TapiClient::shutdown()
{
    NDIS_TAPI_PROVIDER_SHUTDOWN r{};
    r.ulRequestID = request_id_++;
    return set(OID_TAPI_PROVIDER_SHUTDOWN, &r, sizeof r);
}

// ---- lines ----

NDIS_STATUS TapiClient::line_name(ULONG device_id, std::string* name)
{
    constexpr ULONG kLength = 400;
    std::vector<uint8_t> b(kLength, 0);
    auto* r = reinterpret_cast<NDIS_TAPI_GET_DEV_CAPS*>(b.data());
    r->ulRequestID = request_id_++;
    r->ulDeviceID = device_id;
    r->LineDevCaps.ulTotalSize = kLength - offsetof(NDIS_TAPI_GET_DEV_CAPS, LineDevCaps);
    NDIS_STATUS s = query(OID_TAPI_GET_DEV_CAPS, b.data(), kLength);
    if (s != NDIS_STATUS_SUCCESS) return s;
    const LINE_DEV_CAPS& caps = r->LineDevCaps;
    size_t at = offsetof(NDIS_TAPI_GET_DEV_CAPS, LineDevCaps) + caps.ulLineNameOffset;
    name->clear();
    if (caps.ulLineNameSize == 0 || caps.ulLineNameOffset == 0 || at + caps.ulLineNameSize > kLength) return s;
    name->assign(reinterpret_cast<const char*>(b.data() + at), strnlen(reinterpret_cast<const char*>(b.data() + at),
                                                                        caps.ulLineNameSize));
    return s;
}

NDIS_STATUS TapiClient::open(ULONG device_id, HTAPI_LINE htLine, HDRV_LINE* hdLine)
{
    NDIS_TAPI_OPEN r{};
    r.ulRequestID = request_id_++;
    r.ulDeviceID = device_id;
    r.htLine = htLine;
    NDIS_STATUS s = query(OID_TAPI_OPEN, &r, sizeof r);
    if (s == NDIS_STATUS_SUCCESS && hdLine != nullptr) *hdLine = r.hdLine;
    return s;
}

NDIS_STATUS TapiClient::close(HDRV_LINE hdLine)
{
    NDIS_TAPI_CLOSE r{};
    r.ulRequestID = request_id_++;
    r.hdLine = hdLine;
    return set(OID_TAPI_CLOSE, &r, sizeof r);
}

NDIS_STATUS TapiClient::set_status_messages(HDRV_LINE hdLine, ULONG line_states, ULONG address_states)
{
    NDIS_TAPI_SET_STATUS_MESSAGES r{};
    r.ulRequestID = request_id_++;
    r.hdLine = hdLine;
    r.ulLineStates = line_states;
    r.ulAddressStates = address_states;
    return set(OID_TAPI_SET_STATUS_MESSAGES, &r, sizeof r);
}

NDIS_STATUS TapiClient::dev_specific(HDRV_LINE hdLine, void* params, ULONG size)
{
    std::vector<uint8_t> b(offsetof(NDIS_TAPI_DEV_SPECIFIC, Params) + size, 0);
    auto* r = reinterpret_cast<NDIS_TAPI_DEV_SPECIFIC*>(b.data());
    r->ulRequestID = request_id_++;
    r->hdLine = hdLine;
    r->ulParamsSize = size;
    std::memcpy(b.data() + offsetof(NDIS_TAPI_DEV_SPECIFIC, Params), params, size);
    NDIS_STATUS s = query(OID_TAPI_DEV_SPECIFIC, b.data(), ULONG(b.size()));
    std::memcpy(params, b.data() + offsetof(NDIS_TAPI_DEV_SPECIFIC, Params), size);
    return s;
}

// ---- calls ----

NDIS_STATUS TapiClient::make_call(HDRV_LINE hdLine, HTAPI_CALL htCall, const std::string& destination,
                                  const TapiCallParams* params, HDRV_CALL* hdCall)
{
    std::vector<uint8_t> b(sizeof(NDIS_TAPI_MAKE_CALL) + destination.size() + 1, 0);
    auto* r = reinterpret_cast<NDIS_TAPI_MAKE_CALL*>(b.data());
    r->ulRequestID = request_id_++;
    r->hdLine = hdLine;
    r->htCall = htCall;
    r->ulDestAddressSize = ULONG(destination.size() + 1);
    r->ulDestAddressOffset = sizeof(NDIS_TAPI_MAKE_CALL);
    std::memcpy(b.data() + sizeof(NDIS_TAPI_MAKE_CALL), destination.c_str(), destination.size() + 1);
    r->LineCallParams.ulTotalSize = sizeof(LINE_CALL_PARAMS);
    r->LineCallParams.ulAddressMode = LINEADDRESSMODE_DIALABLEADDR;
    if (params == nullptr) {
        r->bUseDefaultLineCallParams = 1;
    } else {
        r->LineCallParams.ulBearerMode = params->bearer_mode;
        r->LineCallParams.ulMediaMode = params->media_mode;
        r->LineCallParams.ulMinRate = params->min_rate;
        r->LineCallParams.ulMaxRate = params->max_rate;
    }
    NDIS_STATUS s = query(OID_TAPI_MAKE_CALL, b.data(), ULONG(b.size()));
    if (s == NDIS_STATUS_SUCCESS && hdCall != nullptr) *hdCall = r->hdCall;
    return s;
}

NDIS_STATUS TapiClient::answer(HDRV_CALL hdCall)
{
    NDIS_TAPI_ANSWER r{};
    r.ulRequestID = request_id_++;
    r.hdCall = hdCall;
    return set(OID_TAPI_ANSWER, &r, sizeof r);
}

NDIS_STATUS TapiClient::drop(HDRV_CALL hdCall)
{
    NDIS_TAPI_DROP r{};
    r.ulRequestID = request_id_++;
    r.hdCall = hdCall;
    return set(OID_TAPI_DROP, &r, sizeof r);
}

NDIS_STATUS TapiClient::close_call(HDRV_CALL hdCall)
{
    NDIS_TAPI_CLOSE_CALL r{};
    r.ulRequestID = request_id_++;
    r.hdCall = hdCall;
    return set(OID_TAPI_CLOSE_CALL, &r, sizeof r);
}

NDIS_STATUS TapiClient::call_status(HDRV_CALL hdCall, LINE_CALL_STATUS* status)
{
    NDIS_TAPI_GET_CALL_STATUS r{};
    r.ulRequestID = request_id_++;
    r.hdCall = hdCall;
    r.LineCallStatus.ulTotalSize = sizeof(LINE_CALL_STATUS);
    NDIS_STATUS s = query(OID_TAPI_GET_CALL_STATUS, &r, sizeof r);
    if (status != nullptr) *status = r.LineCallStatus;
    return s;
}

NDIS_STATUS TapiClient::call_info(HDRV_CALL hdCall, LINE_CALL_INFO* info)
{
    NDIS_TAPI_GET_CALL_INFO r{};
    r.ulRequestID = request_id_++;
    r.hdCall = hdCall;
    r.LineCallInfo.ulTotalSize = sizeof(LINE_CALL_INFO);
    NDIS_STATUS s = query(OID_TAPI_GET_CALL_INFO, &r, sizeof r);
    if (info != nullptr) *info = r.LineCallInfo;
    return s;
}

NDIS_STATUS TapiClient::ndis_link(HDRV_CALL hdCall, NDIS_WAN_LINK_HANDLE* link)
{
    static const char kClass[] = "ndis";
    constexpr ULONG kValue = 9;  // the link handle, then "isdn" and NUL
    std::vector<uint8_t> b(sizeof(NDIS_TAPI_GET_ID) + kValue + sizeof kClass, 0);
    auto* r = reinterpret_cast<NDIS_TAPI_GET_ID*>(b.data());
    r->ulRequestID = request_id_++;
    r->hdCall = hdCall;
    r->ulSelect = LINECALLSELECT_CALL;
    r->ulDeviceClassSize = sizeof kClass;
    r->ulDeviceClassOffset = ULONG(sizeof(NDIS_TAPI_GET_ID) + kValue);
    std::memcpy(b.data() + r->ulDeviceClassOffset, kClass, sizeof kClass);
    r->DeviceID.ulTotalSize = sizeof(VAR_STRING) + kValue;
    NDIS_STATUS s = query(OID_TAPI_GET_ID, b.data(), ULONG(b.size()));
    if (s != NDIS_STATUS_SUCCESS) return s;
    if (r->DeviceID.ulStringSize < sizeof(ULONG)) return NDIS_STATUS_FAILURE;
    ULONG handle = 0;
    std::memcpy(&handle, b.data() + offsetof(NDIS_TAPI_GET_ID, DeviceID) + r->DeviceID.ulStringOffset, sizeof handle);
    if (link != nullptr) *link = handle;
    return s;
}

// ---- indications ----

std::vector<ULONG> TapiClient::call_states(HTAPI_CALL htCall) const
{
    std::vector<ULONG> s;
    for (const auto& e : events_)
        if (e.msg == LINE_CALLSTATE && e.htCall == htCall) s.push_back(e.param1);
    return s;
}

ULONG TapiClient::last_call_state_mode(HTAPI_CALL htCall) const
{
    ULONG mode = 0;
    for (const auto& e : events_)
        if (e.msg == LINE_CALLSTATE && e.htCall == htCall) mode = e.param2;
    return mode;
}

std::vector<ULONG> TapiClient::line_states(HTAPI_LINE htLine) const
{
    std::vector<ULONG> s;
    for (const auto& e : events_)
        if (e.msg == LINE_LINEDEVSTATE && e.htLine == htLine) s.push_back(e.param1);
    return s;
}

std::optional<TapiOfferedCall> TapiClient::take_offered(HTAPI_LINE htLine)
{
    for (auto it = offered_.begin(); it != offered_.end(); ++it) {
        if (it->htLine != htLine) continue;
        TapiOfferedCall c = *it;
        offered_.erase(it);
        return c;
    }
    return std::nullopt;
}

}  // namespace plat::ndis
