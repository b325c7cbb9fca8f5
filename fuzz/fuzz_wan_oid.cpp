// General and WAN OIDs as NDIS hands them to the miniport: the default board, brought
// up once, takes any of them (or any other OID) through query or set with a buffer of
// any length and content. Whatever the request says, the miniport reads and writes
// only inside the buffer it was given (allocated to its exact length), answers a
// success with no more written or read than the buffer holds, refuses a buffer as
// short only when it needs more than it was given (or, setting the WAN link
// information, other than its record), and the platform sees no misuse.
//
// Input: records of
//   op   bits 0-5: which OID of the table (a value past it: the next 4 octets are the
//        OID); bit 6: set (else query); bit 7: the first word is made the handle of
//        Link sel (the WAN link requests begin with it)
//   sel
//   length (2 octets, little-endian, at most 2,048), then the buffer's octets (what
//        the input lacks is zero)
#include <cstring>
#include <iterator>
#include <memory>

#include "driver/Wmp_nt40/Wmp_wspi.h"
#include "fuzz/fuzz_board.h"

namespace {

constexpr const char* kTarget = "fuzz_wan_oid";
fuzz::Board* g_board;

const NDIS_OID kOids[] = {
    OID_GEN_SUPPORTED_LIST, OID_GEN_HARDWARE_STATUS, OID_GEN_MEDIA_SUPPORTED, OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD, OID_GEN_MAXIMUM_FRAME_SIZE, OID_GEN_LINK_SPEED, OID_GEN_TRANSMIT_BUFFER_SPACE,
    OID_GEN_RECEIVE_BUFFER_SPACE, OID_GEN_TRANSMIT_BLOCK_SIZE, OID_GEN_RECEIVE_BLOCK_SIZE, OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION, OID_GEN_CURRENT_PACKET_FILTER, OID_GEN_CURRENT_LOOKAHEAD, OID_GEN_DRIVER_VERSION,
    OID_GEN_MAXIMUM_TOTAL_SIZE, OID_GEN_PROTOCOL_OPTIONS, OID_GEN_MAC_OPTIONS, OID_WAN_PERMANENT_ADDRESS,
    OID_WAN_CURRENT_ADDRESS, OID_WAN_MEDIUM_SUBTYPE, OID_WAN_GET_INFO, OID_WAN_SET_LINK_INFO,
    OID_WAN_GET_LINK_INFO,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (g_board == nullptr) g_board = new fuzz::Board(kTarget, rig::kDefaultConfig, nullptr, plat::ms(3000));
    fuzz::Board& b = *g_board;
    fuzz::Input in(data, size);
    while (in.more()) {
        uint8_t op = in.u8();
        uint8_t sel = in.u8();
        size_t which = op & 0x3F;
        NDIS_OID oid = which < std::size(kOids) ? kOids[which] : in.u32();
        size_t length = in.u16() % 2049;
        std::vector<uint8_t> given = in.bytes(length);
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[length]);  // its exact length: overruns show
        std::memset(buffer.get(), 0, length);
        if (!given.empty()) std::memcpy(buffer.get(), given.data(), given.size());
        if ((op & 0x80) && length >= 4) {
            ULONG h = b.link(sel)->LinkHandle;
            std::memcpy(buffer.get(), &h, 4);
        }
        ULONG done = 0, needed = 0;
        NDIS_STATUS st = (op & 0x40) ? b.rig.host.ndis().set(b.na, oid, buffer.get(), ULONG(length), &done, &needed)
                                     : b.rig.host.ndis().query(b.na, oid, buffer.get(), ULONG(length), &done, &needed);
        if (st == NDIS_STATUS_PENDING) fuzz::Fail(kTarget, "a request left pending");
        // The WAN link settings take exactly their record, no more.
        if (st == NDIS_STATUS_INVALID_LENGTH && needed <= length && oid != OID_WAN_SET_LINK_INFO)
            fuzz::Fail(kTarget, "a buffer refused as short while it holds what was asked for");
        if (st == NDIS_STATUS_SUCCESS && done > length) fuzz::Fail(kTarget, "more written or read than the buffer holds");
        b.check(kTarget);
    }
    b.rig.host.run_for(plat::ms(10));
    b.check(kTarget);
    return 0;
}
