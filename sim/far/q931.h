// Codecs of the D channel for the simulated far ends: LAPD frames (Q.921 address and
// control fields, modulo 128) and Q.931 messages with their information elements.
//
// The information elements are one table (kIeTable in q931.cpp): identifier, name, and
// the decode, encode and dump functions of each; a message is a row of kMessageTable
// listing the elements it may carry, the mandatory ones marked. Building, parsing and
// the event-log dump walk those tables; nobody else picks message bytes apart.
//
// Elements are encoded in ascending identifier order, single-octet elements (0xA1)
// included: a receiver that scans for an identifier may stop at the first larger one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim::lapd {

constexpr uint8_t kSapiCallControl = 0;
constexpr uint8_t kSapiManagement = 63;
constexpr uint8_t kTeiGroup = 127;
constexpr unsigned kModulus = 128;
constexpr size_t kMaxInfo = 260;  // N201

// Unnumbered frame types, the control octet with the P/F bit (0x10) removed.
enum class UType : uint8_t { Sabme = 0x6F, Dm = 0x0F, Ui = 0x03, Disc = 0x43, Ua = 0x63, Frmr = 0x87, Xid = 0xAF };
enum class SType : uint8_t { Rr = 0x01, Rnr = 0x05, Rej = 0x09 };

struct Frame {
    enum class Kind { I, S, U } kind = Kind::U;
    uint8_t sapi = 0;
    bool cr = false;  // the C/R bit as sent
    uint8_t tei = 0;
    uint8_t ns = 0, nr = 0;
    bool pf = false;
    SType s = SType::Rr;
    uint8_t u = 0;  // control octet without P/F; one of UType for a known frame
    std::vector<uint8_t> info;
    bool operator==(const Frame&) const = default;
};

// Parses address, control and information; on failure says why and returns nothing.
// S-frames must be exactly 4 octets; SABME, DISC, UA and DM carry no information.
std::optional<Frame> parse(std::span<const uint8_t> bytes, std::string* why = nullptr);
std::vector<uint8_t> build(const Frame& f);
std::vector<uint8_t> build_i(uint8_t sapi, bool cr, uint8_t tei, uint8_t ns, uint8_t nr, bool p,
                             std::span<const uint8_t> info);
std::vector<uint8_t> build_s(uint8_t sapi, bool cr, uint8_t tei, SType type, uint8_t nr, bool pf);
std::vector<uint8_t> build_u(uint8_t sapi, bool cr, uint8_t tei, UType type, bool pf,
                             std::span<const uint8_t> info = {});
std::string describe(const Frame& f);  // "SABME P", "I N(S)=3 N(R)=5", ...

}  // namespace sim::lapd

namespace sim::q931 {

constexpr uint8_t kDiscriminator = 0x08;

enum class MsgType : uint8_t {
    Alerting = 0x01,
    CallProceeding = 0x02,
    Progress = 0x03,
    Setup = 0x05,
    Connect = 0x07,
    SetupAcknowledge = 0x0D,
    ConnectAcknowledge = 0x0F,
    Disconnect = 0x45,
    Restart = 0x46,
    Release = 0x4D,
    RestartAcknowledge = 0x4E,
    ReleaseComplete = 0x5A,
    StatusEnquiry = 0x75,
    Information = 0x7B,
    Status = 0x7D,
};

namespace ie {
constexpr uint8_t kBearer = 0x04;
constexpr uint8_t kCause = 0x08;
constexpr uint8_t kCallState = 0x14;
constexpr uint8_t kChannelId = 0x18;
constexpr uint8_t kProgress = 0x1E;
constexpr uint8_t kDisplay = 0x28;
constexpr uint8_t kCalling = 0x6C;
constexpr uint8_t kCalled = 0x70;
constexpr uint8_t kRestart = 0x79;
constexpr uint8_t kSendingComplete = 0xA1;
}  // namespace ie

// Cause values used by name.
namespace cause {
constexpr uint8_t kNormalClearing = 16;
constexpr uint8_t kUserBusy = 17;
constexpr uint8_t kNoAnswer = 19;
constexpr uint8_t kCallRejected = 21;
constexpr uint8_t kNoCircuit = 34;
constexpr uint8_t kChannelUnavailable = 44;
constexpr uint8_t kStatusEnquiryResponse = 30;
constexpr uint8_t kInvalidCallReference = 81;
constexpr uint8_t kMandatoryMissing = 96;
constexpr uint8_t kMessageTypeUnknown = 97;
constexpr uint8_t kInvalidContents = 100;
constexpr uint8_t kNotCompatibleWithState = 101;
constexpr uint8_t kTimerRecovery = 102;
}  // namespace cause

struct Bearer {
    uint8_t capability = 0x00;         // 0 speech, 8 unrestricted, 9 restricted, 0x10 3.1 kHz audio
    uint8_t mode_rate = 0x10;          // octet 4 without its extension bit: circuit mode, 64 kbit/s
    std::optional<uint8_t> layer1;     // user-information layer-1 protocol (1 V.110, 2 mu-law, 3 A-law)
    std::optional<uint8_t> user_rate;  // octet 5a (rate adaption), e.g. 0x0F for 56 kbit/s
    bool operator==(const Bearer&) const = default;

    static Bearer speech(bool alaw) { return {0x00, 0x10, uint8_t(alaw ? 3 : 2), std::nullopt}; }
    static Bearer unrestricted64() { return {0x08, 0x10, std::nullopt, std::nullopt}; }
    static Bearer rate56() { return {0x09, 0x10, uint8_t(1), uint8_t(0x0F)}; }
};

struct ChannelId {
    bool exclusive = true;
    bool d_channel = false;
    std::optional<uint8_t> channel;  // none: any channel
    bool operator==(const ChannelId&) const = default;
};

struct PartyNumber {
    uint8_t type_plan = 0x00;             // octet 3 without its extension bit: type << 4 | plan
    std::optional<uint8_t> presentation;  // octet 3a without its extension bit
    std::string digits;
    bool operator==(const PartyNumber&) const = default;
};

struct Cause {
    uint8_t location = 0x02;  // octet 3 without its extension bit: coding standard << 5 | location
    uint8_t value = 0;
    std::vector<uint8_t> diagnostics;
    bool operator==(const Cause&) const = default;
};

struct Progress {
    uint8_t location = 0x02;
    uint8_t description = 8;  // 1 not end-to-end ISDN, 2 destination non-ISDN, 8 in-band information
    bool operator==(const Progress&) const = default;
};

// An element not in the table (or outside code set 0), kept for the log.
struct RawIe {
    uint8_t codeset = 0;
    uint8_t id = 0;
    std::vector<uint8_t> body;
    bool operator==(const RawIe&) const = default;
};

struct Message {
    uint8_t discriminator = kDiscriminator;
    uint8_t cr_length = 2;  // PRI: two octets
    uint16_t cr = 0;
    bool cr_flag = false;   // set in messages from the side that did not allocate the reference
    uint8_t type = 0;

    bool sending_complete = false;
    std::optional<Bearer> bearer;
    std::optional<Cause> cause;
    std::optional<uint8_t> call_state;
    std::optional<ChannelId> channel;
    std::optional<Progress> progress;
    std::optional<std::string> display;
    std::optional<PartyNumber> calling;
    std::optional<PartyNumber> called;
    std::optional<uint8_t> restart_class;  // 0 indicated channels, 6 single interface, 7 all interfaces
    std::vector<RawIe> others;             // decoded only; never encoded

    bool global() const { return cr_length > 0 && cr == 0; }
    bool operator==(const Message&) const = default;
};

Message make(MsgType type, uint16_t cr, bool cr_flag);

struct IeRow {
    uint8_t id;
    const char* name;
    bool (*present)(const Message&);
    bool (*decode)(std::span<const uint8_t> body, Message& m);  // false: invalid contents
    void (*encode)(const Message& m, std::vector<uint8_t>& out);  // id, length and contents
    std::string (*dump)(const Message& m);
};
std::span<const IeRow> ie_table();
const IeRow* find_ie(uint8_t id);

struct MessageRow {
    uint8_t type;
    const char* name;
    struct Allowed {
        uint8_t id;
        bool mandatory;
    };
    std::vector<Allowed> ies;
};
std::span<const MessageRow> message_table();
const MessageRow* find_message(uint8_t type);
std::string message_name(uint8_t type);

struct Decoded {
    enum class Fatal { None, TooShort, BadDiscriminator, BadCallReference };
    Fatal fatal = Fatal::None;
    Message msg;
    bool known_type = false;
    std::vector<uint8_t> missing;     // mandatory elements absent
    std::vector<uint8_t> invalid;     // elements of bad contents or running past the end
    std::vector<uint8_t> unexpected;  // known elements the message type does not carry
    bool ok() const { return fatal == Fatal::None; }
};
Decoded decode(std::span<const uint8_t> bytes);
std::vector<uint8_t> encode(const Message& m);
// The table's verdict on a message: mandatory elements missing and elements not allowed.
struct Check {
    std::vector<uint8_t> missing, unexpected;
    bool ok() const { return missing.empty() && unexpected.empty(); }
};
Check check(const Message& m);
std::string dump(const Message& m);  // "SETUP cr=0x0001/0 bearer=... channel=exclusive 3 ..."

}  // namespace sim::q931
