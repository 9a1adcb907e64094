// quenlo-flash's reply assembler: any stream, cut into reads of any size.
// Never more is held than a reply can be, every frame it gives is whole and
// comes from the stream, and a sound reply pushed after the noise always
// brings a sound frame out: the reply, or (when the noise and the reply's
// first bytes happen to make one) that frame. Nothing wedges it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

#include "fuzz_check.h"
#include "link/frame.h"
#include "link/frame_assembler.h"

namespace {

using gimbal::Bytes;

void checkPieces(const std::vector<gimbal::FrameAssembler::Piece>& pieces) {
    for (const auto& piece : pieces) {
        FUZZ_CHECK(piece.frame.size() >= gimbal::kFrameOverhead);
        FUZZ_CHECK(piece.frame.size() <= gimbal::ReplyFrameAssembler::kLargestReply);
        FUZZ_CHECK(piece.frame[0] == 0x55 && piece.frame[1] == 0xAA);
    }
}

bool anySound(const std::vector<gimbal::FrameAssembler::Piece>& pieces) {
    return std::any_of(pieces.begin(), pieces.end(), [](const auto& p) { return p.crcHolds; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    gimbal::ReplyFrameAssembler assembler;
    while (in.remaining_bytes() > 0) {
        const Bytes chunk = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(1, 64));
        checkPieces(assembler.push(chunk));
        FUZZ_CHECK(assembler.buffered() < gimbal::ReplyFrameAssembler::kLargestReply);
        FUZZ_CHECK(assembler.takeDropped().bytes.size() <= gimbal::FrameAssembler::kDroppedKept);
    }
    const auto pieces = assembler.push(gimbal::buildFrame(0x00, 0x02, Bytes{0x01, 0x00}));
    checkPieces(pieces);
    FUZZ_CHECK(anySound(pieces));
    return 0;
}
