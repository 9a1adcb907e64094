#include "upgrader/serial/kiv_serial_packet_descriptor.h"

#include <algorithm>

#include "upgrader/platform/regular_expression.h"
#include "upgrader/serial/kiv_assert.h"

namespace serial {

namespace {

using Bytes = KivSerialPacketDescriptor::Bytes;
using Span = std::span<const std::uint8_t>;

bool defaultPacketEvaluator(Span candidate) {
    return !candidate.empty();
}

// Prefix and suffix may overlap inside the candidate.
bool matchesPrefixAndSuffix(const std::optional<Bytes>& prefix, const std::optional<Bytes>& suffix, Span candidate) {
    if (!prefix && !suffix) return false;
    if (prefix && (candidate.size() < prefix->size() || !std::equal(prefix->begin(), prefix->end(), candidate.begin())))
        return false;
    if (suffix &&
        (candidate.size() < suffix->size() || !std::equal(suffix->rbegin(), suffix->rend(), candidate.rbegin())))
        return false;
    return true;
}

std::optional<Bytes> utf8(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return Bytes(text->begin(), text->end());
}

}  // namespace

KivSerialPacketDescriptor::KivSerialPacketDescriptor(Token, std::uint64_t maximumPacketLength, std::any userInfo,
                                                     ResponseEvaluator responseEvaluator)
    : maximumPacketLength_(maximumPacketLength),
      userInfo_(std::move(userInfo)),
      uuid_(platform::Uuid::create()),
      responseEvaluator_(responseEvaluator ? std::move(responseEvaluator) : ResponseEvaluator(defaultPacketEvaluator)) {
}

std::shared_ptr<KivSerialPacketDescriptor>
KivSerialPacketDescriptor::initWithMaximumPacketLengthUserInfoResponseEvaluator(std::uint64_t maximumPacketLength,
                                                                                std::any userInfo,
                                                                                ResponseEvaluator responseEvaluator) {
    return std::make_shared<KivSerialPacketDescriptor>(Token{}, maximumPacketLength, std::move(userInfo),
                                                       std::move(responseEvaluator));
}

std::shared_ptr<KivSerialPacketDescriptor> KivSerialPacketDescriptor::initWithPacketDataUserInfo(Bytes packetData,
                                                                                                 std::any userInfo) {
    const std::uint64_t length = packetData.size();
    auto descriptor = initWithMaximumPacketLengthUserInfoResponseEvaluator(
        length, std::move(userInfo),
        [expected = packetData](Span candidate) { return std::ranges::equal(candidate, expected); });
    descriptor->packetData_ = std::move(packetData);
    return descriptor;
}

std::shared_ptr<KivSerialPacketDescriptor> KivSerialPacketDescriptor::initWithPrefixSuffixMaximumPacketLengthUserInfo(
    std::optional<Bytes> prefix, std::optional<Bytes> suffix, std::uint64_t maximumPacketLength, std::any userInfo) {
    auto descriptor = initWithMaximumPacketLengthUserInfoResponseEvaluator(
        maximumPacketLength, std::move(userInfo),
        [prefix, suffix](Span candidate) { return matchesPrefixAndSuffix(prefix, suffix, candidate); });
    descriptor->prefix_ = std::move(prefix);
    descriptor->suffix_ = std::move(suffix);
    return descriptor;
}

std::shared_ptr<KivSerialPacketDescriptor>
KivSerialPacketDescriptor::initWithPrefixStringSuffixStringMaximumPacketLengthUserInfo(
    const std::optional<std::string>& prefixString, const std::optional<std::string>& suffixString,
    std::uint64_t maximumPacketLength, std::any userInfo) {
    return initWithPrefixSuffixMaximumPacketLengthUserInfo(utf8(prefixString), utf8(suffixString), maximumPacketLength,
                                                           std::move(userInfo));
}

std::shared_ptr<KivSerialPacketDescriptor>
KivSerialPacketDescriptor::initWithRegularExpressionMaximumPacketLengthUserInfo(
    std::shared_ptr<const platform::RegularExpression> regularExpression, std::uint64_t maximumPacketLength,
    std::any userInfo) {
    auto descriptor = initWithMaximumPacketLengthUserInfoResponseEvaluator(
        maximumPacketLength, std::move(userInfo), [regularExpression](Span candidate) {
            return regularExpression && regularExpression->matchesAtStart(candidate);
        });
    descriptor->regularExpression_ = std::move(regularExpression);
    return descriptor;
}

std::shared_ptr<KivSerialPacketDescriptor> KivSerialPacketDescriptor::init() {
    kivAssertionFailure(
        "You must initialize %s with its designated initializers, or one of its convenience "
        "initializers.",
        "KivSerialPacketDescriptor");
    return nullptr;
}

bool KivSerialPacketDescriptor::dataIsValidPacket(Span data) const {
    return !responseEvaluator_ || responseEvaluator_(data);
}

std::optional<Bytes> KivSerialPacketDescriptor::packetMatchingAtEndOfBuffer(Span buffer) const {
    for (std::size_t n = 1; n <= buffer.size(); ++n) {
        const Span tail = buffer.last(n);
        if (dataIsValidPacket(tail)) return Bytes(tail.begin(), tail.end());
    }
    return std::nullopt;
}

}  // namespace serial
