// TAPI requests as NDISWAN's TAPI layer hands them to the provider: the default board
// with its ISDN network at the far end, brought up once with the provider initialised,
// takes any OID_TAPI_* through query or set with a buffer of any length and content.
// Whatever a request says, the provider reads and writes only inside the buffer it was
// given (allocated to its exact length), answers a success with no more written than
// the buffer holds, and the platform sees no misuse. Calls the requests place reach the
// far end and are served on the virtual clock between requests.
//
// Input: records of
//   op   bits 0-5: which OID_TAPI_* (mod 34); bit 6: set (else query);
//        bit 7: the word after ulRequestID is made a known handle
//   sel  with bit 7 of op: bit 7 a device ID (base + sel mod the lines), else the
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
        NDIS_OID oid = OID_TAPI_FIRST + (op & 0x3F) % (OID_TAPI_LAST - OID_TAPI_FIRST + 1);
        size_t length = in.u16() % 4097;
        std::vector<uint8_t> given = in.bytes(length);
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[length]);  // its exact length: overruns show
        std::memset(buffer.get(), 0, length);
        if (!given.empty()) std::memcpy(buffer.get(), given.data(), given.size());
        if ((op & 0x80) && length >= 8) {
            ULONG lines = g_tapi->num_lines() ? g_tapi->num_lines() : 1;
            ULONG h = (sel & 0x80) ? kDeviceIdBase + sel % lines : b.link(sel)->LinkHandle;
            std::memcpy(buffer.get() + 4, &h, 4);
        }
        ULONG done = 0, needed = 0;
        NDIS_STATUS st = (op & 0x40) ? b.rig.host.ndis().set(b.na, oid, buffer.get(), ULONG(length), &done, &needed)
                                     : b.rig.host.ndis().query(b.na, oid, buffer.get(), ULONG(length), &done, &needed);
        if (st == NDIS_STATUS_PENDING) fuzz::Fail(kTarget, "a request left pending");
        if (st == NDIS_STATUS_SUCCESS && done > length) fuzz::Fail(kTarget, "more written or read than the buffer holds");
        b.rig.host.run_for(plat::ms(in.u8() % 64));
        b.check(kTarget);
    }
    return 0;
}
