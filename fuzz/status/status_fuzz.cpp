// Poll records and alert lists as a printer might report them, texts full to
// the last byte of their fields included, through the status words, the
// detail values, the bin configuration builder and the walk guard. The
// interpretation must stay inside its inputs and give the same answer twice.
#include "state/bintables.h"
#include "status/statuswords.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t Byte() {
        if (!n) return 0;
        --n;
        return *p++;
    }
    uint32_t Word() {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w |= static_cast<uint32_t>(Byte()) << (8 * i);
        return w;
    }
    size_t Take(void* out, size_t want) {
        size_t k = want < n ? want : n;
        if (!k) return 0;
        memcpy(out, p, k);
        p += k;
        n -= k;
        return k;
    }
};

bool Same(const StatusOutcome& a, const StatusOutcome& b) {
    return memcmp(a.adwNew, b.adwNew, sizeof(a.adwNew)) == 0 && a.scan.dwClassWord == b.scan.dwClassWord &&
           memcmp(a.scan.dwAlertDetail, b.scan.dwAlertDetail, sizeof(a.scan.dwAlertDetail)) == 0 &&
           a.scan.bPrinterReset == b.scan.bPrinterReset && a.bJobLost == b.bJobLost &&
           a.bPowerSaveChanged == b.bPowerSaveChanged;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader r{data, size};
    auto poll = std::make_unique<PollRecord>();
    memset(poll.get(), 0, sizeof(PollRecord));
    poll->dwHrDeviceStatus = r.Byte() & 7;
    poll->dwHrPrinterStatus = r.Byte() & 7;
    uint8_t flags = r.Byte();
    poll->dwPowerSave = flags & 1;
    poll->dwMibFlags = r.Word();
    poll->dwLangFlags = r.Word();
    poll->dwHrErrorState = r.Word();
    StatusInputs in{};
    for (uint32_t& w : in.adwOld) w = r.Word();
    in.bInDoc = flags & 2;
    in.bJobQueued = flags & 4;
    in.bDataSent = flags & 8;
    in.bPrintingJob = flags & 16;
    if (flags & 32) poll->OptionBin[1].dwId = OPTION_STACKER_TRAY;

    // Input bins as raw 64-byte records: names need not end in a zero.
    poll->dwInputCount = r.Byte();
    for (uint32_t i = 0; i < POLL_INPUT_BINS && i < (poll->dwInputCount & 7); ++i)
        r.Take(&poll->InputBin[i], sizeof(InputBinRecord));

    // A stored bin configuration of any length, in a block of its own size.
    size_t cbBins = r.Byte() % (kBinConfigSize + 8);
    std::vector<uint8_t> bins(cbBins);
    r.Take(bins.data(), cbBins);
    std::unique_ptr<uint8_t[]> binBlock(cbBins ? new uint8_t[cbBins] : nullptr);
    if (cbBins) memcpy(binBlock.get(), bins.data(), cbBins);

    // Alerts: known texts by index, or raw texts up to the full field.
    poll->dwAlertCount = r.Byte();   // may claim more rows than were read
    for (uint32_t i = 0; i < POLL_ALERTS && r.n; ++i) {
        uint8_t sel = r.Byte();
        if (sel < 72) {
            strcpy(poll->szAlert[i], kDetailedAlerts[sel].pszText);
        } else if (sel < 78) {
            strcpy(poll->szAlert[i], kNoPaperBins[sel - 72].pszText);
        } else {
            size_t len = r.Byte() + (sel & 1 ? 1 : 0);
            r.Take(poll->szAlert[i], len > POLL_TEXT ? POLL_TEXT : len);
        }
    }

    StatusOutcome a, b;
    ComputeStatus(*poll, binBlock.get(), cbBins, in, &a);
    ComputeStatus(*poll, binBlock.get(), cbBins, in, &b);
    if (!Same(a, b)) abort();
    if ((a.adwNew[WORD_L] & L_ONLINE) == ((a.adwNew[WORD_L] & L_OFFLINE) ? L_ONLINE : 0)) abort();
    if (a.adwNew[WORD_H] != in.adwOld[WORD_H] || (a.adwNew[WORD_M] & M_FIXED_STATES)) abort();
    if (IconClassOf(a.adwNew[0], a.adwNew[1], a.adwNew[2]) > 2) abort();
    (void)PaperJamValue(a.scan.dwAlertDetail[DETAIL_JAM], flags & 32);
    uint32_t bin = BinIdOfDetail(a.scan.dwAlertDetail[DETAIL_NO_PAPER]);
    if (bin > 5 && bin != BIN_TRAY) abort();

    uint8_t cfg1[kBinConfigSize], cfg2[kBinConfigSize];
    uint32_t f1, f2;
    BuildBinConfig(*poll, cfg1, &f1);
    BuildBinConfig(*poll, cfg2, &f2);
    if (memcmp(cfg1, cfg2, sizeof(cfg1)) != 0 || f1 != f2) abort();
    uint8_t emu[kEmulationMax];
    if (BuildEmulationInfo(poll->dwLangFlags, emu) > kEmulationMax) abort();

    char display[CONSOLE_BUFFER];
    memcpy(display, poll->szAlert[0], sizeof(display));
    uint32_t number;
    (void)HardwareErrorOfDisplay(display, &number);

    // The walk guard over two names taken from the alert texts.
    char before[POLL_TEXT + 1] = {}, after[POLL_TEXT + 1] = {};
    memcpy(before, poll->szAlert[1], POLL_TEXT);
    memcpy(after, poll->szAlert[2], POLL_TEXT);
    if (OidAdvances(before, after) && OidAdvances(after, before)) abort();
    if (OidAdvances(before, before)) abort();
    (void)OidInSubtree(after, before);
    return 0;
}
