// Packet descriptors fed a byte stream as a port feeds them: prefix/suffix in
// bytes and in UTF-8 text, fixed packets and regular expressions, each with a
// bounded buffer. The shortest matching tail is checked against the rules
// written out again here; UTF-8 validity against the RFC 3629 byte table.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "upgrader/platform/regular_expression.h"
#include "upgrader/serial/kiv_serial_buffer.h"
#include "upgrader/serial/kiv_serial_packet_descriptor.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool in(std::uint8_t b, std::uint8_t lo, std::uint8_t hi) {
    return b >= lo && b <= hi;
}

// RFC 3629, section 4: the well-formed byte sequences.
bool utf8Ref(const Bytes& s) {
    std::size_t i = 0;
    auto cont = [&](std::size_t k, std::uint8_t lo = 0x80, std::uint8_t hi = 0xBF) {
        return i + k < s.size() && in(s[i + k], lo, hi);
    };
    while (i < s.size()) {
        const std::uint8_t b = s[i];
        std::size_t len = 0;
        if (b <= 0x7F)
            len = 1;
        else if (in(b, 0xC2, 0xDF) && cont(1))
            len = 2;
        else if (b == 0xE0 && cont(1, 0xA0) && cont(2))
            len = 3;
        else if ((in(b, 0xE1, 0xEC) || in(b, 0xEE, 0xEF)) && cont(1) && cont(2))
            len = 3;
        else if (b == 0xED && cont(1, 0x80, 0x9F) && cont(2))
            len = 3;
        else if (b == 0xF0 && cont(1, 0x90) && cont(2) && cont(3))
            len = 4;
        else if (in(b, 0xF1, 0xF3) && cont(1) && cont(2) && cont(3))
            len = 4;
        else if (b == 0xF4 && cont(1, 0x80, 0x8F) && cont(2) && cont(3))
            len = 4;
        else
            return false;
        i += len;
    }
    return true;
}

struct Shape {
    std::optional<Bytes> prefix, suffix, packet;
};

bool acceptsRef(const Shape& shape, const Bytes& c) {
    if (shape.packet) return c == *shape.packet;
    if (!shape.prefix && !shape.suffix) return false;
    if (shape.prefix &&
        (c.size() < shape.prefix->size() || !std::equal(shape.prefix->begin(), shape.prefix->end(), c.begin())))
        return false;
    if (shape.suffix &&
        (c.size() < shape.suffix->size() || !std::equal(shape.suffix->rbegin(), shape.suffix->rend(), c.rbegin())))
        return false;
    return true;
}

std::optional<Bytes> maybeBytes(FuzzedDataProvider& in) {
    if (!in.ConsumeBool()) return std::nullopt;
    return in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 4));
}

std::optional<std::string> maybeText(FuzzedDataProvider& in) {
    if (!in.ConsumeBool()) return std::nullopt;
    return in.ConsumeRandomLengthString(6);
}

Bytes toBytes(const std::optional<std::string>& s) {
    return s ? Bytes(s->begin(), s->end()) : Bytes{};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int form = in.ConsumeIntegralInRange<int>(0, 3);
    const std::uint64_t limit = in.ConsumeIntegralInRange<std::uint64_t>(0, 24);
    Shape shape;
    std::shared_ptr<serial::KivSerialPacketDescriptor> d;
    if (form == 0) {
        shape.prefix = maybeBytes(in);
        shape.suffix = maybeBytes(in);
        d = serial::KivSerialPacketDescriptor::initWithPrefixSuffixMaximumPacketLengthUserInfo(shape.prefix,
                                                                                               shape.suffix, limit, {});
    } else if (form == 1) {
        const auto p = maybeText(in), s = maybeText(in);
        if (p) shape.prefix = toBytes(p);
        if (s) shape.suffix = toBytes(s);
        d = serial::KivSerialPacketDescriptor::initWithPrefixStringSuffixStringMaximumPacketLengthUserInfo(p, s, limit,
                                                                                                           {});
    } else if (form == 2) {
        shape.packet = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 5));
        d = serial::KivSerialPacketDescriptor::initWithPacketDataUserInfo(*shape.packet, {});
        FUZZ_CHECK(d->maximumPacketLength() == shape.packet->size());
    } else {
        const std::string pattern = in.ConsumeRandomLengthString(8);
        d = serial::KivSerialPacketDescriptor::initWithRegularExpressionMaximumPacketLengthUserInfo(
            platform::RegularExpression::withPattern(pattern), limit, {});
    }

    // As a port does: one buffer per descriptor, one byte at a time, emptied
    // on each packet found.
    auto buffer = serial::KivSerialBuffer::initWithMaximumLength(d->maximumPacketLength());
    std::deque<std::uint8_t> kept;
    const Bytes stream = in.ConsumeRemainingBytes<std::uint8_t>();
    for (std::size_t i = 0; i < stream.size() && i < 512; ++i) {
        buffer->appendData(std::span<const std::uint8_t>(&stream[i], 1));
        kept.push_back(stream[i]);
        while (kept.size() > d->maximumPacketLength()) kept.pop_front();
        const auto view = buffer->data();
        FUZZ_CHECK(std::equal(view.begin(), view.end(), kept.begin(), kept.end()));

        const Bytes tailRun(view.begin(), view.end());
        const std::optional<Bytes> found = d->packetMatchingAtEndOfBuffer(view);
        for (std::size_t n = 1; n <= tailRun.size(); ++n) {
            const Bytes tail(tailRun.end() - static_cast<std::ptrdiff_t>(n), tailRun.end());
            FUZZ_CHECK(platform::isValidUtf8(tail) == utf8Ref(tail));
            if (form != 3) {
                const bool shortest = found && found->size() == n;
                FUZZ_CHECK(acceptsRef(shape, tail) == shortest);
                if (shortest) break;
            }
        }
        if (found) {
            FUZZ_CHECK(!found->empty() && found->size() <= tailRun.size());
            FUZZ_CHECK(std::equal(found->rbegin(), found->rend(), tailRun.rbegin()));
            if (form == 3) FUZZ_CHECK(utf8Ref(*found));
            buffer->clearBuffer();
            kept.clear();
        }
    }
    return 0;
}
