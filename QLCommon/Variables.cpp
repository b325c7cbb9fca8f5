#include "QLCommon/Variables.h"

namespace {

constexpr algn_tField Row(int32_t type, uint32_t id, const zel_tValueDesc* desc = nullptr, int32_t count = 1)
{
    return algn_tField{type, count, nullptr, 0, desc, id};
}
constexpr algn_tField End() { return algn_tField{algn_kEnd, 0, nullptr, 0, nullptr, 0}; }

// Default texts of the described fields; the lists of value texts are filled at start-up.
const zel_tValueDesc kNoText = {nullptr, 1, 0, nullptr};
const zel_tValueDesc kDisabled3 = {"Disabled", 1, 3, nullptr};
const zel_tValueDesc kDisabled2 = {"Disabled", 1, 2, nullptr};
const zel_tValueDesc kMaxNegotiated = {"Max Negotiated", 1, 20, nullptr};
const zel_tValueDesc kAutoRate = {"Enable_56KAutoRate", 1, 30, nullptr};
const zel_tValueDesc kAutoReliable = {"AutoReliable", 1, 4, nullptr};
const zel_tValueDesc kTwoValues = {nullptr, 1, 2, nullptr};
const zel_tValueDesc kFlowControl = {"RTS/CTS Flow Control", 1, 3, nullptr};
const zel_tValueDesc kResult = {nullptr, 1, 16, nullptr};
const zel_tValueDesc kSetup0 = {nullptr, 1, 4, nullptr};
const zel_tValueDesc kSetup1 = {nullptr, 1, 3, nullptr};
const zel_tValueDesc kSetup5 = {nullptr, 1, 8, nullptr};

}  // namespace

const algn_tField zelagt_tInfo_Table[] = {
    Row(algn_kDWord, 0), Row(algn_kDWord, 1), Row(algn_kDWord, 2), Row(algn_kDWord, 3),
    Row(algn_kDWord, 4), Row(algn_kDWord, 5), Row(algn_kInt, 6),   Row(algn_kInt, 7),
    End(),
};

const algn_tField zelmdm_tLastCallInfo_Table[] = {
    Row(algn_kDWord, 0),  Row(algn_kDWord, 1),  Row(algn_kDWord, 2),  Row(algn_kDWord, 3),
    Row(algn_kDWord, 4),  Row(algn_kDWord, 5),  Row(algn_kDWord, 6),  Row(algn_kDWord, 7, &kNoText),
    Row(algn_kDWord, 8, &kNoText),  Row(algn_kDWord, 9, &kNoText),  Row(algn_kDWord, 10, &kNoText),
    Row(algn_kDWord, 11, &kNoText), Row(algn_kDWord, 12, &kNoText), Row(algn_kDWord, 13, &kNoText),
    Row(algn_kDWord, 14, &kNoText), Row(algn_kDWord, 15, &kNoText), Row(algn_kDWord, 16, &kNoText),
    Row(algn_kDWord, 17, &kNoText), Row(algn_kDWord, 18, &kNoText), Row(algn_kDWord, 19, &kNoText),
    Row(algn_kDWord, 20, &kNoText), Row(algn_kDWord, 21, &kNoText), Row(algn_kDWord, 22, &kResult),
    End(),
};

const algn_tField zelmdm_tGeneralStatus_Table[] = {
    Row(algn_kDWord, 0),           Row(algn_kDWord, 1, &kNoText),  Row(algn_kDWord, 2, &kNoText),
    Row(algn_kDWord, 3),           Row(algn_kDWord, 4, &kNoText),  Row(algn_kDWord, 5, &kNoText),
    Row(algn_kDWord, 6, &kNoText), Row(algn_kDWord, 7, &kNoText),  Row(algn_kDWord, 8, &kNoText),
    Row(algn_kDWord, 9, &kNoText), Row(algn_kDWord, 10, &kNoText), Row(algn_kDWord, 11, &kNoText),
    Row(algn_kBOOL, 12, &kNoText), Row(algn_kBOOL, 13, &kNoText),  End(),
};

#define DWORDS_5(n) Row(algn_kDWord, n), Row(algn_kDWord, n + 1), Row(algn_kDWord, n + 2), \
                    Row(algn_kDWord, n + 3), Row(algn_kDWord, n + 4)

const algn_tField zelmdm_tGeneralConfig_Table[] = {
    DWORDS_5(0), DWORDS_5(5), DWORDS_5(10), DWORDS_5(15), DWORDS_5(20),
    Row(algn_kDWord, 25), Row(algn_kDWord, 26), End(),
};

const algn_tField zelmdm_tDialControlConfig_Table[] = {
    Row(algn_kDWord, 0, &kDisabled3), Row(algn_kDWord, 1, &kNoText), Row(algn_kDWord, 2, &kNoText),
    Row(algn_kDWord, 3, &kNoText),    Row(algn_kDWord, 4, &kDisabled2), End(),
};

const algn_tField zelmdm_tCallControlConfig_Table[] = {
    Row(algn_kDWord, 0, &kMaxNegotiated), Row(algn_kDWord, 1, &kAutoRate), Row(algn_kDWord, 2, &kAutoReliable),
    Row(algn_kDWord, 3, &kTwoValues),     Row(algn_kDWord, 4, &kNoText),   Row(algn_kDWord, 5),
    Row(algn_kDWord, 6),                  Row(algn_kDWord, 7),             Row(algn_kDWord, 8),
    Row(algn_kDWord, 9, &kFlowControl),   Row(algn_kDWord, 10, &kNoText),  End(),
};

const algn_tField zelmdm_tCallStatistics_Table[] = {
    Row(algn_kDWord, 0, &kNoText),  Row(algn_kDWord, 1, &kNoText),  Row(algn_kDWord, 2, &kNoText),
    Row(algn_kDWord, 3, &kNoText),  Row(algn_kDWord, 4, &kNoText),  Row(algn_kDWord, 5, &kNoText),
    Row(algn_kDWord, 6, &kNoText),  Row(algn_kDWord, 7, &kNoText),  Row(algn_kDWord, 8, &kNoText),
    Row(algn_kDWord, 9, &kNoText),  Row(algn_kDWord, 10, &kNoText), Row(algn_kDWord, 11, &kNoText),
    Row(algn_kDWord, 12, &kNoText), Row(algn_kDWord, 13, &kNoText), Row(algn_kDWord, 14, &kNoText),
    Row(algn_kDWord, 15, &kNoText), Row(algn_kDWord, 16, &kNoText), Row(algn_kDWord, 17, &kNoText),
    Row(algn_kDWord, 18, &kNoText), End(),
};

const algn_tField rpri_tSetup_Table[] = {
    Row(algn_kChar, 0, &kSetup0), Row(algn_kChar, 1, &kSetup1), Row(algn_kChar, 2, &kTwoValues),
    Row(algn_kChar, 3, &kTwoValues), Row(algn_kChar, 4, &kTwoValues), Row(algn_kBYTE, 5, &kSetup5),
    Row(algn_kBYTE, 6), Row(algn_kBYTE, 7), Row(algn_kBYTE, 8), End(),
};

// The line interface keeps and moves 30 entries of 40 characters.
const algn_tField rpri_tDirNumSetup_Table[] = {
    Row(algn_kBYTE, 11, nullptr, RPRI_DIRNUM_ENTRIES * RPRI_DIRNUM_LENGTH),
    End(),
};

const algn_tField rpri_tPRI_Table[] = {
    Row(algn_kChar, 0), Row(algn_kChar, 1), Row(algn_kChar, 2), End(),
};

const algn_tField rpri_tPRIChannel_Table[] = {
    Row(algn_kChar, 0), Row(algn_kChar, 1), Row(algn_kChar, 2),
    Row(algn_kChar, 1, nullptr, 20), Row(algn_kChar, 2, nullptr, 20), End(),
};
