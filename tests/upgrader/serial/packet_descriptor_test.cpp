// Packet descriptors, the receive buffer and request records, without a port.
#include <gtest/gtest.h>

#include <cctype>

#include "packet_delegate.h"
#include "upgrader/platform/regular_expression.h"
#include "upgrader/serial/kiv_assert.h"
#include "upgrader/serial/kiv_serial_buffer.h"

namespace serial {

namespace {

using test_support::Bytes;
using test_support::bytesOf;
using Descriptor = KivSerialPacketDescriptor;

// Canonical upper-case 8-4-4-4-12; version 4 when asked.
bool looksLikeUuid(const std::string& text, bool version4 = false) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = text[i];
        if (dash ? c != '-' : !(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F'))) return false;
    }
    return !version4 || (text[14] == '4' && std::string("89AB").find(text[19]) != std::string::npos);
}

std::optional<Bytes> packetAtEnd(const std::shared_ptr<Descriptor>& descriptor, const Bytes& buffer) {
    return descriptor->packetMatchingAtEndOfBuffer(buffer);
}

// Catches the text of a refused construction.
struct AssertionCatcher {
    AssertionCatcher() {
        setKivAssertionHandler([this](const std::string& message) { messages.push_back(message); });
    }
    ~AssertionCatcher() { setKivAssertionHandler(nullptr); }
    std::vector<std::string> messages;
};

TEST(KivSerialBuffer, KeepsTheNewestBytesUpToItsLimit) {
    auto buffer = KivSerialBuffer::initWithMaximumLength(4);
    buffer->appendData(Bytes{1, 2, 3});
    EXPECT_EQ(Bytes(buffer->data().begin(), buffer->data().end()), (Bytes{1, 2, 3}));
    for (std::uint8_t b = 4; b <= 40; ++b) buffer->appendData(Bytes{b});
    EXPECT_EQ(Bytes(buffer->data().begin(), buffer->data().end()), (Bytes{37, 38, 39, 40}));
    buffer->appendData(Bytes{50, 51, 52, 53, 54, 55});  // more than the limit at once
    EXPECT_EQ(Bytes(buffer->data().begin(), buffer->data().end()), (Bytes{52, 53, 54, 55}));
    buffer->clearBuffer();
    EXPECT_TRUE(buffer->data().empty());

    auto none = KivSerialBuffer::initWithMaximumLength(0);
    none->appendData(Bytes{1, 2});
    none->appendData(Bytes{});
    EXPECT_TRUE(none->data().empty());
}

TEST(KivSerialPacketDescriptor, ArgumentlessConstructionIsRefusedWithItsText) {
    AssertionCatcher catcher;
    EXPECT_EQ(Descriptor::init(), nullptr);
    EXPECT_EQ(KivSerialBuffer::init(), nullptr);
    ASSERT_EQ(catcher.messages.size(), 2u);
    EXPECT_EQ(catcher.messages[0],
              "You must initialize KivSerialPacketDescriptor with its designated initializers, or one of its "
              "convenience initializers.");
    EXPECT_EQ(catcher.messages[1], "Use -[KivSerialBuffer initWithMaximumLength:]");
}

TEST(KivSerialPacketDescriptor, IdentityIsTheUuid) {
    auto a = Descriptor::initWithPacketDataUserInfo({1, 2, 3}, std::string("a"));
    auto b = Descriptor::initWithPacketDataUserInfo({1, 2, 3}, std::string("a"));
    EXPECT_TRUE(*a == *a);
    EXPECT_FALSE(*a == *b);
    EXPECT_NE(a->uuid().string(), b->uuid().string());
    EXPECT_EQ(std::hash<Descriptor>{}(*a), a->uuid().hash());
    EXPECT_TRUE(looksLikeUuid(a->uuid().string(), true)) << a->uuid().string();
    EXPECT_EQ(std::any_cast<std::string>(a->userInfo()), "a");
}

TEST(KivSerialPacketDescriptor, DesignatedFormDefaultsToAnyNonEmptyCandidate) {
    auto any = Descriptor::initWithMaximumPacketLengthUserInfoResponseEvaluator(8, {}, nullptr);
    EXPECT_EQ(any->maximumPacketLength(), 8u);
    EXPECT_FALSE(any->dataIsValidPacket(Bytes{}));
    EXPECT_TRUE(any->dataIsValidPacket(Bytes{0}));
    EXPECT_FALSE(packetAtEnd(any, {}));
    EXPECT_EQ(packetAtEnd(any, {7, 8, 9}), Bytes{9});  // the shortest tail wins

    auto evenLength = Descriptor::initWithMaximumPacketLengthUserInfoResponseEvaluator(
        8, {}, [](std::span<const std::uint8_t> c) { return c.size() == 2; });
    EXPECT_EQ(packetAtEnd(evenLength, {7, 8, 9}), (Bytes{8, 9}));
}

TEST(KivSerialPacketDescriptor, FixedPacketMatchesExactlyItsBytes) {
    auto fixed = Descriptor::initWithPacketDataUserInfo({1, 2, 3}, {});
    EXPECT_EQ(fixed->maximumPacketLength(), 3u);
    EXPECT_EQ(fixed->packetData(), (Bytes{1, 2, 3}));
    EXPECT_EQ(packetAtEnd(fixed, {0, 1, 2, 3}), (Bytes{1, 2, 3}));
    EXPECT_FALSE(packetAtEnd(fixed, {1, 2, 3, 4}));
    EXPECT_FALSE(packetAtEnd(fixed, {2, 3}));

    auto empty = Descriptor::initWithPacketDataUserInfo({}, {});
    EXPECT_EQ(empty->maximumPacketLength(), 0u);
    EXPECT_FALSE(packetAtEnd(empty, {1, 2}));
}

TEST(KivSerialPacketDescriptor, PrefixAndSuffixRule) {
    auto overlap = Descriptor::initWithPrefixStringSuffixStringMaximumPacketLengthUserInfo("AB", "BC", 10, {});
    EXPECT_TRUE(overlap->dataIsValidPacket(bytesOf("ABC")));  // they may overlap
    EXPECT_TRUE(overlap->dataIsValidPacket(bytesOf("ABxxBC")));
    EXPECT_FALSE(overlap->dataIsValidPacket(bytesOf("AB")));
    EXPECT_FALSE(overlap->dataIsValidPacket(bytesOf("xABC")));
    EXPECT_EQ(overlap->prefix(), bytesOf("AB"));

    auto prefixOnly =
        Descriptor::initWithPrefixSuffixMaximumPacketLengthUserInfo(Bytes{0x55, 0xAA}, std::nullopt, 6, {});
    EXPECT_EQ(packetAtEnd(prefixOnly, {1, 0x55, 0xAA}), (Bytes{0x55, 0xAA}));
    EXPECT_FALSE(prefixOnly->suffix());

    auto suffixOnly =
        Descriptor::initWithPrefixStringSuffixStringMaximumPacketLengthUserInfo(std::nullopt, "\r\n", 6, {});
    EXPECT_EQ(packetAtEnd(suffixOnly, bytesOf("ok\r\n")), bytesOf("\r\n"));
    EXPECT_FALSE(suffixOnly->dataIsValidPacket(bytesOf("\n")));

    auto neither = Descriptor::initWithPrefixSuffixMaximumPacketLengthUserInfo(std::nullopt, std::nullopt, 6, {});
    EXPECT_FALSE(packetAtEnd(neither, {1, 2, 3}));
    auto emptyStrings = Descriptor::initWithPrefixStringSuffixStringMaximumPacketLengthUserInfo("", "", 6, {});
    EXPECT_EQ(packetAtEnd(emptyStrings, {1, 2}), Bytes{2});  // present but empty: anything goes
}

TEST(KivSerialPacketDescriptor, ExpressionIsAnchoredAndNeedsValidUtf8) {
    auto expression = platform::RegularExpression::withPattern("OK \\d+;");
    ASSERT_TRUE(expression);
    auto descriptor = Descriptor::initWithRegularExpressionMaximumPacketLengthUserInfo(expression, 16, {});
    EXPECT_TRUE(descriptor->dataIsValidPacket(bytesOf("OK 12;")));
    EXPECT_TRUE(descriptor->dataIsValidPacket(bytesOf("OK 12; and more")));  // anchored at the start only
    EXPECT_FALSE(descriptor->dataIsValidPacket(bytesOf("xOK 12;")));
    EXPECT_EQ(packetAtEnd(descriptor, bytesOf("noise OK 7;")), bytesOf("OK 7;"));

    // "é" is C3 A9: the tail that starts at A9 is not UTF-8 and must not
    // match even though ".+" would match its decoded replacement character.
    auto anyText = Descriptor::initWithRegularExpressionMaximumPacketLengthUserInfo(
        platform::RegularExpression::withPattern("^.+$"), 8, {});
    EXPECT_FALSE(anyText->dataIsValidPacket(Bytes{0xA9}));
    EXPECT_TRUE(anyText->dataIsValidPacket(Bytes{0xC3, 0xA9}));
    auto accent = Descriptor::initWithRegularExpressionMaximumPacketLengthUserInfo(
        platform::RegularExpression::withPattern("\xC3\xA9"), 8, {});
    EXPECT_EQ(packetAtEnd(accent, {'x', 0xC3, 0xA9}), (Bytes{0xC3, 0xA9}));
    EXPECT_FALSE(packetAtEnd(accent, {0xC3}));

    auto missing = Descriptor::initWithRegularExpressionMaximumPacketLengthUserInfo(nullptr, 8, {});
    EXPECT_FALSE(missing->dataIsValidPacket(bytesOf("a")));
}

TEST(PlatformRegularExpression, RefusesBadPatternsAndChecksUtf8Strictly) {
    std::string error;
    EXPECT_FALSE(platform::RegularExpression::withPattern("(unclosed", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(platform::RegularExpression::withPattern("\xFF", &error));
    EXPECT_EQ(platform::RegularExpression::withPattern("a+")->pattern(), "a+");

    using platform::isValidUtf8;
    EXPECT_TRUE(isValidUtf8(bytesOf("\xE4\xBA\x91 \xF0\x9F\x98\x80")));  // 云 and an emoji
    EXPECT_FALSE(isValidUtf8(Bytes{0xC0, 0x80}));                        // overlong NUL
    EXPECT_FALSE(isValidUtf8(Bytes{0xED, 0xA0, 0x80}));                  // surrogate
    EXPECT_FALSE(isValidUtf8(Bytes{0xF4, 0x90, 0x80, 0x80}));            // above U+10FFFF
    EXPECT_FALSE(isValidUtf8(Bytes{0xE4, 0xBA}));                        // truncated
}

TEST(KivSerialRequest, FormsIdentityAndDescription) {
    auto descriptor = Descriptor::initWithPacketDataUserInfo({9}, {});
    auto request = KivSerialRequest::requestWithDataToSendUserInfoTimeoutIntervalResponseDescriptor(
        {0x01, 0x02, 0x03, 0x04, 0xAB}, std::string("ping"), 1.5, descriptor);
    EXPECT_EQ(request->responseDescriptor(), descriptor);
    EXPECT_TRUE(request->dataIsValidResponse(Bytes{9}));
    EXPECT_FALSE(request->dataIsValidResponse(Bytes{8}));
    EXPECT_TRUE(looksLikeUuid(request->UUIDString(), true)) << request->UUIDString();
    const std::string text = request->description();
    EXPECT_EQ(text.rfind("<KivSerialRequest: 0x", 0), 0u) << text;
    const std::string rest = "> data: <01020304 ab> userInfo: ping timeout interval: 1.500000";
    ASSERT_GE(text.size(), rest.size());
    EXPECT_EQ(text.substr(text.size() - rest.size()), rest) << text;

    auto bare = KivSerialRequest::requestWithDataToSendUserInfoTimeoutIntervalResponseDescriptor({}, {}, 0, nullptr);
    EXPECT_TRUE(bare->dataIsValidResponse(Bytes{}));
    EXPECT_NE(bare->UUIDString(), request->UUIDString());
    EXPECT_NE(bare->description().find("userInfo: (null)"), std::string::npos);
}

TEST(KivSerialRequest, OutdatedEvaluatorFormHasNoPracticalLengthLimit) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    auto withDefault =
        KivSerialRequest::requestWithDataToSendUserInfoTimeoutIntervalResponseEvaluator({1}, {}, 0, nullptr);
    auto withEvaluator = KivSerialRequest::requestWithDataToSendUserInfoTimeoutIntervalResponseEvaluator(
        {1}, {}, 0, [](std::span<const std::uint8_t> c) { return c.size() == 3; });
#pragma GCC diagnostic pop
    ASSERT_TRUE(withDefault->responseDescriptor());
    EXPECT_EQ(withDefault->responseDescriptor()->maximumPacketLength(), 9223372036854775807ull);
    EXPECT_FALSE(withDefault->responseDescriptor()->userInfo().has_value());
    EXPECT_TRUE(withDefault->dataIsValidResponse(Bytes{0}));
    EXPECT_FALSE(withDefault->dataIsValidResponse(Bytes{}));
    EXPECT_TRUE(withEvaluator->dataIsValidResponse(Bytes{1, 2, 3}));

    // A huge limit must not make the buffer reserve anything up front.
    auto buffer = KivSerialBuffer::initWithMaximumLength(withDefault->responseDescriptor()->maximumPacketLength());
    buffer->appendData(Bytes(3000, 7));
    EXPECT_EQ(buffer->data().size(), 3000u);
}

}  // namespace

}  // namespace serial
