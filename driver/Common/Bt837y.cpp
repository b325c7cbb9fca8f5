// Framer operational mode, the T1/E1 register programming (base set and mode
// programming with the channel map onto the system bus), the framer actions and the
// line-interface actions. Owns nMode, the save words, nLedPhase and nChAbortCount of
// the Bt8370 record. Runs under AdapterSpinLock.
#include "driver/Common/Bt837x.h"

#include <cstring>

#include "driver/Common/RSS_init.h"

// ---- register helpers ----


void Bt8370SetBits(Bt8370* ThisBt8370, ULONG Reg, UCHAR Bits)
{
    Bt8370Write(ThisBt8370, Reg, (UCHAR)(Bt8370Read(ThisBt8370, Reg) | Bits));
}

void Bt8370ClearBits(Bt8370* ThisBt8370, ULONG Reg, UCHAR Bits)
{
    Bt8370Write(ThisBt8370, Reg, (UCHAR)(Bt8370Read(ThisBt8370, Reg) & ~Bits));
}

void Bt8370PulseBit(Bt8370* ThisBt8370, ULONG Reg, UCHAR Bit)
{
    Bt8370SetBits(ThisBt8370, Reg, Bit);
    Bt8370ClearBits(ThisBt8370, Reg, Bit);
}

BOOLEAN Bt8370IsT1(const Bt8370* ThisBt8370) { return (ThisBt8370->nMode & T1E1MASK) != 0; }

ULONG Bt8370FramingCode(const Bt8370* ThisBt8370) { return (ThisBt8370->nMode & 0x1E) >> 1; }

BOOLEAN Bt8370ChannelInUse(Bt8370* ThisBt8370, ULONG Channel)
{
    return (Bt8370Read(ThisBt8370, BT_BANK(BT_SBC, Channel)) & 0x01) != 0;
}

ULONG Bt8370LineParam(const Bt8370* ThisBt8370, const ULONG* PerLine)
{
    return ThisBt8370->nLine < MAX_LINES ? PerLine[ThisBt8370->nLine] : 0;
}

ULONG_PTR Bt8370TimerOwner(Bt8370* ThisBt8370) { return (ULONG_PTR)ThisBt8370; }

static Adapter* Bt8370Owner(Bt8370* ThisBt8370) { return ThisBt8370->ThisAdapter; }

static void Bt8370ClearBanks(Bt8370* ThisBt8370, ULONG Channel)
{
    static const ULONG banks[] = {BT_TPC, BT_TSIG, BT_TSLIP_LO, BT_TSLIP_HI, BT_RPC, BT_RSIG, BT_RSLIP_LO, BT_RSLIP_HI};
    for (ULONG b = 0; b < sizeof banks / sizeof banks[0]; b++) Bt8370Write(ThisBt8370, BT_BANK(banks[b], Channel), 0);
}

// ---- operational mode ----

void Bt8370DefineOperationalMode(Bt8370* ThisBt8370, ULONG Line, ULONG Mode)
{
    Adapter* a = Bt8370Owner(ThisBt8370);
    ULONG mode;
    ThisBt8370->nLine = Line < MAX_LINES ? Line : MAX_LINES - 1;
    if (Mode == BT8370_MODE_T1_DEFAULT || a == NULL) {
        ThisBt8370->nMode = BT8370_MODE_T1_DEFAULT;
        return;
    }
    switch (Bt8370LineParam(ThisBt8370, a->LineMode)) {
    case 0: mode = 0x81; break;
    case 1: mode = 0; break;
    default: mode = BT8370_MODE_T1_DEFAULT; break;
    }
    switch (Bt8370LineParam(ThisBt8370, a->FramingFormat)) {
    case 0:
    case 6: break;
    case 1:
    case 4: mode |= 0x08; break;
    case 2: mode |= 0x12; break;
    case 3: mode |= 0x1A; break;
    case 5: mode |= 0x18; break;
    default: mode = BT8370_MODE_T1_DEFAULT; break;
    }
    ThisBt8370->nMode = mode;
}

// ---- base register set ----

typedef struct _BT8370_LIU_ROW {
    UCHAR LiuCr, RliuCr, VgaMax, Dslice, Cslice;
} BT8370_LIU_ROW;

BOOLEAN Bt8370ConfigureBase(Bt8370* ThisBt8370)
{
    Adapter* a = Bt8370Owner(ThisBt8370);
    ULONG code = ThisBt8370->nDeviceCode;
    ULONG id = a->AdapterID;
    ULONG k, n;

    // 1.
    std::memset(ThisBt8370->ChTable, 0, sizeof ThisBt8370->ChTable);
    for (n = 0; n < 8; n++) Bt8370Write(ThisBt8370, BT_IER(n), 0);
    Bt8370Write(ThisBt8370, BT_PCR0, 0);
    // 2.
    Bt8370Write(ThisBt8370, BT_JAT_CR, 0x84);
    if (Bt8370LineParam(ThisBt8370, a->NetworkSide) != 0) Bt8370SetBits(ThisBt8370, BT_JAT_CR, 0x40);
    // 3.
    for (n = 0; n < 8; n++) Bt8370Write(ThisBt8370, BT_ISR(n), 0);
    for (n = 0; n < 8; n++) Bt8370Write(ThisBt8370, BT_IER(n), 0);
    Bt8370Write(ThisBt8370, BT_LOOP, 0);
    Bt8370Write(ThisBt8370, BT_DL3_TS, 0);
    Bt8370Write(ThisBt8370, BT_DL3_BIT, 0);
    // 4.
    if (id == 1) {
        BOOLEAN m = ThisBt8370->bMaster != 0;
        Bt8370Write(ThisBt8370, BT_PIO, m ? 0xAD : 0);
        Bt8370Write(ThisBt8370, BT_POE, m ? 0x3C : 0);
        Bt8370Write(ThisBt8370, BT_CMUX, m ? 0xF5 : 0);
    } else if (id >= 2 && id <= 7) {
        BOOLEAN m = ThisBt8370->bMaster != 0;
        Bt8370Write(ThisBt8370, BT_PIO, m ? 0xAD : 0xA5);
        Bt8370Write(ThisBt8370, BT_POE, m ? 0x3D : 0x3F);
        Bt8370Write(ThisBt8370, BT_CMUX, m ? 0xF5 : 0x05);
    }
    Bt8370Write(ThisBt8370, BT_TMUX, 0);
    Bt8370Write(ThisBt8370, BT_TEST, 0);
    // 5.
    static const BT8370_LIU_ROW code3 = {0x00, 0x30, 0x3F, 0xDA, 0x4A};
    static const BT8370_LIU_ROW code478 = {0x40, 0xF1, 0x1F, 0xBA, 0xCA};
    const BT8370_LIU_ROW* row = code == 3 ? &code3 : &code478;
    Bt8370Write(ThisBt8370, BT_LIU_CR, row->LiuCr);
    Bt8370Write(ThisBt8370, BT_RLIU_CR, row->RliuCr);
    Bt8370Write(ThisBt8370, BT_VGA_MAX, row->VgaMax);
    Bt8370Write(ThisBt8370, BT_DSLICE, row->Dslice);
    Bt8370Write(ThisBt8370, BT_CSLICE, row->Cslice);
    if (code == 3)
        Bt8370Write(ThisBt8370, BT_PRE_EQ, 0x80);
    else
        Bt8370Write(ThisBt8370, BT_PRE_EQ, Bt8370LineParam(ThisBt8370, a->TxPulseTemplate) == 7 ? 0xE6 : 0xA6);
    Bt8370Write(ThisBt8370, BT_LPF, 0x33);
    // 6.
    Bt8370Write(ThisBt8370, BT_RCR0, 0);
    Bt8370Write(ThisBt8370, BT_RPATT, 0);
    Bt8370Write(ThisBt8370, BT_RLB, ThisBt8370->bL1Machine ? 3 : 0);
    Bt8370Write(ThisBt8370, BT_LBA, ThisBt8370->bL1Machine ? 0x0E : 0);
    Bt8370Write(ThisBt8370, BT_LBD, ThisBt8370->bL1Machine ? 0x38 : 0);
    Bt8370Write(ThisBt8370, BT_RALM, 0x20);
    Bt8370Write(ThisBt8370, BT_LATCH, 0);
    // 7.
    Bt8370Write(ThisBt8370, BT_TLIU_CR, (id == 2 || (id >= 4 && id <= 7)) ? 0x40 : 0);
    Bt8370Write(ThisBt8370, BT_TCR0, 0);
    Bt8370Write(ThisBt8370, BT_TCR1, 0);
    // 8.
    Bt8370Write(ThisBt8370, BT_TFRM, code == 3 ? 0x2F : code == 8 ? 0x1F : 0x0B);
    static const ULONG zeroTx[] = {BT_TERROR, BT_TMAN, BT_TALM, BT_TPATT, BT_TLB, BT_LBP};
    for (n = 0; n < sizeof zeroTx / sizeof zeroTx[0]; n++) Bt8370Write(ThisBt8370, zeroTx[n], 0);
    for (n = BT_TSA4; n <= BT_TSA8; n++) Bt8370Write(ThisBt8370, n, 0);
    // 9.
    Bt8370Write(ThisBt8370, BT_CLAD_CR, code == 3 ? 1 : 5);
    Bt8370Write(ThisBt8370, BT_CSEL, 0);
    Bt8370Write(ThisBt8370, BT_CPHASE, 0);
    Bt8370Write(ThisBt8370, BT_CTEST, 0);
    // 10. Bit-oriented message and data-link registers.
    static const UCHAR dl[][2] = {{0xA0, 0xA1}, {0xA4, 0xA7}, {0xAA, 0xAD}, {0xAF, 0xB2}, {0xB6, 0xB8}, {0xBB, 0xBE}};
    for (n = 0; n < sizeof dl / sizeof dl[0]; n++)
        for (k = dl[n][0]; k <= dl[n][1]; k++) Bt8370Write(ThisBt8370, k, 0);
    // 11.
    Bt8370Write(ThisBt8370, BT_SBI_CR, 0x40);
    Bt8370Write(ThisBt8370, BT_RSB_CR, 0xC8);
    Bt8370Write(ThisBt8370, BT_RSYNC_BIT, 0);
    Bt8370Write(ThisBt8370, BT_RSYNC_TS, 0);
    Bt8370Write(ThisBt8370, BT_TSB_CR, 0x80);
    Bt8370Write(ThisBt8370, BT_TSYNC_BIT, 0);
    Bt8370Write(ThisBt8370, BT_TSYNC_TS, 0);
    Bt8370Write(ThisBt8370, BT_RSIG_CR, 0);
    Bt8370Write(ThisBt8370, BT_RSYNC_FRM, 0);
    // 12.
    for (k = 0; k < BT8370_NUM_CHANNELS; k++) {
        Bt8370Write(ThisBt8370, BT_BANK(BT_SBC, k), 0);
        Bt8370ClearBanks(ThisBt8370, k);
    }
    return TRUE;
}

// ---- mode programming ----

// System bus by SystemBusMode: the low nibbles of CSEL and SBI_CR, and the mode that
// also programs the transmit sync registers.
typedef struct _BT8370_BUS_ROW {
    ULONG ModeA, ModeB;  // SystemBusMode values of the row
    UCHAR Csel, SbiCr;
    ULONG SyncModeA, SyncModeB;  // modes that also write TSYNC_TS and TSYNC_BIT
} BT8370_BUS_ROW;

static const BT8370_BUS_ROW Bt8370BusT1[] = {
    {1, 8, 2, 4, 8, 8},
    {2, 9, 3, 0, 9, 9},
};
static const BT8370_BUS_ROW Bt8370BusT1Other = {0, 0, 5, 7, 7, 7};
static const BT8370_BUS_ROW Bt8370BusE1[] = {
    {4, 11, 2, 4, 11, 11},
    {5, 12, 3, 0, 12, 12},
};
static const BT8370_BUS_ROW Bt8370BusE1Other = {0, 0, 1, 6, 6, 10};

static const BT8370_BUS_ROW* Bt8370BusRow(BOOLEAN T1, ULONG BusMode)
{
    const BT8370_BUS_ROW* rows = T1 ? Bt8370BusT1 : Bt8370BusE1;
    for (ULONG i = 0; i < 2; i++)
        if (rows[i].ModeA == BusMode || rows[i].ModeB == BusMode) return &rows[i];
    return T1 ? &Bt8370BusT1Other : &Bt8370BusE1Other;
}

BOOLEAN Bt8370ConfigureMode(Bt8370* ThisBt8370)
{
    Adapter* a = Bt8370Owner(ThisBt8370);
    BOOLEAN t1 = Bt8370IsT1(ThisBt8370);
    ULONG x = Bt8370FramingCode(ThisBt8370);
    ULONG lineCode = Bt8370LineParam(ThisBt8370, a->LineCode);
    ULONG busMode = Bt8370LineParam(ThisBt8370, a->SystemBusMode);
    UCHAR pulse = (UCHAR)((Bt8370LineParam(ThisBt8370, a->TxPulseTemplate) & 0x07) << 1);
    BOOLEAN rbs = ThisBt8370->bRbsMode != 0;
    BOOLEAN sig = ThisBt8370->bSigOption != 0;
    ULONG k;

    // 1.
    for (k = 0; k < BT8370_NUM_CHANNELS; k++) Bt8370Write(ThisBt8370, BT_BANK(BT_SBC, k), 1);
    // 2.
    if (t1) {
        Bt8370Write(ThisBt8370, BT_PCR0, (UCHAR)((Bt8370Read(ThisBt8370, BT_PCR0) & 0xE1) | (x << 1) | 1));
        Bt8370SetBits(ThisBt8370, BT_RCR0, 0x03);
    } else {
        Bt8370Write(ThisBt8370, BT_PCR0, (UCHAR)((Bt8370Read(ThisBt8370, BT_PCR0) & 0xE0) | (x << 1)));
        Bt8370SetBits(ThisBt8370, BT_RCR0, 0x09);
    }
    Bt8370SetBits(ThisBt8370, BT_TLIU_CR, pulse);
    Bt8370Write(ThisBt8370, BT_TCR0, (UCHAR)((Bt8370Read(ThisBt8370, BT_TCR0) & 0xF0) | x));
    Bt8370SetBits(ThisBt8370, BT_TCR1, t1 ? 0x04 : 0x10);
    // 3. Line code in TCR1 bits 1-0.
    UCHAR lc = lineCode == 3 ? 0 : (t1 && lineCode == 4) ? 2 : 1;
    Bt8370Write(ThisBt8370, BT_TCR1, (UCHAR)((Bt8370Read(ThisBt8370, BT_TCR1) & 0xFC) | lc));
    // 4. System bus.
    const BT8370_BUS_ROW* bus = Bt8370BusRow(t1, busMode);
    Bt8370Write(ThisBt8370, BT_CSEL, (UCHAR)((Bt8370Read(ThisBt8370, BT_CSEL) & 0xF0) | bus->Csel));
    Bt8370Write(ThisBt8370, BT_SBI_CR, (UCHAR)((Bt8370Read(ThisBt8370, BT_SBI_CR) & 0xF0) | bus->SbiCr));
    if (busMode == bus->SyncModeA || busMode == bus->SyncModeB) {
        Bt8370Write(ThisBt8370, BT_TSYNC_TS, 0x1F);
        Bt8370Write(ThisBt8370, BT_TSYNC_BIT, 4);
    }
    if (t1) {
        // 5. T1 signalling.
        if (x == 0) {
            for (k = 0; k < BT8370_NUM_CHANNELS; k++) Bt8370ClearBanks(ThisBt8370, k);
        } else if (x == 4 || x == 12 || x == 13) {
            for (k = 0; k < BT8370_NUM_CHANNELS && rbs; k++) {
                if (sig) Bt8370Write(ThisBt8370, BT_BANK(BT_RPC, k), x == 4 ? 0xA0 : 0x20);
                Bt8370Write(ThisBt8370, BT_BANK(BT_TPC, k), 0x10);
                if (x == 4) Bt8370SetBits(ThisBt8370, BT_BANK(BT_SBC, k), 0x02);
            }
            Bt8370Write(ThisBt8370, BT_RSIG_CR, (rbs && sig) ? 0x40 : 0);
        }
        // 6. Channel map: channel 0 and channels 25-31 are taken out.
        if (ThisBt8370->nMode & BT8370_MODE_T1_BUS_MAP) {
            static const ULONG outBanks[] = {BT_SBC, BT_TPC, BT_TSLIP_LO, BT_TSLIP_HI, BT_RPC, BT_RSLIP_LO, BT_RSLIP_HI};
            for (k = 0; k < BT8370_NUM_CHANNELS; k++) {
                if (k != 0 && k <= 24) continue;
                for (ULONG b = 0; b < sizeof outBanks / sizeof outBanks[0]; b++)
                    Bt8370Write(ThisBt8370, BT_BANK(outBanks[b], k), 0);
            }
        }
        if (lineCode == 1)
            for (k = 0; k < BT8370_NUM_CHANNELS; k++)
                if (Bt8370ChannelInUse(ThisBt8370, k)) Bt8370SetBits(ThisBt8370, BT_BANK(BT_TPC, k), 0x80);
    } else {
        // 7. E1 signalling.
        if (x == 0 && rbs) Bt8370Write(ThisBt8370, BT_RSIG_CR, 2);
        if ((x == 4 || x == 12) && rbs) Bt8370Write(ThisBt8370, BT_RSIG_CR, sig ? 4 : 0);
        for (k = 0; k < BT8370_NUM_CHANNELS; k++) Bt8370ClearBanks(ThisBt8370, k);
    }
    Bt8370DumpRegisters(ThisBt8370);
    return TRUE;
}

// ---- framer actions ----

static void Bt8370ForEachChannelInUse(Bt8370* ThisBt8370, void (*Fn)(Bt8370*, ULONG, UCHAR), UCHAR Value)
{
    for (ULONG k = 0; k < BT8370_NUM_CHANNELS; k++)
        if (Bt8370ChannelInUse(ThisBt8370, k)) Fn(ThisBt8370, k, Value);
}

// Transmit idle pattern on a channel: TPC bit 5 on and both slip bytes to Value.
static void Bt8370ChannelPattern(Bt8370* ThisBt8370, ULONG k, UCHAR Value)
{
    Bt8370SetBits(ThisBt8370, BT_BANK(BT_TPC, k), 0x20);
    Bt8370Write(ThisBt8370, BT_BANK(BT_TSLIP_LO, k), Value);
    Bt8370Write(ThisBt8370, BT_BANK(BT_TSLIP_HI, k), Value);
}

static void Bt8370ChannelPatternOff(Bt8370* ThisBt8370, ULONG k, UCHAR)
{
    Bt8370ClearBits(ThisBt8370, BT_BANK(BT_TPC, k), 0x20);
    Bt8370Write(ThisBt8370, BT_BANK(BT_TSLIP_LO, k), 0);
    Bt8370Write(ThisBt8370, BT_BANK(BT_TSLIP_HI, k), 0);
}

static void Bt8370ResetLocal(Bt8370* ThisBt8370)
{
    if (!Bt8370IsT1(ThisBt8370)) return;
    Bt8370PulseBit(ThisBt8370, BT_LIU_CR, 0x80);
    Bt8370PulseBit(ThisBt8370, BT_JAT_CR, 0x08);
    Bt8370PulseBit(ThisBt8370, BT_RSB_CR, 0x04);
    Bt8370PulseBit(ThisBt8370, BT_TSB_CR, 0x04);
}

static void Bt8370ClampDevice(Bt8370* ThisBt8370)
{
    Bt8370DisableInts(ThisBt8370);
    Bt8370ClearAuxFlag(ThisBt8370);
    Bt8370Write(ThisBt8370, BT_PIO, 0);
    Bt8370Write(ThisBt8370, BT_POE, 0x3F);
    Bt8370Write(ThisBt8370, BT_CMUX, 0);
    Bt8370ClearBits(ThisBt8370, BT_SBI_CR, 0x40);
}

static void Bt8370ResetGlobal(Bt8370* ThisBt8370)
{
    Adapter* a = Bt8370Owner(ThisBt8370);
    Bt8370Layer1Indication(ThisBt8370, L1_FORCE_DOWN);
    for (ULONG n = 0; n < a->NumberOfLines && n < MAX_LINES; n++) Bt8370ClampDevice(&a->Framer[n]);
    ResetAdapter(a);
}

BOOLEAN Bt8370Actions(Bt8370* ThisBt8370, ULONG Code, ULONG Argument, ULONG)
{
    Adapter* a = Bt8370Owner(ThisBt8370);
    ULONG k;
    RSS_TRACE("~~Bt8370Actions[%lu]: 0x%lx (%lu)\n", (unsigned long)ThisBt8370->nLine, (unsigned long)Code,
              (unsigned long)Argument);
    switch (Code) {
    case DEBUG_RX_CHABT:
        for (k = 0; k < BT8370_NUM_CHANNELS; k++)
            if (Bt8370ChannelInUse(ThisBt8370, k) && Bt8370Read(ThisBt8370, BT_BANK(BT_RSLIP_LO, k)) == 0xFF)
                ThisBt8370->nChAbortCount[k]++;
        if (ThisBt8370->CounterTimer.nRFRAME > 100000) Bt8370ClearBits(ThisBt8370, BT_IER(3), 0x01);
        break;
    case CLAMP_DEVICE: Bt8370ClampDevice(ThisBt8370); break;
    case RESET_LOCAL: Bt8370ResetLocal(ThisBt8370); break;
    case RESET_GLOBAL: Bt8370ResetGlobal(ThisBt8370); break;
    case SET_TX_PULSE_TEMPLATE:
        Bt8370ClearBits(ThisBt8370, BT_TLIU_CR, 0x0E);
        if (Argument <= 7) Bt8370SetBits(ThisBt8370, BT_TLIU_CR, (UCHAR)(Argument << 1));
        Bt8370ResetLocal(ThisBt8370);
        break;
    case SET_LBO_OPTION:
        Bt8370ClearBits(ThisBt8370, BT_TLIU_CR, 0x30);
        if (Argument <= 3) Bt8370SetBits(ThisBt8370, BT_TLIU_CR, (UCHAR)(Argument << 4));
        Bt8370ResetLocal(ThisBt8370);
        break;
    case TX_ISOLATED_PULSES:
    case TX_ALL_ONES:
        if (Argument != 1) {
            Bt8370ResetGlobal(ThisBt8370);
            break;
        }
        if (Code == TX_ISOLATED_PULSES) Bt8370Layer1Indication(ThisBt8370, L1_FORCE_DOWN);
        Bt8370Write(ThisBt8370, BT_JAT_CR, 0x44);
        Bt8370ResetLocal(ThisBt8370);
        Bt8370ForEachChannelInUse(ThisBt8370, Bt8370ChannelPattern, Code == TX_ISOLATED_PULSES ? 0x80 : 0xFF);
        Bt8370ResetLocal(ThisBt8370);
        break;
    case FORCE_LAYER2:
        Bt8370Layer1Indication(ThisBt8370, Argument == QSTACK_FORCE_ON    ? L1_FORCE_UP
                                           : Argument == QSTACK_FORCE_OFF ? L1_FORCE_DOWN
                                                                          : L1_RELEASE_HOLD);
        break;
    case CLAMP_TX:
        if (Argument == 1)
            Bt8370ForEachChannelInUse(ThisBt8370, Bt8370ChannelPattern, 0xFF);
        else
            Bt8370ForEachChannelInUse(ThisBt8370, Bt8370ChannelPatternOff, 0);
        Bt8370ResetLocal(ThisBt8370);
        break;
    case TOGGLE_LINE_LED:
        if (Argument == 10) {
            ThisBt8370->nLedPhase = ThisBt8370->nState == SYNCHRONIZED_ON ? 2 : 1;
        } else if ((Argument & 0xFF) == 0) {
            ULONG next = ThisBt8370->nLedPhase == 2 ? 1 : 2;
            AdapterSetLatchLed(a, ThisBt8370->nLine, next);
            ThisBt8370->nLedPhase = next;
            ThisBt8370->nLedLast = 0;  // the poll sets its LED again at the next change
        }
        break;
    case SET_RX_SENSITIVITY:
        if (Argument == 4) {
            Bt8370Write(ThisBt8370, BT_VGA_MAX, 0x34);
            Bt8370Write(ThisBt8370, BT_PRE_EQ, 0xA6);
        } else if (Argument == 5) {
            Bt8370Write(ThisBt8370, BT_VGA_MAX, 0x3F);
            Bt8370Write(ThisBt8370, BT_PRE_EQ, 0xE6);
        } else {
            Bt8370Write(ThisBt8370, BT_VGA_MAX, Bt8370IsT1(ThisBt8370) ? 0x21 : 0x1D);
            Bt8370Write(ThisBt8370, BT_PRE_EQ, 0xA6);
        }
        Bt8370ResetLocal(ThisBt8370);
        break;
    case SET_TX_ALARM_MODE:
        if (Argument == 1) {
            Bt8370SetBits(ThisBt8370, BT_TFRM, 0x10);
            Bt8370ClearBits(ThisBt8370, BT_TALM, 0x02);
            Bt8370SetBits(ThisBt8370, BT_TALM, 0x10);
            Bt8370SetBits(ThisBt8370, BT_IER7, 0x40);
        } else {
            Bt8370ClearBits(ThisBt8370, BT_TFRM, 0x10);
            Bt8370ClearBits(ThisBt8370, BT_TALM, 0x12);
        }
        break;
    default: break;
    }
    return TRUE;
}

// ---- line-interface actions ----

static const UCHAR Bt8370EqualiserRam[8] = {0xEC, 0x63, 0x3B, 0xF5, 0xE7, 0xFF, 0x00, 0xFF};
static const ULONG Bt8370SavedRegs[5] = {BT_CSEL, BT_SBI_CR, BT_RSYNC_TS, BT_RSYNC_BIT, BT_TSYNC_TS};

static BOOLEAN Bt8370BusModeIsPlain(ULONG BusMode) { return BusMode == 0 || BusMode == 2 || BusMode == 6; }

BOOLEAN Bt8370LineIntfAction(Bt8370* ThisBt8370, ULONG Code)
{
    Adapter* a = Bt8370Owner(ThisBt8370);
    ULONG x = ThisBt8370->nDeviceCode;
    ULONG id = a->AdapterID;
    ULONG line = ThisBt8370->nLine;
    ULONG busMode = Bt8370LineParam(ThisBt8370, a->SystemBusMode);
    BOOLEAN netSide = Bt8370LineParam(ThisBt8370, a->NetworkSide) != 0;
    ULONG i;

    switch (Code) {
    case 0x81:
        if (x != 3) break;
        for (i = 0; i < 5; i++) ThisBt8370->SaveWord[i] = Bt8370Read(ThisBt8370, Bt8370SavedRegs[i]);
        Bt8370Write(ThisBt8370, BT_CSEL, 5);
        Bt8370SetBits(ThisBt8370, BT_SBI_CR, 0x07);
        Bt8370Write(ThisBt8370, BT_RSYNC_TS, 4);
        Bt8370Write(ThisBt8370, BT_RSYNC_BIT, 4);
        Bt8370Write(ThisBt8370, BT_TSYNC_TS, 4);
        break;
    case 0x82:
        if (x != 3) break;
        for (i = 0; i < 5; i++) Bt8370Write(ThisBt8370, Bt8370SavedRegs[i], (UCHAR)ThisBt8370->SaveWord[i]);
        break;
    case 0x83:
    case 0x88:
        if (x != 3 && x != 4) break;
        for (i = 0; i < 8; i++) {
            Bt8370Write(ThisBt8370, BT_EQ_PTR, (UCHAR)i);
            Bt8370Write(ThisBt8370, BT_EQ_DAT, Bt8370EqualiserRam[i]);
        }
        Bt8370Write(ThisBt8370, BT_RLIU_CR, 0x38);
        Bt8370Write(ThisBt8370, BT_EQ_DAT, 0x80);
        Bt8370Write(ThisBt8370, BT_LIU_CR, 0x80);
        Bt8370Write(ThisBt8370, BT_LIU_CR, 0);
        break;
    case 0x84: {
        if (x != 3) break;
        UCHAR gain = Bt8370Read(ThisBt8370, BT_VGA);
        if (gain >= 0x26) {
            Bt8370Write(ThisBt8370, BT_PRE_EQ, 0xC0);
            Bt8370ClearBits(ThisBt8370, BT_RLIU_CR, 0x08);
        } else if (gain >= 0x17) {
            Bt8370Write(ThisBt8370, BT_PRE_EQ, 0);
            Bt8370ClearBits(ThisBt8370, BT_RLIU_CR, 0x08);
        } else {
            Bt8370Write(ThisBt8370, BT_PRE_EQ, 0);
            Bt8370SetBits(ThisBt8370, BT_RLIU_CR, 0x08);
        }
        Bt8370PulseBit(ThisBt8370, BT_LIU_CR, 0x80);
        break;
    }
    case 0x85: {
        if (x != 3) break;
        static const ULONG copied[] = {BT_DSLICE, BT_CSLICE, BT_PRE_EQ};
        Bt8370* first = &a->Framer[0];
        for (ULONG n = 2; n < 4 && n < a->NumberOfLines; n++) {
            Bt8370* to = &a->Framer[n];
            for (i = 0; i < 3; i++) Bt8370Write(to, copied[i], Bt8370Read(first, copied[i]));
            for (i = BT_COEFF0; i <= BT_GAIN4; i++) Bt8370Write(to, i, Bt8370Read(first, i));
        }
        break;
    }
    case 0x86:
        if (id < 2 || id > 7 || x != 3 || (line != 2 && line != 3)) break;
        Bt8370Write(ThisBt8370, BT_LIU_CR, 0x40);
        Bt8370Write(ThisBt8370, BT_RLIU_CR, 0x30);
        Bt8370Write(ThisBt8370, BT_VGA_MAX, 0x1F);
        Bt8370Write(ThisBt8370, BT_PRE_EQ, 0x80);
        break;
    case 0x87:
        if (a->NetworkSide[0] == 0 && a->NetworkSide[1] == 0) break;
        Bt8370Write(ThisBt8370, BT_CMUX, 0x41);
        Bt8370Write(ThisBt8370, BT_JAT_CR, 0x84);
        if (netSide) Bt8370SetBits(ThisBt8370, BT_JAT_CR, 0x40);
        break;
    case 0x89:
    case 0x8A:
        if (x != 4) break;
        if (Bt8370BusModeIsPlain(busMode)) Bt8370Write(ThisBt8370, BT_CMUX, 0xF1);
        Bt8370Write(ThisBt8370, BT_JAT_CR, 0x44);
        Bt8370PulseBit(ThisBt8370, BT_JAT_CR, 0x08);
        if (Code == 0x89) {
            Bt8370ClearBits(ThisBt8370, BT_RSB_CR, 0x10);
            Bt8370SetBits(ThisBt8370, BT_RSB_CR, 0x20);
            Bt8370PulseBit(ThisBt8370, BT_RSB_CR, 0x04);
        }
        Bt8370ClearBits(ThisBt8370, BT_TCR1, 0x60);
        Bt8370SetBits(ThisBt8370, BT_SBI_CR, 0x10);
        if (Code == 0x89) {
            Bt8370ClearBits(ThisBt8370, BT_TSB_CR, 0x10);
            Bt8370SetBits(ThisBt8370, BT_TSB_CR, 0x20);
        }
        Bt8370ClearBits(ThisBt8370, BT_TSB_CR, 0x48);
        Bt8370ClearBits(ThisBt8370, BT_PIO, 0x01);
        Bt8370PulseBit(ThisBt8370, BT_TSB_CR, 0x04);
        break;
    case 0x8B:
        if (x != 4) break;
        Bt8370Write(ThisBt8370, BT_PRE_EQ, 0x80);
        if (Bt8370BusModeIsPlain(busMode)) Bt8370Write(ThisBt8370, BT_CMUX, 0xF1);
        Bt8370Write(ThisBt8370, BT_JAT_CR, 0x24);
        Bt8370ClearBits(ThisBt8370, BT_TCR1, 0x60);
        Bt8370SetBits(ThisBt8370, BT_SBI_CR, 0x10);
        Bt8370ClearBits(ThisBt8370, BT_TSB_CR, 0x48);
        Bt8370ClearBits(ThisBt8370, BT_PIO, 0x01);
        Bt8370PulseBit(ThisBt8370, BT_TSB_CR, 0x04);
        break;
    case 0x8E:
    case 0x8F:
        if (id == 2 || (id >= 4 && id <= 7)) {
            Bt8370Write(ThisBt8370, BT_JAT_CR, 0x84);
            Bt8370Write(ThisBt8370, BT_PRE_EQ, Bt8370LineParam(ThisBt8370, a->TxPulseTemplate) == 7 ? 0xE6 : 0xA6);
            Bt8370Write(ThisBt8370, BT_CMUX, 0xF1);
            Bt8370Write(ThisBt8370, BT_PIO, Code == 0x8E ? 0xF2 : 0xF8);
            Bt8370ClearBits(ThisBt8370, BT_RCR0, 0x60);
            if (Code == 0x8F) Bt8370SetBits(ThisBt8370, BT_TCR1, 0x40);
            Bt8370ClearBits(ThisBt8370, BT_TCR1, Code == 0x8E ? 0x60 : 0x20);
            Bt8370SetBits(ThisBt8370, BT_SBI_CR, 0x10);
            if (Code == 0x8E) {
                Bt8370ClearBits(ThisBt8370, BT_TSB_CR, 0x40);
                Bt8370SetBits(ThisBt8370, BT_TSB_CR, 0x08);
            } else {
                Bt8370ClearBits(ThisBt8370, BT_TSB_CR, 0x48);
            }
        }
        Bt8370ResetLocal(ThisBt8370);
        break;
    case 0x90:
        Bt8370Write(ThisBt8370, BT_JAT_CR, 0x84);
        if (netSide) Bt8370SetBits(ThisBt8370, BT_JAT_CR, 0x40);
        Bt8370Write(ThisBt8370, BT_CMUX, 0xF1);
        Bt8370Write(ThisBt8370, BT_PIO, 0xF8);
        Bt8370ClearBits(ThisBt8370, BT_RCR0, 0x60);
        Bt8370SetBits(ThisBt8370, BT_TCR1, 0x40);
        Bt8370ClearBits(ThisBt8370, BT_TCR1, 0x20);
        Bt8370SetBits(ThisBt8370, BT_SBI_CR, 0x10);
        Bt8370ClearBits(ThisBt8370, BT_TSB_CR, 0x48);
        Bt8370ResetLocal(ThisBt8370);
        break;
    case 0x91:
        Bt8370ClearBits(ThisBt8370, BT_LIU_CR, 0x40);
        Bt8370SetBits(ThisBt8370, BT_LIU_CR, 0x01);
        Bt8370Write(ThisBt8370, BT_RLIU_CR, (UCHAR)(Bt8370Read(ThisBt8370, BT_RLIU_CR) & 0x3F));
        Bt8370Write(ThisBt8370, BT_VGA_MAX, 0x34);
        Bt8370Write(ThisBt8370, BT_DSLICE, 0xBA);
        Bt8370Write(ThisBt8370, BT_CSLICE, 0xDA);
        Bt8370Write(ThisBt8370, BT_CLAD_CR, 0x08);
        Bt8370ResetLocal(ThisBt8370);
        break;
    case 0x92:
        Bt8370SetBits(ThisBt8370, BT_PIO, 0x10);
        Bt8370ClearBits(ThisBt8370, BT_POE, 0x08);
        Bt8370SetBits(ThisBt8370, BT_SBI_CR, 0x40);
        Bt8370ClearBits(ThisBt8370, BT_RSB_CR, 0x20);
        Bt8370SetBits(ThisBt8370, BT_BANK(BT_SBC, 0), 0x08);
        break;
    default: break;
    }
    return TRUE;
}
