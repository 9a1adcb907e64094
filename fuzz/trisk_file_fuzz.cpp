// The three-axis updater's file check and its block cutting: any file (0 to
// 524288 bytes and more) loaded as the dialog's choice, then a run with any block
// size, announcements changing it mid-run and acknowledgements in any order.
// Every block frame built must carry bytes of the loaded file, whole.
#include <fuzzer/FuzzedDataProvider.h>

#include <QFile>
#include <QTextBrowser>

#include <memory>

#include "fuzz_check.h"
#include "link/firmware_file.h"
#include "temp_file.h"
#include "trisk_harness.h"
#include "widget_probe.h"

namespace {

using gimbal::Bytes;

struct Fixture {
    Fixture() : window(std::make_unique<trisk::Widget>()), probe(*window) { probe.holdClocks(); }
    std::unique_ptr<trisk::Widget> window;
    WidgetProbe probe;
};

Bytes fileFrom(FuzzedDataProvider& in) {
    Bytes file = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 16));
    // Files at the size limit are rare: checking one's CRC takes as long as a
    // few hundred small runs.
    const int kind = in.ConsumeIntegralInRange<int>(0, 511);
    if (kind == 0)
        file.resize(524287 + in.ConsumeIntegralInRange<std::size_t>(0, 2), 0x3C);
    else if (kind < 128)
        file.resize(file.size() + in.ConsumeIntegralInRange<std::size_t>(0, 8200), 0x3C);
    return file;
}

// `fresh`: loaded just now, so the text area still shows the outcome.
void checkLoaded(const Fixture& f, const Bytes& file, bool fresh) {
    const QString shown = f.probe.text();
    if (file.size() >= 524288) {
        FUZZ_CHECK(!fresh || shown == QStringLiteral("The length of the file is out of range！"));
        FUZZ_CHECK(f.probe.file_len() == 0);
        return;
    }
    FUZZ_CHECK(f.probe.file_len() == file.size());
    FUZZ_CHECK(std::equal(file.begin(), file.end(), f.probe.file_buf().begin()));
    // The CRC of a large file is most of a run's time: only for what was shown.
    if (!fresh) return;
    const bool ok = gimbal::firmwareCrcHolds(file);
    FUZZ_CHECK(shown.endsWith(ok ? QStringLiteral("\nFILE OK") : QStringLiteral("\nFILE FAIL")));
}

// A block frame just built lies whole inside the loaded bytes and carries them.
void checkBlockSent(const Fixture& f, quint16 sizeAtSend) {
    const std::size_t at = f.probe.block_offset();
    FUZZ_CHECK(at >= 8 && at + sizeAtSend <= f.probe.file_len());
    const auto& tx = f.probe.tx_buf();
    FUZZ_CHECK(f.probe.resend_len() == sizeAtSend + 12);
    FUZZ_CHECK(std::equal(tx.begin() + 10, tx.begin() + 10 + sizeAtSend, f.probe.file_buf().begin() + at));
}

void run(Fixture& f, FuzzedDataProvider& in) {
    f.probe.send_state() = 1;
    for (int step = 0; step < 200 && f.probe.send_state() != 0 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 5)) {
            case 0:
                f.probe.feed(gimbal::blockAckFrame(f.probe.block_index()));
                break;
            case 1:
                f.probe.feed(gimbal::switchAckFrame());
                break;
            case 2:
                f.probe.feed(gimbal::announcementFrame(in.ConsumeIntegral<std::uint16_t>(), 100));
                break;
            case 3:
                f.probe.feed(gimbal::blockAckFrame(in.ConsumeIntegral<std::uint16_t>()));
                break;
            default:
                break;
        }
        const quint8 before = f.probe.send_state();
        const quint16 size = f.probe.block_size();
        f.probe.step();
        if (before == 9 && f.probe.send_state() == 10) checkBlockSent(f, size);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    trisk_fuzz::ensureApplication();
    // Never destroyed: Qt's thread data is gone by the time statics are.
    static Fixture& f = *new Fixture;
    FuzzedDataProvider in(data, size);
    const Bytes file = fileFrom(in);
    f.probe.send_state() = 0;
    // A run never changes what a load left, so loading the same bytes again
    // would change nothing: it is skipped then. The file dialog is left out
    // (what the window does once a file is chosen is what is fuzzed here; a
    // dialog per input would allow a few dozen inputs a second).
    static Bytes loaded;
    static bool anyLoaded = false;
    const bool fresh = !anyLoaded || file != loaded;
    if (fresh) {
        writeScratch(file);
        f.probe.loadChosen(QString::fromStdString(scratchPath()));
        loaded = file;
        anyLoaded = true;
    }
    checkLoaded(f, file, fresh);

    f.probe.block_size() = in.ConsumeBool() ? 1024 : in.ConsumeIntegral<std::uint16_t>();
    f.probe.slave_index() = 0;
    run(f, in);
    f.probe.send_state() = 0;
    return 0;
}
