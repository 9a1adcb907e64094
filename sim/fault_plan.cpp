#include "sim/fault_plan.h"

#include <algorithm>

#include "link/frame.h"

namespace sim {

std::uint64_t mix64(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

Fault chooseFault(const ReplyInfo& info, const Options& options, const FaultPolicy& policy) {
    if (info.number >= options.silentAfter) return Fault::Silent;
    if (info.number == options.vanishAfter) return Fault::Vanish;
    return policy ? policy(info) : Fault::None;
}

Bytes noiseBytes(std::size_t count, std::uint64_t seed) {
    Bytes noise(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto b = static_cast<std::uint8_t>(mix64(seed + i) & 0xFF);
        noise[i] = b == gimbal::kSync1 ? 0x00 : b;
    }
    return noise;
}

namespace {

Bytes withWrongAddress(Bytes frame) {
    if (frame.size() < gimbal::kFrameOverhead) return frame;
    frame[2] = 0x01;
    const std::size_t checked = frame.size() - 4;  // address through payload
    const std::uint16_t crc = gimbal::frameCrc(gimbal::ByteView(frame).subspan(2, checked));
    frame[frame.size() - 2] = static_cast<std::uint8_t>(crc & 0xFF);
    frame[frame.size() - 1] = static_cast<std::uint8_t>(crc >> 8);
    return frame;
}

std::vector<PlannedWrite> splitInto(const Bytes& frame, std::size_t pieces, Nanos gap) {
    pieces = std::clamp<std::size_t>(pieces, 1, std::max<std::size_t>(frame.size(), 1));
    std::vector<PlannedWrite> writes;
    std::size_t start = 0;
    for (std::size_t i = 0; i < pieces; ++i) {
        const std::size_t end = frame.size() * (i + 1) / pieces;
        PlannedWrite w;
        w.after = i == 0 ? Nanos::zero() : gap;
        w.bytes.assign(frame.begin() + static_cast<std::ptrdiff_t>(start),
                       frame.begin() + static_cast<std::ptrdiff_t>(end));
        start = end;
        writes.push_back(std::move(w));
    }
    writes.back().completesReply = true;
    return writes;
}

}  // namespace

std::vector<PlannedWrite> planReply(const Bytes& frame, Fault fault, const Options& options, std::uint64_t seed) {
    PlannedWrite one{Nanos::zero(), frame, true};
    switch (fault) {
        case Fault::Drop:
        case Fault::Silent:
        case Fault::Vanish:
        case Fault::Restart:
            return {};
        case Fault::Stray:
            one.bytes = kStrayBytes;
            one.bytes.insert(one.bytes.end(), frame.begin(), frame.end());
            return {one};
        case Fault::Delay:
            one.after = options.delay;
            return {one};
        case Fault::Duplicate:
            return {one, one};
        case Fault::CorruptCrc:
            if (!one.bytes.empty()) one.bytes.back() ^= 0xFF;
            return {one};
        case Fault::Split:
            return splitInto(frame, options.splitPieces, options.splitGap);
        case Fault::Noise:
            one.bytes = noiseBytes(options.noiseBytes, seed);
            one.bytes.insert(one.bytes.end(), frame.begin(), frame.end());
            return {one};
        case Fault::WrongAddress:
            one.bytes = withWrongAddress(frame);
            return {one};
        case Fault::None:
            break;
    }
    return {one};
}

}  // namespace sim
