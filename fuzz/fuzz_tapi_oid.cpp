// TAPI requests as NDISWAN's TAPI layer hands them to the provider: the default board
// with its ISDN network at the far end, brought up once with the provider initialised,
// takes any OID_TAPI_* through query or set with a buffer of any length and content.
// Whatever a request says, the provider reads and writes only inside the buffer it was
// given (allocated to its exact length), answers a success with no more written than
// the buffer holds, refuses a buffer as short only when it needs more than it was
// given, and the platform sees no misuse. Calls the requests place reach the
// far end and are served on the virtual clock between requests; the far end also
// offers calls of its own and clears calls, so requests meet offered calls too.
//
// Input: records of
//   op   bits 0-5: which OID_TAPI_* (0-33), or a step of the far end on line 0: 34-49
//        offer a data call (bit 6: at 56 kbit/s) on channel sel mod 23 + 1 to directory
//        number sel mod 23; 50-61 clear its sel-th call with cause sel; 62-63 restart
//        channel sel mod 23 + 1 (a step has only ms after sel); bit 6: set (else query);
//        bit 7: the word after ulRequestID is made a known handle
//   sel  with bit 7 of op: bit 7 a device ID (base + the rest mod the lines), else the
//        handle of Link sel
//   length (2 octets, little-endian, at most 4,096), then the buffer's octets (what
//        the input lacks is zero)
//   ms   virtual time run after the request (mod 64)
#include <cstring>
#include <memory>

#include "fuzz/fuzz_board.h"
#include "platform/ndis/tapi_client.h"

namespace {

constexpr const char* kTarget = "fuzz_tapi_oid";
constexpr ULONG kDeviceIdBase = 10;
fuzz::Board* g_board;
plat::ndis::TapiClient* g_tapi;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (g_board == nullptr) {
        g_board = new fuzz::Board(kTarget, rig::kDefaultConfig, nullptr, plat::ms(3000));
        g_tapi = new plat::ndis::TapiClient(g_board->rig.host.ndis(), g_board->na);
        if (g_tapi->initialize(kDeviceIdBase) != NDIS_STATUS_SUCCESS) fuzz::Fail(kTarget, "provider initialise");
    }
    fuzz::Board& b = *g_board;
    fuzz::Input in(data, size);
    while (in.more()) {
        uint8_t op = in.u8();
        uint8_t sel = in.u8();
        const unsigned oids = OID_TAPI_LAST - OID_TAPI_FIRST + 1;
        if ((op & 0x3F) >= oids) {
            sim::IsdnNetworkSide* net = b.far.isdn[0];
            if (net == nullptr) fuzz::Fail(kTarget, "no network on line 0");
            unsigned step = (op & 0x3F) - oids;
            if (step < 16) {
                char called[16];
                std::snprintf(called, sizeof called, "55510%02u", unsigned(sel % 23));
                net->offer_call(sel % 23 + 1, called, "2125550000",
                                (op & 0x40) ? sim::q931::Bearer::rate56() : sim::q931::Bearer::unrestricted64());
            } else if (step < 28) {
                auto calls = net->calls();
                if (!calls.empty()) net->clear_call(calls[sel % calls.size()].key, sel & 0x7F);
            } else {
                net->restart(sel % 23 + 1);
            }
            b.rig.host.run_for(plat::ms(in.u8() % 64));
            b.check(kTarget);
            continue;
        }
        NDIS_OID oid = OID_TAPI_FIRST + (op & 0x3F);
        size_t length = in.u16() % 4097;
        std::vector<uint8_t> given = in.bytes(length);
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[length]);  // its exact length: overruns show
        std::memset(buffer.get(), 0, length);
        if (!given.empty()) std::memcpy(buffer.get(), given.data(), given.size());
        if ((op & 0x80) && length >= 8) {
            ULONG lines = g_tapi->num_lines() ? g_tapi->num_lines() : 1;
            ULONG h = (sel & 0x80) ? kDeviceIdBase + (sel & 0x7F) % lines : b.link(sel)->LinkHandle;
            std::memcpy(buffer.get() + 4, &h, 4);
        }
        ULONG done = 0, needed = 0;
        NDIS_STATUS st = (op & 0x40) ? b.rig.host.ndis().set(b.na, oid, buffer.get(), ULONG(length), &done, &needed)
                                     : b.rig.host.ndis().query(b.na, oid, buffer.get(), ULONG(length), &done, &needed);
        if (st == NDIS_STATUS_PENDING) fuzz::Fail(kTarget, "a request left pending");
        if (st == NDIS_STATUS_INVALID_LENGTH && needed <= length)
            fuzz::Fail(kTarget, "a buffer refused as short while it holds what was asked for");
        if (st == NDIS_STATUS_SUCCESS && done > length) fuzz::Fail(kTarget, "more written or read than the buffer holds");
        b.rig.host.run_for(plat::ms(in.u8() % 64));
        b.check(kTarget);
    }
    return 0;
}
