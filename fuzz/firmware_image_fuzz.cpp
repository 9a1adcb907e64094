// The desktop upgrader's firmware loader and its page cutting, driven through
// the upgrade engine with any header, any file size and any order of
// acknowledgements (and reloads mid-run): a page is only ever cut whole from
// inside the image in memory, or the upgrade stops.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "tests/upgrader/support/fake_view.h"
#include "fuzz_check.h"
#include "link/frame.h"
#include "temp_file.h"
#include "upgrader/engine/upgrade_engine.h"

namespace {

using engine::Bytes;

void checkLoad(const Bytes& file) {
    writeScratch(file);
    const engine::LoadResult r = engine::loadFirmwareImage(scratchPath());
    if (file.size() < 8) {
        FUZZ_CHECK(!r.image && r.error == engine::LoadError::TooShort);
        return;
    }
    FUZZ_CHECK(r.image && r.image->binbytes == file);
    for (std::size_t i = 0; i < 3; ++i) {
        const auto raw = static_cast<std::uint16_t>(file[2 + 2 * i] | file[3 + 2 * i] << 8);
        FUZZ_CHECK(r.image->pageCount[i] == raw);
    }
}

// A page cut that did not stop the run lies whole inside the image. (A
// reload may leave the position past a shorter image until the next cut.)
void checkPosition(const engine::UpgradeEngine& engine, const test_support::FakeView& view, std::size_t& cuts) {
    const std::size_t now = view.logsStartingWith("bin file offset: ").size();
    const bool cut = now != cuts;
    cuts = now;
    if (!cut || !engine.upgradeStarted()) return;
    FUZZ_CHECK(engine.state().binbytes != nullptr);
    const std::int64_t at = *engine.state().curoffset;
    FUZZ_CHECK(at >= 8 && at + 1024 <= static_cast<std::int64_t>(engine.state().binbytes->size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider in(bytes, size);
    // Small page counts and sizes keep runs short; the file is cut from the input.
    Bytes file = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 12));
    const std::size_t body =
        in.ConsumeIntegralInRange<std::size_t>(0, 9) * 1024 + in.ConsumeIntegralInRange<std::size_t>(0, 9) * 97;
    file.resize(file.size() < 8 ? file.size() : file.size() + body, 0xA5);
    checkLoad(file);

    test_support::FakeView view;
    engine::UpgradeEngine engine(view, view, view.timerFactory());
    engine.getFileInfo(scratchPath());
    std::size_t cuts = 0;
    engine.bt_startUpgradePressed();
    checkPosition(engine, view, cuts);
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 5)) {
            case 0:
            case 1:
                engine.processGimbleResponse(gimbal::blockAckFrame(0));
                break;
            case 2:
                engine.processGimbleResponse(gimbal::switchAckFrame());
                break;
            case 3:
                engine.bt_startUpgradePressed();
                break;
            case 4: {  // another file, possibly shorter, mid-run
                Bytes other = file;
                other.resize(in.ConsumeIntegralInRange<std::size_t>(0, file.size()));
                writeScratch(other);
                engine.getFileInfo(scratchPath());
                break;
            }
            default:
                engine.processGimbleResponse(in.ConsumeBytes<std::uint8_t>(12));
                break;
        }
        checkPosition(engine, view, cuts);
    }
    return 0;
}
