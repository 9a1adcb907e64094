// Parameterised table-driven CRC engine shared by both tools (one parameter
// set in the whole system: CRC-16/CCITT-FALSE, see linkCrc()).
#pragma once

#include <cstdint>

namespace gimbal {

// An engine is unusable until crc_init has accepted a parameter set; before
// that every result is 0 (the mask is empty), never undefined.
//
// Thread contract: crc_init and the incremental form mutate the object and
// need exclusive access. crctablefast and reflect only read it, so any number
// of threads may run them at once on an engine that nobody reconfigures.
class Ccrc {
public:
    Ccrc() {}
    ~Ccrc() {}

    // Stores the parameters, derives the masks and initial values and builds
    // the table. Only widths the byte-table method handles are accepted: 8,
    // 16, 24 or 32 bits, with polynom, crcinit and crcxor inside that width.
    // Anything else is refused with false and the engine keeps its previous
    // state, so a typo cannot turn it into one that computes garbage.
    bool crc_init(std::int32_t order, std::uint64_t polynom, std::int32_t direct, std::uint64_t crcinit,
                  std::uint64_t crcxor, std::int32_t refin, std::int32_t refout);
    void generate_crc_table();
    // The low `bits` bits of value in reverse order; higher bits are dropped.
    std::uint64_t reflect(std::uint64_t value, std::int32_t bits) const;
    std::uint64_t crctablefast(const std::uint8_t* data, std::uint64_t length) const;

    void crc_update_init();
    void crc_update(std::uint8_t byte);
    std::uint64_t crc_update_get_crc();

    std::int32_t order = 8;  // keeps every shift in range before crc_init
    std::uint64_t polynom = 0;
    std::int32_t direct = 0;
    std::uint64_t crcinit = 0;
    std::uint64_t crcxor = 0;
    std::int32_t refin = 0;
    std::int32_t refout = 0;
    std::uint64_t crcmask = 0;
    std::uint64_t crchighbit = 0;
    std::uint64_t crcinit_direct = 0;
    std::uint64_t crcinit_nondirect = 0;
    std::uint64_t crctab[256] = {};
    std::uint64_t _crc = 0;

private:
    std::uint64_t step(std::uint64_t reg, std::uint8_t byte) const;
    std::uint64_t startRegister() const;
    std::uint64_t finish(std::uint64_t reg) const;
};

// The system's single parameter set (CRC-16/CCITT-FALSE).
inline constexpr std::int32_t kLinkCrcOrder = 16;
inline constexpr std::uint64_t kLinkCrcPolynom = 0x1021;
inline constexpr std::uint64_t kLinkCrcInit = 0xFFFF;

// Configures `engine` with the system's parameter set.
void configureLinkCrc(Ccrc& engine);

// A process-wide engine configured once with the system's parameter set, for
// code that does not own an engine (the desktop upgrader's frames). Configured
// on first use under the C++ static-initialisation guarantee and never again,
// so its block form is safe from any thread.
const Ccrc& linkCrc();

}  // namespace gimbal
