// The client side of the NDIS TAPI wrapper: what NDISWAN's TAPI layer asks of a WAN
// miniport that is a TAPI provider (OID_TAPI_* through the miniport's query and set
// entry points) and what it takes from the provider's NDIS_STATUS_TAPI_INDICATION
// events: line and call states, and new calls, which it answers with its own call
// handle as TAPI does. One client serves one adapter; TAPI line functions build on it.
//
// Requests go through NdisState::query and NdisState::set exactly as NDIS hands them to
// the miniport; every answer is the provider's NDIS status. Events are recorded in the
// order the provider indicated them. A client chains itself onto NdisState::on_status
// for its life; clients of several adapters are destroyed in the reverse order of
// their creation.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/ndis/ndis_host.h"
#include "platform/ndis/ndistapi.h"

namespace plat::ndis {

struct TapiEvent {
    HTAPI_LINE htLine = 0;
    HTAPI_CALL htCall = 0;
    ULONG msg = 0;  // LINE_CALLSTATE, LINE_LINEDEVSTATE, LINE_NEWCALL
    ULONG param1 = 0, param2 = 0, param3 = 0;
};

// The part of LINE_CALL_PARAMS a caller chooses for a call.
struct TapiCallParams {
    ULONG bearer_mode = LINEBEARERMODE_DATA;
    ULONG media_mode = LINEMEDIAMODE_DIGITALDATA;
    ULONG min_rate = 64000;
    ULONG max_rate = 64000;
};

// A call the provider offered with LINE_NEWCALL: the provider's handle of it and the
// handle this client gave it.
struct TapiOfferedCall {
    HTAPI_LINE htLine = 0;
    HDRV_CALL hdCall = 0;
    HTAPI_CALL htCall = 0;
};

class TapiClient {
public:
    TapiClient(NdisState& ndis, Adapter* adapter);
    ~TapiClient();
    TapiClient(const TapiClient&) = delete;
    TapiClient& operator=(const TapiClient&) = delete;

    // Provider.
    NDIS_STATUS initialize(ULONG device_id_base);
    NDIS_STATUS shutdown();
    ULONG device_id_base() const { return device_id_base_; }
    ULONG num_lines() const { return num_lines_; }

    // Lines, by device ID (device_id_base() + n) or by the provider's line handle.
    NDIS_STATUS dev_caps(ULONG device_id, LINE_DEV_CAPS* caps, std::string* name);
    NDIS_STATUS line_name(ULONG device_id, std::string* name) { return dev_caps(device_id, nullptr, name); }
    // The LINE_DEV_CAPS with its variable part as the provider fills it into total_size
    // bytes (at least sizeof(LINE_DEV_CAPS)); caps gets exactly total_size bytes.
    NDIS_STATUS dev_caps_raw(ULONG device_id, ULONG total_size, std::vector<uint8_t>* caps);
    NDIS_STATUS line_dev_status(HDRV_LINE hdLine, LINE_DEV_STATUS* status);
    // The TAPI device ID of an open line ("tapi/line" device class).
    NDIS_STATUS line_device_id(HDRV_LINE hdLine, ULONG* device_id);
    NDIS_STATUS open(ULONG device_id, HTAPI_LINE htLine, HDRV_LINE* hdLine);
    NDIS_STATUS close(HDRV_LINE hdLine);
    NDIS_STATUS set_status_messages(HDRV_LINE hdLine, ULONG line_states, ULONG address_states);
    NDIS_STATUS dev_specific(HDRV_LINE hdLine, void* params, ULONG size);

    // Calls. make_call with params nullptr uses the line's default call parameters.
    NDIS_STATUS make_call(HDRV_LINE hdLine, HTAPI_CALL htCall, const std::string& destination,
                          const TapiCallParams* params, HDRV_CALL* hdCall);
    NDIS_STATUS answer(HDRV_CALL hdCall);
    NDIS_STATUS drop(HDRV_CALL hdCall);
    NDIS_STATUS close_call(HDRV_CALL hdCall);
    NDIS_STATUS call_status(HDRV_CALL hdCall, LINE_CALL_STATUS* status);
    NDIS_STATUS call_info(HDRV_CALL hdCall, LINE_CALL_INFO* info);
    // The NDIS WAN link handle of a call ("ndis" device class), for NDISWAN's sends.
    NDIS_STATUS ndis_link(HDRV_CALL hdCall, NDIS_WAN_LINK_HANDLE* link);

    // Indications.
    const std::vector<TapiEvent>& events() const { return events_; }
    void clear_events() { events_.clear(); }
    // The LINE_CALLSTATE states indicated for a TAPI call handle, in order.
    std::vector<ULONG> call_states(HTAPI_CALL htCall) const;
    // The mode that came with the last LINE_CALLSTATE of the call (0 when none).
    ULONG last_call_state_mode(HTAPI_CALL htCall) const;
    // The LINE_LINEDEVSTATE states indicated for a line, in order.
    std::vector<ULONG> line_states(HTAPI_LINE htLine) const;
    // Offered calls not yet taken, oldest first; take_offered removes and answers one.
    std::optional<TapiOfferedCall> take_offered(HTAPI_LINE htLine);
    // Called after each event is recorded.
    std::function<void(const TapiEvent&)> on_event;
    // The TAPI call handle given to the next offered call.
    HTAPI_CALL next_call_handle = 0x54C00001;

private:
    NDIS_STATUS query(NDIS_OID oid, void* buffer, ULONG length);
    NDIS_STATUS set(NDIS_OID oid, void* buffer, ULONG length);
    NDIS_STATUS get_id(HDRV_LINE hdLine, HDRV_CALL hdCall, ULONG select, const char* device_class, ULONG value_size,
                       std::vector<uint8_t>* value);
    void indicated(Adapter& adapter, NDIS_STATUS status, void* buffer, UINT size);

    NdisState& ndis_;
    Adapter* adapter_;
    std::function<void(Adapter&, NDIS_STATUS, void*, UINT)> previous_on_status_;
    ULONG request_id_ = 1;
    ULONG device_id_base_ = 0;
    ULONG num_lines_ = 0;
    std::vector<TapiEvent> events_;
    std::vector<TapiOfferedCall> offered_;
};

}  // namespace plat::ndis
