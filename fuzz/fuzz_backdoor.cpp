// Management request records from outside into a running adapter: the default board,
// brought up once, takes every input as a record through the vendor OID of the
// miniport's query entry, exactly as the applet's request arrives. Whatever the record
// says, the service reads and writes only inside the buffer it was given (the buffer is
// allocated to its exact size, so the sanitizer sees any overrun), the query succeeds,
// and the platform sees no misuse (lock held across an upcall, a stray register).
//
// Input: octet 0 flags: bit 0 keep the signature as given (else it is made right),
// bit 1 keep BufferLength as given (else 16,468), bit 2 the NDIS buffer is only as long
// as the input (else a whole record), bits 3-4 how many 10 ms adapter ticks run after
// the request. Then the record's bytes from its start: header, then the data area.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/RSS_DVSP.h"
#include "driver/Wmp_nt40/Wmp_wspi.h"
#include "tools/harness/rig.h"

namespace {

rig::Rig* g_rig;
plat::ndis::Adapter* g_adapter;

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz_backdoor: %s\n", what.c_str());
    std::abort();
}

void BringUp()
{
    g_rig = new rig::Rig();
    std::string e;
    if (!g_rig->load_config(rig::kDefaultConfig, &e)) Fail("config: " + e);
    sim::Card& card = g_rig->add_board_for(1, 4);
    g_rig->attach_far_ends(card, 1);
    if (g_rig->load_driver() != 0) Fail("driver entry");
    g_adapter = g_rig->initialize(1);
    if (g_adapter == nullptr) Fail("initialize");
    g_rig->host.run_for(plat::ms(3000));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (g_rig == nullptr) BringUp();
    if (size < 1) return 0;
    uint8_t flags = data[0];
    data++;
    size--;

    size_t length = (flags & 4) ? size : BACKDOOR_REQUEST_SIZE;
    if (length > BACKDOOR_REQUEST_SIZE) length = BACKDOOR_REQUEST_SIZE;
    std::vector<uint8_t> record(BACKDOOR_REQUEST_SIZE, 0);
    std::memcpy(record.data(), data, size < record.size() ? size : record.size());
    if ((flags & 1) == 0) {
        ULONG s = BACKDOOR_SIGNATURE;
        std::memcpy(record.data(), &s, 4);
    }
    if ((flags & 2) == 0) {
        ULONG n = BACKDOOR_REQUEST_SIZE;
        std::memcpy(record.data() + offsetof(BACKDOOR_REQUEST_HEADER, BufferLength), &n, 4);
    }
    // The driver halts only through NDIS: a halt request is refused, an adapter reset
    // is served. Both run like any other.
    uint8_t* buffer = length == 0 ? nullptr : new uint8_t[length];
    if (buffer != nullptr) std::memcpy(buffer, record.data(), length);
    ULONG written = 0, needed = 0;
    NDIS_STATUS st = g_rig->host.ndis().query(g_adapter, OID_BACKDOOR_REQUEST, buffer, ULONG(length), &written, &needed);
    delete[] buffer;
    if (st != NDIS_STATUS_SUCCESS) Fail("the vendor OID failed");
    if (written != length || needed != length) Fail("bytes written or needed is not the buffer length");
    unsigned ticks = (flags >> 3) & 3;
    if (ticks != 0) g_rig->host.run_for(plat::ms(10 * ticks));
    if (!g_rig->host.violations().empty()) Fail("platform misuse: " + g_rig->host.violations().front());
    return 0;
}
