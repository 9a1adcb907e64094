#include "link/crc.h"

namespace gimbal {

namespace {

bool fitsWidth(std::uint64_t value, std::uint64_t mask) {
    return (value & ~mask) == 0;
}

}  // namespace

bool Ccrc::crc_init(std::int32_t order_, std::uint64_t polynom_, std::int32_t direct_, std::uint64_t crcinit_,
                    std::uint64_t crcxor_, std::int32_t refin_, std::int32_t refout_) {
    // The table indexes by whole bytes of the register, so only whole-byte
    // widths work; 32 is the widest the system was designed for.
    if (order_ < 8 || order_ > 32 || order_ % 8 != 0) return false;
    const std::uint64_t mask = ((std::uint64_t{1} << (order_ - 1)) - 1) << 1 | 1;
    if (!fitsWidth(polynom_, mask) || !fitsWidth(crcinit_, mask) || !fitsWidth(crcxor_, mask)) return false;

    order = order_;
    polynom = polynom_;
    direct = direct_;
    crcinit = crcinit_;
    crcxor = crcxor_;
    refin = refin_;
    refout = refout_;
    crcmask = mask;
    crchighbit = std::uint64_t{1} << (order - 1);

    generate_crc_table();

    if (direct != 0) {
        crcinit_direct = crcinit;
        // Run the bit-by-bit register backwards to the value it held before
        // the augmenting zero bits were shifted in.
        std::uint64_t reg = crcinit;
        for (std::int32_t i = 0; i < order; ++i) {
            const std::uint64_t bit = reg & 1;
            if (bit) reg ^= polynom;
            reg >>= 1;
            if (bit) reg |= crchighbit;
        }
        crcinit_nondirect = reg;
    } else {
        crcinit_nondirect = crcinit;
        std::uint64_t reg = crcinit;
        for (std::int32_t i = 0; i < order; ++i) {
            const std::uint64_t bit = reg & crchighbit;
            reg <<= 1;
            if (bit) reg ^= polynom;
        }
        crcinit_direct = reg & crcmask;
    }
    return true;
}

void Ccrc::generate_crc_table() {
    for (std::uint64_t i = 0; i < 256; ++i) {
        std::uint64_t reg = refin ? reflect(i, 8) : i;
        reg <<= order - 8;
        for (int j = 0; j < 8; ++j) {
            const std::uint64_t bit = reg & crchighbit;
            reg <<= 1;
            if (bit) reg ^= polynom;
        }
        if (refin) reg = reflect(reg, order);
        crctab[i] = reg & crcmask;
    }
}

std::uint64_t Ccrc::reflect(std::uint64_t value, std::int32_t bits) const {
    if (bits > 64) bits = 64;
    std::uint64_t out = 0;
    for (std::int32_t i = 0; i < bits; ++i) {
        if (value & (std::uint64_t{1} << (bits - 1 - i))) out |= std::uint64_t{1} << i;
    }
    return out;
}

std::uint64_t Ccrc::startRegister() const {
    return refin ? reflect(crcinit_direct, order) : crcinit_direct;
}

// One table step. The register is deliberately not masked: bits above the
// width are shifted out at bit 64 and only finish() masks the result.
std::uint64_t Ccrc::step(std::uint64_t reg, std::uint8_t byte) const {
    if (refin) return (reg >> 8) ^ crctab[(reg & 0xFF) ^ byte];
    return (reg << 8) ^ crctab[((reg >> (order - 8)) & 0xFF) ^ byte];
}

std::uint64_t Ccrc::finish(std::uint64_t reg) const {
    if ((refout != 0) != (refin != 0)) reg = reflect(reg, order);
    return (reg ^ crcxor) & crcmask;
}

std::uint64_t Ccrc::crctablefast(const std::uint8_t* data, std::uint64_t length) const {
    std::uint64_t reg = startRegister();
    for (std::uint64_t i = 0; i < length; ++i) reg = step(reg, data[i]);
    return finish(reg);
}

void Ccrc::crc_update_init() {
    _crc = startRegister();
}

void Ccrc::crc_update(std::uint8_t byte) {
    _crc = step(_crc, byte);
}

std::uint64_t Ccrc::crc_update_get_crc() {
    _crc = finish(_crc);
    return _crc;
}

void configureLinkCrc(Ccrc& engine) {
    engine.crc_init(kLinkCrcOrder, kLinkCrcPolynom, 1, kLinkCrcInit, 0, 0, 0);
}

const Ccrc& linkCrc() {
    static const Ccrc engine = [] {
        Ccrc e;
        configureLinkCrc(e);
        return e;
    }();
    return engine;
}

}  // namespace gimbal
