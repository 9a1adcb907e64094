#include "link/crc.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <thread>
#include <vector>

namespace gimbal {

namespace {

struct Params {
    const char* name;
    int order;
    std::uint64_t poly;
    std::uint64_t init;  // catalogue (direct) form
    bool refin;
    bool refout;
    std::uint64_t xorout;
    std::uint64_t check;
};

// Published parameter sets with their check values over "123456789".
const Params kCatalogue[] = {
    {"CRC-8/SMBUS", 8, 0x07, 0x00, false, false, 0x00, 0xF4},
    {"CRC-8/MAXIM-DOW", 8, 0x31, 0x00, true, true, 0x00, 0xA1},
    {"CRC-8/ROHC", 8, 0x07, 0xFF, true, true, 0x00, 0xD0},
    {"CRC-8/I-432-1", 8, 0x07, 0x00, false, false, 0x55, 0xA1},
    {"CRC-16/IBM-3740", 16, 0x1021, 0xFFFF, false, false, 0x0000, 0x29B1},
    {"CRC-16/ARC", 16, 0x8005, 0x0000, true, true, 0x0000, 0xBB3D},
    {"CRC-16/KERMIT", 16, 0x1021, 0x0000, true, true, 0x0000, 0x2189},
    {"CRC-16/IBM-SDLC", 16, 0x1021, 0xFFFF, true, true, 0xFFFF, 0x906E},
    {"CRC-16/XMODEM", 16, 0x1021, 0x0000, false, false, 0x0000, 0x31C3},
    {"CRC-16/GENIBUS", 16, 0x1021, 0xFFFF, false, false, 0xFFFF, 0xD64E},
    {"CRC-24/OPENPGP", 24, 0x864CFB, 0xB704CE, false, false, 0, 0x21CF02},
    {"CRC-24/BLE", 24, 0x00065B, 0x555555, true, true, 0, 0xC25A56},
    {"CRC-32/ISO-HDLC", 32, 0x04C11DB7, 0xFFFFFFFF, true, true, 0xFFFFFFFF, 0xCBF43926},
    {"CRC-32/BZIP2", 32, 0x04C11DB7, 0xFFFFFFFF, false, false, 0xFFFFFFFF, 0xFC891918},
    {"CRC-32/MPEG-2", 32, 0x04C11DB7, 0xFFFFFFFF, false, false, 0, 0x0376E6E7},
    {"CRC-32/CKSUM", 32, 0x04C11DB7, 0x00000000, false, false, 0xFFFFFFFF, 0x765E7680},
    {"CRC-32/ISCSI", 32, 0x1EDC6F41, 0xFFFFFFFF, true, true, 0xFFFFFFFF, 0xE3069283},
};

std::uint64_t maskOf(int order) {
    return order == 64 ? ~0ULL : (1ULL << order) - 1;
}

std::uint64_t reflectRef(std::uint64_t v, int bits) {
    std::uint64_t out = 0;
    for (int i = 0; i < bits; ++i)
        if (v >> i & 1) out |= 1ULL << (bits - 1 - i);
    return out;
}

// Bit-at-a-time CRC with a direct initial value: no table, no augmentation.
std::uint64_t bitwiseDirect(const Params& p, const std::vector<std::uint8_t>& data) {
    const std::uint64_t mask = maskOf(p.order), top = 1ULL << (p.order - 1);
    std::uint64_t reg = p.init;
    for (std::uint8_t byte : data) {
        const std::uint64_t b = p.refin ? reflectRef(byte, 8) : byte;
        for (int i = 7; i >= 0; --i) {
            const bool in = (b >> i & 1) != 0;
            const bool out = (reg & top) != 0;
            reg = (reg << 1) & mask;
            if (in != out) reg ^= p.poly;
        }
    }
    if (p.refout) reg = reflectRef(reg, p.order);
    return (reg ^ p.xorout) & mask;
}

// The textbook shift register that shifts the message in behind the register
// and appends `order` zero bits; its initial value is the nondirect one.
std::uint64_t bitwiseAugmented(const Params& p, std::uint64_t nondirectInit, const std::vector<std::uint8_t>& data) {
    const std::uint64_t mask = maskOf(p.order), top = 1ULL << (p.order - 1);
    std::uint64_t reg = nondirectInit;
    auto shiftIn = [&](bool bit) {
        const bool out = (reg & top) != 0;
        reg = ((reg << 1) | (bit ? 1 : 0)) & mask;
        if (out) reg ^= p.poly;
    };
    for (std::uint8_t byte : data) {
        const std::uint64_t b = p.refin ? reflectRef(byte, 8) : byte;
        for (int i = 7; i >= 0; --i) shiftIn((b >> i & 1) != 0);
    }
    for (int i = 0; i < p.order; ++i) shiftIn(false);
    if (p.refout) reg = reflectRef(reg, p.order);
    return (reg ^ p.xorout) & mask;
}

Ccrc configured(const Params& p, bool direct = true, std::uint64_t init = ~0ULL) {
    Ccrc c;
    EXPECT_TRUE(c.crc_init(p.order, p.poly, direct ? 1 : 0, init == ~0ULL ? p.init : init, p.xorout, p.refin ? 1 : 0,
                           p.refout ? 1 : 0));
    return c;
}

std::vector<std::uint8_t> bytesOf(std::string_view s) {
    return {s.begin(), s.end()};
}

std::vector<std::uint8_t> randomBytes(std::mt19937_64& rng, std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

TEST(CrcCatalogue, BlockAndIncrementalFormsGiveThePublishedCheckValues) {
    const auto check = bytesOf("123456789");
    for (const Params& p : kCatalogue) {
        SCOPED_TRACE(p.name);
        Ccrc c = configured(p);
        EXPECT_EQ(c.crctablefast(check.data(), check.size()), p.check);
        EXPECT_EQ(bitwiseDirect(p, check), p.check);  // the reference itself is right
        c.crc_update_init();
        for (std::uint8_t b : check) c.crc_update(b);
        EXPECT_EQ(c.crc_update_get_crc(), p.check);
    }
}

TEST(CrcCatalogue, RandomDataMatchesTheBitwiseReference) {
    std::mt19937_64 rng(12345);
    for (const Params& p : kCatalogue) {
        SCOPED_TRACE(p.name);
        Ccrc c = configured(p);
        for (std::size_t len : {0, 1, 2, 3, 7, 64, 1000, 4099}) {
            const auto data = randomBytes(rng, len);
            const std::uint64_t expected = bitwiseDirect(p, data);
            EXPECT_EQ(c.crctablefast(data.data(), data.size()), expected) << len;
            c.crc_update_init();
            for (std::uint8_t b : data) c.crc_update(b);
            EXPECT_EQ(c.crc_update_get_crc(), expected) << len;
        }
    }
}

TEST(CrcCatalogue, RandomParameterSetsIncludingMixedReflection) {
    std::mt19937_64 rng(777);
    for (int round = 0; round < 200; ++round) {
        const int order = 8 * static_cast<int>(1 + rng() % 4);
        const std::uint64_t mask = maskOf(order);
        const Params p{"random", order, rng() & mask, rng() & mask, rng() % 2 == 0, rng() % 2 == 0, rng() & mask, 0};
        SCOPED_TRACE(testing::Message() << "order " << order << " poly " << p.poly << " refin " << p.refin << " refout "
                                        << p.refout);
        Ccrc c = configured(p);
        const auto data = randomBytes(rng, rng() % 300);
        EXPECT_EQ(c.crctablefast(data.data(), data.size()), bitwiseDirect(p, data));
    }
}

TEST(CrcInitialValue, NondirectFormMatchesTheAugmentedShiftRegister) {
    std::mt19937_64 rng(99);
    for (const Params& p : kCatalogue) {
        SCOPED_TRACE(p.name);
        const std::uint64_t nondirect = rng() & maskOf(p.order);
        Ccrc c = configured(p, false, nondirect);
        EXPECT_EQ(c.crcinit_nondirect, nondirect);
        const auto data = randomBytes(rng, 100);
        EXPECT_EQ(c.crctablefast(data.data(), data.size()), bitwiseAugmented(p, nondirect, data));
        // Converting back gives the same nondirect value.
        Ccrc back = configured(p, true, c.crcinit_direct);
        EXPECT_EQ(back.crcinit_nondirect & back.crcmask, nondirect);
    }
}

TEST(CrcSystemParameters, DerivedValuesAndTable) {
    Ccrc c;
    configureLinkCrc(c);
    EXPECT_EQ(c.crcmask, 0xFFFFu);
    EXPECT_EQ(c.crchighbit, 0x8000u);
    EXPECT_EQ(c.crcinit_direct, 0xFFFFu);
    EXPECT_EQ(c.crcinit_nondirect, 0x84CFu);
    EXPECT_EQ(c.crctab[0], 0x0000u);
    EXPECT_EQ(c.crctab[1], 0x1021u);
    EXPECT_EQ(c.crctab[2], 0x2042u);
    EXPECT_EQ(c.crctab[255], 0x1EF0u);
}

TEST(CrcSystemParameters, VectorsOfTheLink) {
    const Ccrc& c = linkCrc();
    EXPECT_EQ(c.crctablefast(nullptr, 0), 0xFFFFu);
    const auto digits = bytesOf("123456789");
    const auto abc = bytesOf("abc");
    EXPECT_EQ(c.crctablefast(digits.data(), digits.size()), 0x29B1u);
    EXPECT_EQ(c.crctablefast(abc.data(), abc.size()), 0x514Au);

    Ccrc inc;
    configureLinkCrc(inc);
    inc.crc_update_init();
    for (std::uint8_t b : digits) inc.crc_update(b);
    EXPECT_EQ(inc.crc_update_get_crc(), 0x29B1u);
    EXPECT_EQ(inc.crc_update_get_crc(), 0x29B1u);  // finishing twice is harmless here

    Ccrc nondirect;
    ASSERT_TRUE(nondirect.crc_init(16, 0x1021, 0, 0x84CF, 0, 0, 0));
    EXPECT_EQ(nondirect.crcinit_direct, 0xFFFFu);
    EXPECT_EQ(nondirect.crctablefast(digits.data(), digits.size()), 0x29B1u);
}

TEST(CrcSystemParameters, BlockCallInTheMiddleOfAnIncrementalRun) {
    Ccrc c;
    configureLinkCrc(c);
    const auto digits = bytesOf("123456789");
    c.crc_update_init();
    for (std::size_t i = 0; i < 4; ++i) c.crc_update(digits[i]);
    EXPECT_EQ(c.crctablefast(digits.data(), 3), c.crctablefast(bytesOf("123").data(), 3));
    for (std::size_t i = 4; i < digits.size(); ++i) c.crc_update(digits[i]);
    EXPECT_EQ(c.crc_update_get_crc(), 0x29B1u);
}

TEST(CrcReflect, DropsBitsAboveTheWidth) {
    const Ccrc c;
    EXPECT_EQ(c.reflect(0x01, 8), 0x80u);
    EXPECT_EQ(c.reflect(0x1234, 8), 0x2Cu);
    EXPECT_EQ(c.reflect(0x1, 64), 1ULL << 63);
    EXPECT_EQ(c.reflect(0xFF, 0), 0u);
    EXPECT_EQ(c.reflect(0xFF, -3), 0u);
}

TEST(CrcValidation, RefusesWhatTheTableCannotComputeAndKeepsTheOldState) {
    Ccrc c;
    configureLinkCrc(c);
    for (int order : {-8, 0, 1, 7, 12, 31, 40, 64, 65}) {
        EXPECT_FALSE(c.crc_init(order, 0x07, 1, 0, 0, 0, 0)) << order;
    }
    EXPECT_FALSE(c.crc_init(8, 0x107, 1, 0, 0, 0, 0));  // polynomial wider than 8 bits
    EXPECT_FALSE(c.crc_init(16, 0x1021, 1, 0x10000, 0, 0, 0));
    EXPECT_FALSE(c.crc_init(16, 0x1021, 0, 0, 0x1FFFF, 0, 0));
    const auto digits = bytesOf("123456789");
    EXPECT_EQ(c.order, 16);
    EXPECT_EQ(c.crctablefast(digits.data(), digits.size()), 0x29B1u);
}

TEST(CrcValidation, AnUnconfiguredEngineComputesZeroNotGarbage) {
    Ccrc c;
    const auto digits = bytesOf("123456789");
    EXPECT_EQ(c.crctablefast(digits.data(), digits.size()), 0u);
    c.crc_update_init();
    c.crc_update(0x31);
    EXPECT_EQ(c.crc_update_get_crc(), 0u);
}

TEST(CrcShared, TheProcessWideEngineServesManyThreadsAtOnce) {
    const auto data = bytesOf("123456789");
    std::vector<std::thread> threads;
    std::vector<std::uint64_t> results(4);
    for (std::size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1000; ++i) results[t] = linkCrc().crctablefast(data.data(), data.size());
        });
    }
    for (auto& t : threads) t.join();
    for (std::uint64_t r : results) EXPECT_EQ(r, 0x29B1u);
}

}  // namespace

}  // namespace gimbal
