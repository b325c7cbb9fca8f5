// Adapter parameter reading: defaults, ranges, text conversion, key names, reading
// order and the failure paths. Every case compares the whole record with the one
// expected, so a value landing in the wrong field or index shows as well as a wrong value.
#include "driver/Wmp_nt40/Wmp_params.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/host/host.h"

namespace {

using plat::reg::Value;

const std::string kParamsKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters";

constexpr uint32_t kMissingParameter = 0xC0001393;
constexpr uint32_t kOutOfResources = 0xC0001389;

// A field of the record, as bytes.
struct Field {
    size_t offset;
    size_t size;
};
#define FIELD(m) Field{offsetof(Adapter, m), sizeof(std::declval<Adapter&>().m)}

// A registry value and what it must leave in one field; the rest of the record must
// stay as expected. expect is the field's leading bytes (the rest of it zero).
struct Case {
    std::string key;
    Value value;
    Field field;
    std::string expect;
};

std::string Bytes(uint32_t v, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
}

Case Int(std::string key, uint32_t value, Field field, uint32_t expect)
{
    return {std::move(key), Value::Dword(value), field, Bytes(expect, field.size)};
}

Case Str(std::string key, std::string value, Field field, std::string expect)
{
    return {std::move(key), Value::Sz(std::move(value)), field, std::move(expect)};
}

std::string DirectoryEntry(const std::string& digits)
{
    return std::string(1, static_cast<char>(digits.size())) + digits;
}

std::string ModemEntry(const std::string& text)
{
    std::string body = "AT" + text + "\r";
    return std::string(1, static_cast<char>(body.size())) + body;
}

const std::string kDefaultModemEntry = ModemEntry("S95=4\\N3%C3");

void Put(Adapter& a, Field f, const std::string& bytes)
{
    ASSERT_LE(bytes.size(), f.size);
    auto* p = reinterpret_cast<uint8_t*>(&a) + f.offset;
    std::memset(p, 0, f.size);
    std::memcpy(p, bytes.data(), bytes.size());
}

bool Holds(const Adapter& a, Field f, const std::string& bytes)
{
    return std::memcmp(reinterpret_cast<const uint8_t*>(&a) + f.offset, bytes.data(), bytes.size()) == 0;
}

// The record as the documented defaults leave it, everything else zero.
std::unique_ptr<Adapter> DocumentedDefaults()
{
    auto a = std::make_unique<Adapter>();
    a->VoPReplicateCount = 1;
    a->DoCsmReset = 1;
    a->TimerResolution = 10;
    a->AdapterID = 4;
    a->AsyncPortNumbersStartAt = 5;
    for (int n = 0; n < MAX_LINES; ++n) {
        a->FramingFormat[n] = 3;
        a->DS0IdleCode[n] = 1;
        a->WindowSize[n] = 7;
        a->SignallingProtocol[n] = 1;
        a->BChProtocol[n] = 2;
        a->QStackMultiplier[n] = 2;
        a->LineIntfMode[n] = 1;
        a->SystemBusMode[n] = 2;
        a->SamplingType[n] = 2;
        a->RBSProtocol[n] = 2;
        std::memcpy(&a->ModemDataInit[n], kDefaultModemEntry.data(), kDefaultModemEntry.size());
    }
    for (int k = 0; k < MAX_SOCKETS; ++k) a->ModuleID[k] = 4;
    return a;
}

void ExpectSameRecord(const Adapter& got, const Adapter& want)
{
    auto* g = reinterpret_cast<const uint8_t*>(&got);
    auto* w = reinterpret_cast<const uint8_t*>(&want);
    for (size_t i = 0; i < sizeof(Adapter); ++i) {
        if (g[i] != w[i]) {
            ADD_FAILURE() << "record differs first at offset " << i << ": got " << int(g[i]) << ", want "
                          << int(w[i]);
            return;
        }
    }
}

class WmpParamsTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        EXPECT_TRUE(host.allocations.empty()) << host.allocations.size() << " allocations left";
        for (const auto& v : host.violations()) ADD_FAILURE() << "violation: " << v;
    }

    void Set(const std::string& name, Value v) { host.registry.set_value(kParamsKey, name, std::move(v)); }

    // A key holding a DeviceName and an AddressList, so nothing is logged.
    void SetBase()
    {
        host.registry.delete_key(kParamsKey);
        host.registry.create_key(kParamsKey);
        Set("DeviceName", Value::Sz("VORNET"));
        Set("AddressList", Value::MultiSz({"5551000"}));
        host.error_log.clear();
    }

    std::unique_ptr<Adapter> BaseRecord()
    {
        auto a = DocumentedDefaults();
        Put(*a, FIELD(DeviceName), "VORNET");
        Put(*a, FIELD(AddressList), std::string("5551000\0", 8));
        return a;
    }

    BOOLEAN Read(Adapter* a)
    {
        NDIS_STATUS status;
        NDIS_HANDLE handle;
        std::string key = kParamsKey;
        NdisOpenConfiguration(&status, &handle, &key);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        BOOLEAN ok = WmpReadParameters(a, handle, nullptr);
        NdisCloseConfiguration(handle);
        return ok;
    }

    // Each case on its own over the base key: TRUE, nothing logged, the record as
    // expected with the case's field replaced.
    void RunCases(const std::vector<Case>& cases)
    {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.key + " -> offset " + std::to_string(c.field.offset));
            SetBase();
            Set(c.key, c.value);
            auto got = std::make_unique<Adapter>();
            EXPECT_TRUE(Read(got.get()));
            EXPECT_TRUE(host.error_log.empty());
            auto want = BaseRecord();
            Put(*want, c.field, c.expect);
            ExpectSameRecord(*got, *want);
        }
    }

    plat::Host host;
};

TEST_F(WmpParamsTest, EmptyKeyButDeviceNameGivesEveryDefault)
{
    Set("DeviceName", Value::Sz("VORNET"));
    auto got = std::make_unique<Adapter>();
    EXPECT_TRUE(Read(got.get()));

    auto want = DocumentedDefaults();
    Put(*want, FIELD(DeviceName), "VORNET");
    ExpectSameRecord(*got, *want);
    for (int n = 0; n < MAX_LINES; ++n) {
        EXPECT_EQ(got->ModemDataInit[n].Count, 14);
        EXPECT_EQ(std::string(got->ModemDataInit[n].Text, 14), "ATS95=4\\N3%C3\r");
    }
    ASSERT_EQ(host.error_log.size(), 1u);  // AddressList missing
    EXPECT_EQ(host.error_log[0].values.back(), 5u);
}

TEST_F(WmpParamsTest, IntegersOutsideTheirRangeKeepTheDefault)
{
    RunCases({
        Int("VoPReplicateCount", 0, FIELD(VoPReplicateCount), 1),
        Int("VoPReplicateCount", 0xFFFFFFFF, FIELD(VoPReplicateCount), 0xFFFFFFFF),
        Int("DoCsmReset", 0, FIELD(DoCsmReset), 0),
        Int("TimerResolution", 0, FIELD(TimerResolution), 10),
        Int("TimerResolution", 1, FIELD(TimerResolution), 1),
        Int("VerifyLoad", 0xFFFFFFFF, FIELD(VerifyLoad), 0xFFFFFFFF),
        Int("AdapterID", 0, FIELD(AdapterID), 0),
        Int("AdapterID", 7, FIELD(AdapterID), 7),
        Int("AdapterID", 8, FIELD(AdapterID), 4),
        Int("IrqStatistics", 1, FIELD(IrqStatistics), 1),
        Int("IrqStatistics", 2, FIELD(IrqStatistics), 0),
        Int("NetworkSide_3", 1, FIELD(NetworkSide[3]), 1),
        Int("NetworkSide_3", 2, FIELD(NetworkSide[3]), 0),
        Int("LineCode_1", 4, FIELD(LineCode[1]), 4),
        Int("LineCode_1", 5, FIELD(LineCode[1]), 0),
        Int("LineMode_2", 2, FIELD(LineMode[2]), 0),
        Int("FramingFormat_0", 0, FIELD(FramingFormat[0]), 0),
        Int("FramingFormat_3", 6, FIELD(FramingFormat[3]), 6),
        Int("FramingFormat_3", 7, FIELD(FramingFormat[3]), 3),
        Int("TxPulseTemplate_1", 7, FIELD(TxPulseTemplate[1]), 7),
        Int("TxPulseTemplate_1", 8, FIELD(TxPulseTemplate[1]), 0),
        Int("DS0IdleCode_2", 0, FIELD(DS0IdleCode[2]), 0),
        Int("DS0IdleCode_2", 2, FIELD(DS0IdleCode[2]), 1),
        Int("DChRate_3", 1, FIELD(DChRate[3]), 1),
        Int("DChRate_3", 2, FIELD(DChRate[3]), 0),
        Int("DChInversion_0", 1, FIELD(DChInversion[0]), 1),
        Int("DChInversion_0", 2, FIELD(DChInversion[0]), 0),
        Int("Modulus_1", 1, FIELD(Modulus[1]), 1),
        Int("Modulus_1", 2, FIELD(Modulus[1]), 0),
        Int("WindowSize_0", 0, FIELD(WindowSize[0]), 7),
        Int("WindowSize_0", 1, FIELD(WindowSize[0]), 1),
        Int("WindowSize_0", 127, FIELD(WindowSize[0]), 127),
        Int("WindowSize_0", 128, FIELD(WindowSize[0]), 7),
        Int("SignallingProtocol_0", 0, FIELD(SignallingProtocol[0]), 0),
        Int("SignallingProtocol_3", 6, FIELD(SignallingProtocol[3]), 6),
        Int("SignallingProtocol_0", 7, FIELD(SignallingProtocol[0]), 1),
        Int("BChProtocol_2", 0, FIELD(BChProtocol[2]), 0),
        Int("BChProtocol_2", 3, FIELD(BChProtocol[2]), 3),
        Int("BChProtocol_2", 4, FIELD(BChProtocol[2]), 2),
        Int("QStackMultiplier_0", 0, FIELD(QStackMultiplier[0]), 2),
        Int("QStackMultiplier_0", 1, FIELD(QStackMultiplier[0]), 1),
        Int("QStackMultiplier_3", 3, FIELD(QStackMultiplier[3]), 3),
        Int("QStackMultiplier_0", 4, FIELD(QStackMultiplier[0]), 2),
        Int("LineIntfMode_1", 0, FIELD(LineIntfMode[1]), 0),
        Int("LineIntfMode_1", 2, FIELD(LineIntfMode[1]), 1),
        Int("SystemBusMode_3", 0, FIELD(SystemBusMode[3]), 0),
        Int("SystemBusMode_3", 12, FIELD(SystemBusMode[3]), 12),
        Int("SystemBusMode_3", 13, FIELD(SystemBusMode[3]), 2),
        Int("ModuleID_0", 0, FIELD(ModuleID[0]), 0),
        Int("ModuleID_9", 24, FIELD(ModuleID[9]), 24),
        Int("ModuleID_9", 25, FIELD(ModuleID[9]), 4),
        Int("ISDNthroughCSM_2", 1, FIELD(ISDNthroughCSM[2]), 1),
        Int("ISDNthroughCSM_2", 2, FIELD(ISDNthroughCSM[2]), 0),
        Int("SamplingType_1", 0, FIELD(SamplingType[1]), 0),
        Int("SamplingType_1", 3, FIELD(SamplingType[1]), 2),
        Int("RBSType_0", 1, FIELD(RBSType[0]), 1),
        Int("RBSType_0", 2, FIELD(RBSType[0]), 0),
        Int("RBSCallType_3", 1, FIELD(RBSCallType[3]), 1),
        Int("RBSCallType_3", 2, FIELD(RBSCallType[3]), 0),
        Int("RBSProtocol_1", 0, FIELD(RBSProtocol[1]), 0),
        Int("RBSProtocol_1", 3, FIELD(RBSProtocol[1]), 2),
        Int("RBSWinkDuration_2", 2, FIELD(RBSWinkDuration[2]), 2),
        Int("RBSWinkDuration_2", 3, FIELD(RBSWinkDuration[2]), 0),
        Int("AsyncPortNumbersStartAt", 0, FIELD(AsyncPortNumbersStartAt), 5),
        Int("AsyncPortNumbersStartAt", 1, FIELD(AsyncPortNumbersStartAt), 1),
        Int("AsyncPorts_3", 1000, FIELD(AsyncPorts[3]), 1000),
        Int("Line_0.DirectoryNumberChProtocol_00", 3, FIELD(DirectoryNumberChProtocol[0][0]), 3),
        Int("Line_1.DirectoryNumberChProtocol_10", 4, FIELD(DirectoryNumberChProtocol[1][10]), 0),
        Int("Line_2.DirectoryNumberChProtocol_19", 1, FIELD(DirectoryNumberChProtocol[2][19]), 1),
        Int("Line_3.DirectoryNumberChProtocol_31", 2, FIELD(DirectoryNumberChProtocol[3][31]), 2),
        Int("ModemRouting_3", 1, FIELD(ModemRouting[3]), 1),
        Int("ModemRouting_0", 2, FIELD(ModemRouting[0]), 0),
    });
}

// A bus mode the line's T1/E1 cannot carry (the framer's bus rate differs from the
// controller port's, or the 8.192 numbering lacks its port) takes the line mode's bus.
TEST_F(WmpParamsTest, SystemBusModeThatTheLineModeCannotCarryTakesTheLineModesBus)
{
    for (ULONG line_mode : {0u, 1u})
        for (ULONG mode = 0; mode <= 12; mode++) {
            SCOPED_TRACE(testing::Message() << "line mode " << line_mode << " bus mode " << mode);
            bool refused = line_mode == 0 ? (mode == 1 || mode == 5 || mode == 8 || mode == 9)
                                          : (mode == 2 || mode == 4 || mode == 11 || mode == 12);
            SetBase();
            Set("LineMode_1", Value::Dword(line_mode));
            Set("SystemBusMode_1", Value::Dword(mode));
            auto got = std::make_unique<Adapter>();
            EXPECT_TRUE(Read(got.get()));
            EXPECT_EQ(got->SystemBusMode[1], refused ? (line_mode == 0 ? 2u : 5u) : mode);
            EXPECT_EQ(got->SystemBusMode[0], 2u) << "other lines keep theirs";
            EXPECT_EQ(got->LineMode[1], line_mode);
        }
}

TEST_F(WmpParamsTest, StringsAreTakenWholeOrNotAtAll)
{
    const std::string digits38(38, '7');
    const std::string init124(124, 'X');
    RunCases({
        Str("DeviceName", std::string(31, 'D'), FIELD(DeviceName), std::string(31, 'D')),
        Str("DeviceName", std::string(32, 'D'), FIELD(DeviceName), ""),
        Str("DeviceName", "N\xE9t", FIELD(DeviceName), "N\xE9t"),
        {"AddressList", Value::MultiSz({"5551000", "5551001"}), FIELD(AddressList),
         std::string("5551000\0" "5551001\0", 16)},
        {"AddressList", Value::MultiSz({std::string(1022, '9')}), FIELD(AddressList),
         std::string(1022, '9') + std::string(2, '\0')},
        {"AddressList", Value::MultiSz({std::string(1023, '9')}), FIELD(AddressList), ""},
        Str("Line_0.DirectoryNumber_00", digits38, FIELD(DirectoryNumber[0][0]), DirectoryEntry(digits38)),
        Str("Line_0.DirectoryNumber_00", digits38 + "7", FIELD(DirectoryNumber[0][0]), ""),
        Str("Line_0.DirectoryNumber_05", std::string(1, '\0'), FIELD(DirectoryNumber[0][5]), ""),
        Str("Line_1.DirectoryNumber_09", "19", FIELD(DirectoryNumber[1][9]), DirectoryEntry("19")),
        Str("Line_1.DirectoryNumber_10", "110", FIELD(DirectoryNumber[1][10]), DirectoryEntry("110")),
        Str("Line_2.DirectoryNumber_00", "200", FIELD(DirectoryNumber[2][0]), DirectoryEntry("200")),
        Str("Line_3.DirectoryNumber_31", "5551234", FIELD(DirectoryNumber[3][31]), DirectoryEntry("5551234")),
        Str("ModemDataInit_2", "E0V1", FIELD(ModemDataInit[2]), ModemEntry("E0V1")),
        Str("ModemDataInit_0", "", FIELD(ModemDataInit[0]), kDefaultModemEntry),
        Str("ModemDataInit_1", init124, FIELD(ModemDataInit[1]), ModemEntry(init124)),
        Str("ModemDataInit_3", init124 + "X", FIELD(ModemDataInit[3]), kDefaultModemEntry),
    });
}

TEST_F(WmpParamsTest, KeysBeyondTheLastIndexAreNeverRead)
{
    const std::vector<std::pair<std::string, Value>> keys = {
        {"ModuleID_10", Value::Dword(1)},
        {"NetworkSide_4", Value::Dword(1)},
        {"QStackMultiplier_4", Value::Dword(1)},
        {"AsyncPorts_4", Value::Dword(1)},
        {"ModemRouting_4", Value::Dword(1)},
        {"ModemDataInit_4", Value::Sz("Z")},
        {"Line_0.DirectoryNumber_32", Value::Sz("1")},
        {"Line_4.DirectoryNumber_00", Value::Sz("1")},
        {"Line_0.DirectoryNumberChProtocol_32", Value::Dword(1)},
        {"Line_4.DirectoryNumberChProtocol_00", Value::Dword(1)},
    };
    for (const auto& [key, value] : keys) {
        SCOPED_TRACE(key);
        SetBase();
        Set(key, value);
        auto got = std::make_unique<Adapter>();
        EXPECT_TRUE(Read(got.get()));
        ExpectSameRecord(*got, *BaseRecord());
    }
}

TEST_F(WmpParamsTest, ReadingQStackMultiplierClearsTheTickCounters)
{
    SetBase();
    auto got = std::make_unique<Adapter>();
    for (int n = 0; n < MAX_LINES; ++n) got->QStackTickCount[n] = 10 + n;
    EXPECT_TRUE(Read(got.get()));
    ExpectSameRecord(*got, *BaseRecord());
}

TEST_F(WmpParamsTest, MissingOrEmptyDeviceNameFailsBeforeAnyOtherValue)
{
    const std::vector<std::pair<const char*, std::optional<Value>>> cases = {
        {"missing", std::nullopt},
        {"empty", Value::Sz("")},
        {"not a string", Value::Dword(1)},
    };
    for (const auto& [name, value] : cases) {
        SCOPED_TRACE(name);
        SetBase();
        host.registry.delete_value(kParamsKey, "DeviceName");
        if (value) Set("DeviceName", *value);
        Set("TimerResolution", Value::Dword(20));
        auto got = std::make_unique<Adapter>();
        EXPECT_FALSE(Read(got.get()));

        ASSERT_EQ(host.error_log.size(), 1u);
        EXPECT_EQ(host.error_log[0].code, kMissingParameter);
        ASSERT_EQ(host.error_log[0].values.size(), 4u);
        EXPECT_EQ(host.error_log[0].values[1], 7u);
        EXPECT_EQ(host.error_log[0].values[3], 4u);
        ExpectSameRecord(*got, *std::make_unique<Adapter>());
    }
}

TEST_F(WmpParamsTest, MissingOrEmptyAddressListIsLoggedAndReadingGoesOn)
{
    const std::vector<std::pair<const char*, std::optional<Value>>> cases = {
        {"missing", std::nullopt},
        {"empty", Value::MultiSz({})},
    };
    for (const auto& [name, value] : cases) {
        SCOPED_TRACE(name);
        SetBase();
        host.registry.delete_value(kParamsKey, "AddressList");
        if (value) Set("AddressList", *value);
        Set("TimerResolution", Value::Dword(20));
        auto got = std::make_unique<Adapter>();
        EXPECT_TRUE(Read(got.get()));

        ASSERT_EQ(host.error_log.size(), 1u);
        EXPECT_EQ(host.error_log[0].code, kMissingParameter);
        ASSERT_EQ(host.error_log[0].values.size(), 4u);
        EXPECT_EQ(host.error_log[0].values[1], 7u);
        EXPECT_EQ(host.error_log[0].values[3], 5u);
        auto want = BaseRecord();
        Put(*want, FIELD(AddressList), "");
        want->TimerResolution = 20;
        ExpectSameRecord(*got, *want);
    }
}

// One value per key in reading order, each set apart from its default. Failing the
// n-th key-text allocation must leave the keys before it read and none from it on;
// a record filled with a pattern shows what was written.
TEST_F(WmpParamsTest, KeyTextThatCannotBeAllocatedEndsReadingInOrder)
{
    const std::vector<Case> rows = {
        Str("DeviceName", "VORNET", FIELD(DeviceName), std::string("VORNET\0", 7)),
        {"AddressList", Value::MultiSz({"5551000"}), FIELD(AddressList), std::string("5551000\0\0", 9)},
        Int("VoPReplicateCount", 9, FIELD(VoPReplicateCount), 9),
        Int("DoCsmReset", 5, FIELD(DoCsmReset), 5),
        Int("TimerResolution", 20, FIELD(TimerResolution), 20),
        Int("VerifyLoad", 1, FIELD(VerifyLoad), 1),
        Int("AdapterID", 7, FIELD(AdapterID), 7),
        Int("IrqStatistics", 1, FIELD(IrqStatistics), 1),
        Int("NetworkSide_3", 1, FIELD(NetworkSide[3]), 1),
        Int("LineCode_3", 4, FIELD(LineCode[3]), 4),
        Int("LineMode_3", 1, FIELD(LineMode[3]), 1),
        Int("FramingFormat_3", 6, FIELD(FramingFormat[3]), 6),
        Int("TxPulseTemplate_3", 7, FIELD(TxPulseTemplate[3]), 7),
        Int("DS0IdleCode_3", 0, FIELD(DS0IdleCode[3]), 0),
        Int("DChRate_3", 1, FIELD(DChRate[3]), 1),
        Int("DChInversion_3", 1, FIELD(DChInversion[3]), 1),
        Int("Modulus_3", 1, FIELD(Modulus[3]), 1),
        Int("WindowSize_3", 127, FIELD(WindowSize[3]), 127),
        Int("SignallingProtocol_3", 6, FIELD(SignallingProtocol[3]), 6),
        Int("BChProtocol_3", 3, FIELD(BChProtocol[3]), 3),
        Int("QStackMultiplier_3", 3, FIELD(QStackMultiplier[3]), 3),
        Int("LineIntfMode_3", 0, FIELD(LineIntfMode[3]), 0),
        Int("SystemBusMode_3", 10, FIELD(SystemBusMode[3]), 10),  // one an E1 line runs
        Int("ModuleID_9", 24, FIELD(ModuleID[9]), 24),
        Int("ISDNthroughCSM_3", 1, FIELD(ISDNthroughCSM[3]), 1),
        Int("SamplingType_3", 0, FIELD(SamplingType[3]), 0),
        Int("RBSType_3", 1, FIELD(RBSType[3]), 1),
        Int("RBSCallType_3", 1, FIELD(RBSCallType[3]), 1),
        Int("RBSProtocol_3", 0, FIELD(RBSProtocol[3]), 0),
        Int("RBSWinkDuration_3", 2, FIELD(RBSWinkDuration[3]), 2),
        Int("AsyncPortNumbersStartAt", 7, FIELD(AsyncPortNumbersStartAt), 7),
        Int("AsyncPorts_3", 9, FIELD(AsyncPorts[3]), 9),
        Str("Line_3.DirectoryNumber_31", "77", FIELD(DirectoryNumber[3][31]), DirectoryEntry("77") + '\0'),
        Int("Line_3.DirectoryNumberChProtocol_31", 3, FIELD(DirectoryNumberChProtocol[3][31]), 3),
        Str("ModemDataInit_3", "Z", FIELD(ModemDataInit[3]), ModemEntry("Z")),
        Int("ModemRouting_3", 1, FIELD(ModemRouting[3]), 1),
    };
    host.registry.create_key(kParamsKey);
    for (const auto& r : rows) Set(r.key, r.value);

    size_t fail_at = 1;
    for (;; ++fail_at) {
        SCOPED_TRACE("allocation " + std::to_string(fail_at) + " fails");
        ASSERT_LE(fail_at, rows.size() + 1);
        host.error_log.clear();
        auto got = std::make_unique<Adapter>();
        std::memset(got.get(), 0xEE, sizeof(Adapter));
        host.faults.fail_at(plat::FaultInjector::Alloc, fail_at);
        BOOLEAN ok = Read(got.get());
        EXPECT_TRUE(host.allocations.empty());
        if (ok) break;

        ASSERT_EQ(host.error_log.size(), 1u);
        EXPECT_EQ(host.error_log[0].code, kOutOfResources);
        ASSERT_EQ(host.error_log[0].values.size(), 3u);
        EXPECT_EQ(host.error_log[0].values[0], 7u);
        EXPECT_EQ(host.error_log[0].values[2], 35u);
        for (size_t k = 0; k < rows.size(); ++k)
            EXPECT_EQ(Holds(*got, rows[k].field, rows[k].expect), k + 1 < fail_at) << rows[k].key;
    }
    host.faults.fail_at(plat::FaultInjector::Alloc, 0);
    EXPECT_EQ(fail_at, rows.size() + 1) << "one key text per key";
}

struct CopyCase {
    const char* name;
    std::u16string source;
    ULONG size;
    NDIS_STATUS status;
    std::string destination;  // the first bytes of a buffer filled with 0x55
};

TEST(CopyUnicodeToAnsi, CopiesLowBytesAndAZeroOnlyWhenBothFit)
{
    const CopyCase cases[] = {
        {"fits exactly", u"AB", 3, NDIS_STATUS_SUCCESS, std::string("AB\0\x55", 4)},
        {"one too many", u"ABC", 3, NDIS_STATUS_FAILURE, "\x55\x55\x55\x55"},
        {"low bytes only", u"\u0141\u00E9Z", 8, NDIS_STATUS_SUCCESS, std::string("\x41\xE9Z\0\x55", 5)},
        {"empty", u"", 1, NDIS_STATUS_SUCCESS, std::string("\0\x55", 2)},
        {"no room for the zero", u"", 0, NDIS_STATUS_FAILURE, "\x55"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::u16string text = c.source;
        NDIS_STRING source;
        source.Buffer = text.data();
        source.Length = static_cast<USHORT>(text.size() * 2);
        source.MaximumLength = static_cast<USHORT>(text.size() * 2 + 2);
        UCHAR buffer[16];
        std::memset(buffer, 0x55, sizeof buffer);
        EXPECT_EQ(CopyUnicodeToAnsi(buffer, &source, c.size), c.status);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), c.destination.size()), c.destination);
    }
}

}  // namespace
