// What a complete packet looks like: a predicate over a candidate byte string
// plus the longest length a packet can have. Ports use descriptors to listen
// for packets and to recognise the response to a request.
//
// Immutable once made, so any thread may use one; the evaluator must itself
// be safe to call from the port's request-handling executor. Identity is the
// UUID made at creation: two descriptors made with the same arguments differ.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "upgrader/platform/uuid.h"

namespace platform {
class RegularExpression;
}

namespace serial {

class KivSerialPacketDescriptor {
    struct Token {};

public:
    using Bytes = std::vector<std::uint8_t>;
    using ResponseEvaluator = std::function<bool(std::span<const std::uint8_t> candidate)>;

    // Designated form. Without an evaluator any non-empty candidate is a packet.
    static std::shared_ptr<KivSerialPacketDescriptor> initWithMaximumPacketLengthUserInfoResponseEvaluator(
        std::uint64_t maximumPacketLength, std::any userInfo, ResponseEvaluator responseEvaluator);
    // Exactly these bytes; the limit is their length.
    static std::shared_ptr<KivSerialPacketDescriptor> initWithPacketDataUserInfo(Bytes packetData, std::any userInfo);
    // Starts with prefix and ends with suffix (either may be absent, not both).
    static std::shared_ptr<KivSerialPacketDescriptor> initWithPrefixSuffixMaximumPacketLengthUserInfo(
        std::optional<Bytes> prefix, std::optional<Bytes> suffix, std::uint64_t maximumPacketLength, std::any userInfo);
    // As above with UTF-8 text.
    static std::shared_ptr<KivSerialPacketDescriptor> initWithPrefixStringSuffixStringMaximumPacketLengthUserInfo(
        const std::optional<std::string>& prefixString, const std::optional<std::string>& suffixString,
        std::uint64_t maximumPacketLength, std::any userInfo);
    // A candidate that is valid UTF-8 and matches the expression from its first
    // character. A missing expression matches nothing.
    static std::shared_ptr<KivSerialPacketDescriptor> initWithRegularExpressionMaximumPacketLengthUserInfo(
        std::shared_ptr<const platform::RegularExpression> regularExpression, std::uint64_t maximumPacketLength,
        std::any userInfo);
    // Always a caller error: raises an assertion failure and answers none.
    static std::shared_ptr<KivSerialPacketDescriptor> init();

    KivSerialPacketDescriptor(Token, std::uint64_t maximumPacketLength, std::any userInfo,
                              ResponseEvaluator responseEvaluator);

    std::uint64_t maximumPacketLength() const { return maximumPacketLength_; }
    const std::any& userInfo() const { return userInfo_; }
    const platform::Uuid& uuid() const { return uuid_; }
    const ResponseEvaluator& responseEvaluator() const { return responseEvaluator_; }
    const std::optional<Bytes>& packetData() const { return packetData_; }
    const std::optional<Bytes>& prefix() const { return prefix_; }
    const std::optional<Bytes>& suffix() const { return suffix_; }
    const std::shared_ptr<const platform::RegularExpression>& regularExpression() const { return regularExpression_; }

    bool dataIsValidPacket(std::span<const std::uint8_t> data) const;
    // The shortest accepted tail of `buffer`, or none.
    std::optional<Bytes> packetMatchingAtEndOfBuffer(std::span<const std::uint8_t> buffer) const;

    bool operator==(const KivSerialPacketDescriptor& other) const { return this == &other || uuid_ == other.uuid_; }
    std::size_t hash() const { return uuid_.hash(); }

private:
    const std::uint64_t maximumPacketLength_;
    const std::any userInfo_;
    const platform::Uuid uuid_;
    const ResponseEvaluator responseEvaluator_;
    std::optional<Bytes> packetData_;
    std::optional<Bytes> prefix_;
    std::optional<Bytes> suffix_;
    std::shared_ptr<const platform::RegularExpression> regularExpression_;
};

}  // namespace serial

template <>
struct std::hash<serial::KivSerialPacketDescriptor> {
    std::size_t operator()(const serial::KivSerialPacketDescriptor& descriptor) const { return descriptor.hash(); }
};
