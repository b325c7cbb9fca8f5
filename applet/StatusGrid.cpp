#include "applet/StatusGrid.h"

#include <algorithm>

namespace grid {

namespace {

// First three pumps of each processor row, then the first of the run that follows.
struct PumpRow {
    int Head[3];
    int First;     // pump 3
    int RunFirst;  // pumps 4 to 11 run on from here
};
const PumpRow kPumpRows[kSockets][2] = {
    {{{1259, 1212, 1260}, 1285, 1286}, {{1261, 1213, 1262}, 1294, 1295}},
    {{{1263, 1214, 1264}, 1303, 1304}, {{1265, 1215, 1266}, 1312, 1313}},
    {{{1269, 1216, 1270}, 1321, 1326}, {{1271, 1217, 1272}, 1335, 1336}},
    {{{1275, 1218, 1276}, 1344, 1345}, {{1277, 1219, 1278}, 1353, 1354}},
};
const int kNoModule[kSockets] = {1323, 1322, 1324, 1325};

// Segment 0 of an accepted reply, kept inside the record.
bool ReplyWords(const BackdoorRequest& reply, CReplyData* out)
{
    if (reply.Status != 0)
        return false;
    uint64_t offset = reply.Segment[0].Offset, length = reply.Segment[0].Length;
    if (offset < kBackdoorHeaderSize || offset >= kBackdoorRequestSize)
        return true;  // accepted but nothing to read: an incomplete reply
    length = std::min<uint64_t>(length, kBackdoorRequestSize - offset);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&reply);
    out->Bytes.assign(bytes + offset, bytes + offset + length);
    return true;
}

}  // namespace

int ChannelControl(uint32_t n)
{
    if (n == 0 || n > 31)
        return 0;
    if (n >= 25)
        return static_cast<int>(1195 + n);
    return n % 2 == 1 ? static_cast<int>(1245 + (n - 1) / 2) : static_cast<int>(1199 + n / 2);
}

int PumpControl(uint32_t socket, uint32_t csm, uint32_t pump)
{
    if (socket >= kSockets || csm >= 2 || pump >= kPumps)
        return 0;
    const PumpRow& row = kPumpRows[socket][csm];
    if (pump < 3)
        return row.Head[pump];
    if (pump == 3)
        return row.First;
    return row.RunFirst + static_cast<int>(pump - 4);
}

int NoModuleControl(uint32_t socket) { return socket < kSockets ? kNoModule[socket] : 0; }

unsigned Layer1Image(uint32_t state) { return state == 9 ? kImageConnected : kImageOutOfService; }

unsigned Layer2Image(uint32_t state)
{
    switch (state) {
    case 2: return kImageEstablishing;
    case 3: return kImageDropping;
    case 4: return kImageConnected;
    default: return kImageOutOfService;
    }
}

unsigned ChannelImage(uint32_t protocol, uint32_t s)
{
    if (protocol == 0) {  // robbed bit
        if (s == 2 || s == 3)
            return kImageIdle;
        if ((s >= 4 && s <= 12) || (s >= 14 && s <= 16))
            return kImageEstablishing;
        if (s == 13 || s == 17 || s == 19 || s == 20)
            return kImageDropping;
        if (s == 18)
            return kImageConnected;
        if (s == 65535)
            return kImageNotPresent;
        return kImageOutOfService;
    }
    if (protocol >= 1 && protocol <= 5) {  // ISDN
        if (s == 0)
            return kImageIdle;
        if ((s >= 1 && s <= 4) || (s >= 6 && s <= 9))
            return kImageEstablishing;
        if (s == 10)
            return kImageConnected;
        if (s == 11 || s == 12 || s == 19)
            return kImageDropping;
        if (s == 254)
            return kImageDChannel;
        if (s == 255)
            return kImageNotPresent;
        return kImageOutOfService;
    }
    // A leased line or an unknown protocol has no channel calls to show.
    return kImageNotPresent;
}

unsigned PumpImage(uint32_t s)
{
    if (s >= 1 && s <= 3)
        return kImageIdle;
    if (s == 4 || s == 5)
        return kImageEstablishing;
    if (s == 6)
        return kImageConnected;
    if (s == 7 || s == 8)
        return kImageDropping;
    return kImageOutOfService;
}

uint32_t ModuleCsms(uint32_t type)
{
    if (type == 0 || type > 24)
        return 0;
    return ((type - 1) / 3) % 2 == 0 ? 1 : 2;
}

uint32_t ModulePumps(uint32_t type)
{
    if (type == 0 || type > 24)
        return 0;
    static const uint32_t kPerCsm[3] = {3, 6, 12};
    return kPerCsm[(type - 1) % 3];
}

void GridState::Reset(uint32_t socketsForLine)
{
    SignallingProtocol = kUnknown;
    Layer1 = Layer2 = kUnknown;
    std::fill(std::begin(Channels), std::end(Channels), kUnknown);
    for (auto& socket : Pumps)
        for (auto& csm : socket)
            std::fill(std::begin(csm), std::end(csm), kUnknown);
    Sockets = socketsForLine;
    for (uint32_t k = 0; k < kSockets; k++) {
        ModuleType[k] = 0;
        ModulePresent[k] = socketsForLine > k;
        ShownAbsent[k] = false;
    }
}

GridRefresh ReadPortStatus(const BackdoorRequest& reply, GridState& state)
{
    GridRefresh out;
    CReplyData data;
    if (!ReplyWords(reply, &data)) {
        out.Outcome = GridOutcome::Refused;
        return out;
    }
    CReplyReader r = data.Reader();
    if (r.WordsLeft() < kHeadWords) {
        out.Outcome = GridOutcome::Incomplete;
        return out;
    }
    out.Outcome = GridOutcome::Drawn;
    auto set = [&](int control, unsigned image) {
        if (control != 0)
            out.Images.push_back({control, image});
    };

    uint32_t protocol = 0, layer1 = 0, layer2 = 0;
    r.Word(&protocol);
    r.Word(&layer1);
    r.Word(&layer2);
    bool protocolChanged = protocol != state.SignallingProtocol;
    state.SignallingProtocol = protocol;
    if (layer1 != state.Layer1)
        set(kLayer1Control, Layer1Image(layer1));
    if (layer2 != state.Layer2)
        set(kLayer2Control, Layer2Image(layer2));
    state.Layer1 = layer1;
    state.Layer2 = layer2;

    // Channel 0 has no image; a new protocol changes what every channel state means.
    for (uint32_t ch = 0; ch < kChannels; ch++) {
        uint32_t s = 0;
        r.Word(&s);
        if (ch != 0 && (s != state.Channels[ch] || protocolChanged))
            set(ChannelControl(ch), ChannelImage(protocol, s));
        state.Channels[ch] = s;
    }

    // The sockets the board gives the line; those past the page's four are read over.
    // A socket whose words are missing, or of a type outside the table, has no module.
    bool known[kSockets] = {};
    for (uint32_t s = 0; s < state.Sockets; s++) {
        uint32_t type = 0;
        if (!r.Word(&type) || !r.Skip(1))
            break;
        uint32_t csms = ModuleCsms(type), pumps = ModulePumps(type);
        if (s < kSockets) {
            state.ModuleType[s] = type;
            known[s] = csms != 0;
        }
        for (uint32_t c = 0; c < csms; c++)
            for (uint32_t p = 0; p < pumps; p++) {
                uint32_t v = 0;
                if (!r.Word(&v))
                    break;
                if (s >= kSockets)
                    continue;
                if (state.ModulePresent[s] && v != state.Pumps[s][c][p])
                    set(PumpControl(s, c, p), PumpImage(v));
                state.Pumps[s][c][p] = v;
            }
    }

    for (uint32_t s = 0; s < kSockets; s++) {
        if (state.ModulePresent[s] && !known[s])
            state.ModulePresent[s] = false;
        if (state.ModulePresent[s] || state.ShownAbsent[s])
            continue;
        state.ShownAbsent[s] = true;
        out.ShowNoModule[s] = true;
    }
    return out;
}

}  // namespace grid
