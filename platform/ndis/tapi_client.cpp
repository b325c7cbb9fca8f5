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

NDIS_STATUS TapiClient::dev_caps_raw(ULONG device_id, ULONG total_size, std::vector<uint8_t>* caps)
{
    constexpr size_t kAt = offsetof(NDIS_TAPI_GET_DEV_CAPS, LineDevCaps);
    if (total_size < sizeof(LINE_DEV_CAPS)) return NDIS_STATUS_INVALID_LENGTH;
    std::vector<uint8_t> b(kAt + total_size, 0);
    auto* r = reinterpret_cast<NDIS_TAPI_GET_DEV_CAPS*>(b.data());
    r->ulRequestID = request_id_++;
    r->ulDeviceID = device_id;
    r->LineDevCaps.ulTotalSize = total_size;
    NDIS_STATUS s = query(OID_TAPI_GET_DEV_CAPS, b.data(), ULONG(b.size()));
    if (s == NDIS_STATUS_SUCCESS) caps->assign(b.begin() + long(kAt), b.end());
    return s;
}

NDIS_STATUS TapiClient::dev_caps(ULONG device_id, LINE_DEV_CAPS* caps, std::string* name)
{
    std::vector<uint8_t> b;
    NDIS_STATUS s = dev_caps_raw(device_id, 400 - offsetof(NDIS_TAPI_GET_DEV_CAPS, LineDevCaps), &b);
    if (s != NDIS_STATUS_SUCCESS) return s;
    LINE_DEV_CAPS c;
    std::memcpy(&c, b.data(), sizeof c);
    if (caps != nullptr) *caps = c;
    if (name == nullptr) return s;
    name->clear();
    size_t at = size_t(c.ulLineNameOffset);
    if (c.ulLineNameSize == 0 || c.ulLineNameOffset == 0 || at + c.ulLineNameSize > b.size()) return s;
    const char* text = reinterpret_cast<const char*>(b.data() + at);
    name->assign(text, strnlen(text, c.ulLineNameSize));
    return s;
}

NDIS_STATUS TapiClient::line_dev_status(HDRV_LINE hdLine, LINE_DEV_STATUS* status)
{
    NDIS_TAPI_GET_LINE_DEV_STATUS r{};
    r.ulRequestID = request_id_++;
    r.hdLine = hdLine;
    r.LineDevStatus.ulTotalSize = sizeof(LINE_DEV_STATUS);
    NDIS_STATUS s = query(OID_TAPI_GET_LINE_DEV_STATUS, &r, sizeof r);
    if (status != nullptr) *status = r.LineDevStatus;
    return s;
}

NDIS_STATUS TapiClient::get_id(HDRV_LINE hdLine, HDRV_CALL hdCall, ULONG select, const char* device_class,
                               ULONG value_size, std::vector<uint8_t>* value)
{
    const size_t class_size = std::strlen(device_class) + 1;
    std::vector<uint8_t> b(sizeof(NDIS_TAPI_GET_ID) + value_size + class_size, 0);
    auto* r = reinterpret_cast<NDIS_TAPI_GET_ID*>(b.data());
    r->ulRequestID = request_id_++;
    r->hdLine = hdLine;
    r->hdCall = hdCall;
    r->ulSelect = select;
    r->ulDeviceClassSize = ULONG(class_size);
    r->ulDeviceClassOffset = ULONG(sizeof(NDIS_TAPI_GET_ID) + value_size);
    std::memcpy(b.data() + r->ulDeviceClassOffset, device_class, class_size);
    r->DeviceID.ulTotalSize = ULONG(sizeof(VAR_STRING) + value_size);
    NDIS_STATUS s = query(OID_TAPI_GET_ID, b.data(), ULONG(b.size()));
    if (s != NDIS_STATUS_SUCCESS) return s;
    const VAR_STRING& v = r->DeviceID;
    const size_t at = offsetof(NDIS_TAPI_GET_ID, DeviceID) + size_t(v.ulStringOffset);
    if (v.ulStringSize == 0 || v.ulStringSize > value_size || at + v.ulStringSize > b.size()) return NDIS_STATUS_FAILURE;
    value->assign(b.begin() + long(at), b.begin() + long(at + v.ulStringSize));
    return s;
}

NDIS_STATUS TapiClient::line_device_id(HDRV_LINE hdLine, ULONG* device_id)
{
    std::vector<uint8_t> v;
    NDIS_STATUS s = get_id(hdLine, 0, LINECALLSELECT_LINE, "tapi/line", 4, &v);
    if (s != NDIS_STATUS_SUCCESS) return s;
    if (v.size() < 4) return NDIS_STATUS_FAILURE;
    std::memcpy(device_id, v.data(), 4);
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
    if (size != 0) std::memcpy(b.data() + offsetof(NDIS_TAPI_DEV_SPECIFIC, Params), params, size);
    NDIS_STATUS s = query(OID_TAPI_DEV_SPECIFIC, b.data(), ULONG(b.size()));
    if (size != 0) std::memcpy(params, b.data() + offsetof(NDIS_TAPI_DEV_SPECIFIC, Params), size);
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
    std::vector<uint8_t> v;  // the link handle, then "isdn" and NUL
    NDIS_STATUS s = get_id(0, hdCall, LINECALLSELECT_CALL, "ndis", 9, &v);
    if (s != NDIS_STATUS_SUCCESS) return s;
    if (v.size() < sizeof(ULONG)) return NDIS_STATUS_FAILURE;
    ULONG handle = 0;
    std::memcpy(&handle, v.data(), sizeof handle);
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
