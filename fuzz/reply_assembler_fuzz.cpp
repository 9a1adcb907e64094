// quenlo-flash's reply assembler: any stream, cut into reads of any size at
// any times. Never more is held than a reply can be, every frame it gives is
// whole and comes from the stream, and a sound reply pushed after the noise
// (once stale bytes are skipped) is always found.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

#include "fuzz_check.h"
#include "link/frame.h"
#include "link/frame_assembler.h"

namespace {

using gimbal::Bytes;
using Clock = gimbal::FrameAssembler::TimePoint;

void checkPieces(const std::vector<gimbal::FrameAssembler::Piece>& pieces) {
    for (const auto& piece : pieces) {
        FUZZ_CHECK(piece.frame.size() >= gimbal::kFrameOverhead);
        FUZZ_CHECK(piece.frame.size() <= gimbal::ReplyFrameAssembler::kLargestReply);
        FUZZ_CHECK(piece.frame[0] == 0x55 && piece.frame[1] == 0xAA);
    }
}

bool holds(const std::vector<gimbal::FrameAssembler::Piece>& pieces, const Bytes& frame) {
    return std::any_of(pieces.begin(), pieces.end(),
                       [&](const auto& p) { return p.crcHolds && p.frame == frame; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    gimbal::ReplyFrameAssembler assembler(in.ConsumeBool() ? 115200 : 9600);
    Clock now{};
    while (in.remaining_bytes() > 0) {
        const Bytes chunk = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(1, 64));
        now += std::chrono::milliseconds(in.ConsumeIntegralInRange<int>(0, 400));
        checkPieces(assembler.skipStale(now));
        checkPieces(assembler.push(chunk, now));
        FUZZ_CHECK(assembler.buffered() < gimbal::ReplyFrameAssembler::kLargestReply);
    }
    // Whatever the noise left, a reply that comes a while later is taken.
    const Bytes reply = gimbal::buildFrame(0x00, 0x02, Bytes{0x01, 0x00});
    now += std::chrono::seconds(5);
    auto pieces = assembler.skipStale(now);
    const auto more = assembler.push(reply, now);
    pieces.insert(pieces.end(), more.begin(), more.end());
    FUZZ_CHECK(holds(pieces, reply));
    return 0;
}
