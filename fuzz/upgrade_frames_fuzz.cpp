// The desktop upgrader's response recognition (and the three-axis side's),
// its version text and its page frame for blocks of any size: checked
// against the recognition rules
// written out again here, without reading past the chunk.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "link/frame.h"
#include "upgrader/engine/upgrade_frames.h"

namespace {

using engine::ResponseKind;

ResponseKind expectedKind(const std::vector<std::uint8_t>& c) {
    if (c.size() < 4 || c[0] != 0x55 || c[1] != 0xAA) return ResponseKind::NotAFrame;
    if (c[2] != 0x00) return ResponseKind::OtherFrame;
    if (c[3] == 0x00) return c.size() == 12 || c.size() == 32 ? ResponseKind::VersionReport : ResponseKind::OtherFrame;
    if (c[3] == 0x03) return ResponseKind::PageAck;
    if (c[3] == 0x08) return ResponseKind::SwitchAck;
    return ResponseKind::OtherFrame;
}

std::string dottedRef(int a, int b, int c, int d) {
    return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d);
}

void checkVersionText(std::int16_t v) {
    const std::string shortText = engine::versionText(v, 12);
    FUZZ_CHECK(shortText.find('.') != std::string::npos);
    FUZZ_CHECK(std::strtod(shortText.c_str(), nullptr) == v / 100.0);
    const std::string longText = engine::versionText(v, 32);
    const int n = v;
    FUZZ_CHECK(longText == (n > 9999 ? dottedRef(n / 10000, n % 10000 / 1000, n % 1000 / 100, n % 100)
                                     : dottedRef(n / 1000, n % 1000 / 100, n % 100 / 10, n % 10)));
    FUZZ_CHECK(engine::connectedStatusText(v, 32) == "Gimbal Connected, current firmware version V" + longText);
}

void checkPageFrame(std::uint16_t page, const std::vector<std::uint8_t>& block) {
    const auto frame = engine::pageDataFrame(page, block);
    if (block.size() != 1024) {
        FUZZ_CHECK(frame.empty());
        return;
    }
    FUZZ_CHECK(frame.size() == 1036);
    const gimbal::FrameCheck check = gimbal::checkFrame(frame);
    FUZZ_CHECK(check.status == gimbal::FrameStatus::Sound);
    FUZZ_CHECK(frame[3] == 0x02 && frame[4] == 0x04 && frame[5] == 0x04);
    FUZZ_CHECK(frame[6] == (page & 0xFF) && frame[7] == (page >> 8) && frame[8] == 0 && frame[9] == 0);
    FUZZ_CHECK(std::equal(block.begin(), block.end(), frame.begin() + 10));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider in(bytes, size);
    const auto version = in.ConsumeIntegral<std::int16_t>();
    const auto page = in.ConsumeIntegral<std::uint16_t>();
    const bool asPage = in.ConsumeBool();
    // An exact-size copy, so ASan sees a read one past the chunk.
    const std::vector<std::uint8_t> chunk = in.ConsumeRemainingBytes<std::uint8_t>();

    const engine::Response r = engine::recogniseResponse(chunk);
    FUZZ_CHECK(r.kind == expectedKind(chunk));
    if (r.kind == ResponseKind::VersionReport) {
        FUZZ_CHECK(r.length == chunk.size());
        FUZZ_CHECK(r.version == static_cast<std::int16_t>(chunk[8] | chunk[9] << 8));
    }
    // The three-axis reading takes only a whole frame whose CRC holds.
    const engine::Response t = engine::recogniseThreeAxisResponse(chunk);
    const gimbal::FrameCheck whole = gimbal::checkFrame(chunk);
    FUZZ_CHECK((t.kind != ResponseKind::NotAFrame) ==
               (whole.status == gimbal::FrameStatus::Sound && whole.frame.size == chunk.size()));
    if (t.kind == ResponseKind::VersionReport) FUZZ_CHECK(t.blockSize == (chunk[6] | chunk[7] << 8));
    checkVersionText(version);
    if (asPage) {
        std::vector<std::uint8_t> block = chunk;
        if (block.size() > 1000 && block.size() < 1100) block.resize(1024);
        checkPageFrame(page, block);
    }
    return 0;
}
