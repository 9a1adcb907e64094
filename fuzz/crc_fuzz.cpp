// CRC engine: for any parameter set it accepts, the block form, the
// incremental form and two bit-by-bit references agree; a refused set leaves
// the engine as it was.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "link/crc.h"

namespace {

std::uint64_t reflectRef(std::uint64_t v, int bits) {
    std::uint64_t out = 0;
    for (int i = 0; i < bits; ++i, v >>= 1) out = (out << 1) | (v & 1);
    return out;
}

std::uint64_t maskOf(int order) {
    return order >= 64 ? ~0ull : (1ull << order) - 1;
}

// Bit by bit, message bits fed straight into the top of the register.
std::uint64_t directBitwise(const gimbal::Ccrc& p, const std::vector<std::uint8_t>& data) {
    const std::uint64_t mask = maskOf(p.order), top = 1ull << (p.order - 1);
    std::uint64_t reg = p.crcinit_direct;
    for (std::uint8_t b : data) {
        const std::uint64_t in = p.refin ? reflectRef(b, 8) : b;
        for (int i = 7; i >= 0; --i) {
            const bool feedback = ((reg & top) != 0) != (((in >> i) & 1) != 0);
            reg = (reg << 1) & mask;
            if (feedback) reg ^= p.polynom;
        }
    }
    if (p.refout) reg = reflectRef(reg, p.order);
    return (reg ^ p.crcxor) & mask;
}

// The textbook division: message bits shifted in at the bottom from the
// nondirect initial value, then `order` augmenting zero bits.
std::uint64_t augmentedBitwise(const gimbal::Ccrc& p, const std::vector<std::uint8_t>& data) {
    const std::uint64_t mask = maskOf(p.order), top = 1ull << (p.order - 1);
    std::uint64_t reg = p.crcinit_nondirect & mask;
    auto shiftIn = [&](int bit) {
        const bool out = (reg & top) != 0;
        reg = ((reg << 1) | static_cast<std::uint64_t>(bit)) & mask;
        if (out) reg ^= p.polynom;
    };
    for (std::uint8_t b : data) {
        const std::uint64_t in = p.refin ? reflectRef(b, 8) : b;
        for (int i = 7; i >= 0; --i) shiftIn(static_cast<int>((in >> i) & 1));
    }
    for (int i = 0; i < p.order; ++i) shiftIn(0);
    if (p.refout) reg = reflectRef(reg, p.order);
    return (reg ^ p.crcxor) & mask;
}

bool acceptable(int order, std::uint64_t poly, std::uint64_t init, std::uint64_t x) {
    if (order < 8 || order > 32 || order % 8 != 0) return false;
    const std::uint64_t mask = maskOf(order);
    return (poly & ~mask) == 0 && (init & ~mask) == 0 && (x & ~mask) == 0;
}

bool sameState(const gimbal::Ccrc& a, const gimbal::Ccrc& b) {
    return a.order == b.order && a.polynom == b.polynom && a.direct == b.direct && a.crcinit == b.crcinit &&
           a.crcxor == b.crcxor && a.refin == b.refin && a.refout == b.refout && a.crcmask == b.crcmask &&
           a.crchighbit == b.crchighbit && a.crcinit_direct == b.crcinit_direct &&
           a.crcinit_nondirect == b.crcinit_nondirect && std::memcmp(a.crctab, b.crctab, sizeof a.crctab) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider in(bytes, size);
    gimbal::Ccrc engine;
    gimbal::configureLinkCrc(engine);
    const int order = in.ConsumeIntegralInRange<int>(-2, 66);
    const bool wide = in.ConsumeBool();  // now and then values wider than the order
    const std::uint64_t limit = wide ? ~0ull : maskOf(order < 1 ? 1 : order);
    const std::uint64_t poly = in.ConsumeIntegralInRange<std::uint64_t>(0, limit);
    const std::uint64_t init = in.ConsumeIntegralInRange<std::uint64_t>(0, limit);
    const std::uint64_t x = in.ConsumeIntegralInRange<std::uint64_t>(0, limit);
    const int direct = in.ConsumeIntegralInRange<int>(-1, 1);
    const int refin = in.ConsumeIntegralInRange<int>(-1, 1);
    const int refout = in.ConsumeIntegralInRange<int>(-1, 1);
    const std::vector<std::uint8_t> data = in.ConsumeRemainingBytes<std::uint8_t>();

    const gimbal::Ccrc before = engine;
    const bool ok = engine.crc_init(order, poly, direct, init, x, refin, refout);
    FUZZ_CHECK(ok == acceptable(order, poly, init, x));
    if (!ok) {
        FUZZ_CHECK(sameState(before, engine));
        return 0;
    }

    const std::uint64_t block = engine.crctablefast(data.data(), data.size());
    engine.crc_update_init();
    for (std::size_t i = 0; i < data.size(); ++i) {
        engine.crc_update(data[i]);
        // A block computation in the middle of a run leaves the run alone.
        if (i == data.size() / 2) (void)engine.crctablefast(data.data(), i);
    }
    const std::uint64_t incremental = engine.crc_update_get_crc();
    FUZZ_CHECK(block == incremental);
    FUZZ_CHECK(block == directBitwise(engine, data));
    // The nondirect initial value is the direct one run backwards; that is
    // only invertible for polynomials with the x^0 term.
    if (engine.direct == 0 || (engine.polynom & 1)) FUZZ_CHECK(block == augmentedBitwise(engine, data));
    FUZZ_CHECK((block & ~engine.crcmask) == 0);
    FUZZ_CHECK(engine.reflect(engine.reflect(block, order), order) == block);
    return 0;
}
