// Packet listening on a real port over a pseudo-terminal.
#include <gtest/gtest.h>

#include "packet_delegate.h"
#include "upgrader/serial/kiv_serial_request.h"

namespace serial {

namespace {

using test_support::Bytes;
using test_support::Reply;
using Descriptor = KivSerialPacketDescriptor;
using Callback = KivSerialPortDelegateCallback;

TEST(KivSerialPortPackets, FixedAndPrefixPacketsAreReportedOnceInOrder) {
    test_support::Pty pty;
    test_support::PacketPort p(pty);
    auto fixed = Descriptor::initWithPacketDataUserInfo({1, 2, 3}, {});
    auto prefix = Descriptor::initWithPrefixSuffixMaximumPacketLengthUserInfo(Bytes{0x55, 0xAA}, std::nullopt, 8, {});
    p.port->startListeningForPacketsMatchingDescriptor(fixed);
    p.port->startListeningForPacketsMatchingDescriptor(prefix);
    EXPECT_EQ(p.port->packetDescriptors().size(), 2u);

    pty.write({0, 1, 2, 3, 0x55, 0xAA, 1, 2, 3});
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Reply::Packet) == 3; }));
    const auto replies = p.delegate->replies();
    EXPECT_EQ(replies[0].data, (Bytes{1, 2, 3}));
    EXPECT_EQ(replies[0].descriptor, fixed);
    EXPECT_EQ(replies[1].data, (Bytes{0x55, 0xAA}));  // the prefix alone, at once
    EXPECT_EQ(replies[1].descriptor, prefix);
    EXPECT_EQ(replies[2].data, (Bytes{1, 2, 3}));
    EXPECT_TRUE(p.delegate->mainThreadOnly());
    test_support::observeFor(std::chrono::milliseconds(30));
    EXPECT_EQ(p.delegate->count(Reply::Packet), 3u);
}

TEST(KivSerialPortPackets, SameDescriptorTwiceKeepsOneBufferEqualArgumentsMakeTwo) {
    test_support::Pty pty;
    test_support::PacketPort p(pty);
    auto first = Descriptor::initWithPacketDataUserInfo({7, 7}, {});
    auto twin = Descriptor::initWithPacketDataUserInfo({7, 7}, {});
    p.port->startListeningForPacketsMatchingDescriptor(first);
    p.port->startListeningForPacketsMatchingDescriptor(first);
    EXPECT_EQ(p.port->packetDescriptors().size(), 1u);
    p.port->startListeningForPacketsMatchingDescriptor(twin);
    EXPECT_EQ(p.port->packetDescriptors().size(), 2u);
    // One packet each: a second buffer for `first` would make a third.
    pty.write({7, 7});
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Reply::Packet) == 2; }));
    test_support::observeFor(std::chrono::milliseconds(30));
    const auto replies = p.delegate->replies();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].descriptor, first);
    EXPECT_EQ(replies[1].descriptor, twin);
}

TEST(KivSerialPortPackets, LimitsStopAndSilentDescriptors) {
    test_support::Pty pty;
    test_support::PacketPort p(pty);
    auto tooShort = Descriptor::initWithPrefixStringSuffixStringMaximumPacketLengthUserInfo("<", ">", 3, {});
    auto neither = Descriptor::initWithPrefixSuffixMaximumPacketLengthUserInfo(std::nullopt, std::nullopt, 8, {});
    auto empty = Descriptor::initWithPacketDataUserInfo({}, {});
    auto stopped = Descriptor::initWithPrefixStringSuffixStringMaximumPacketLengthUserInfo("<", ">", 16, {});
    for (const auto& d : {tooShort, neither, empty, stopped}) p.port->startListeningForPacketsMatchingDescriptor(d);
    pty.write(test_support::bytesOf("<ab"));
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->receivedData().size() == 3; }));
    p.port->stopListeningForPacketsMatchingDescriptor(stopped);
    p.port->stopListeningForPacketsMatchingDescriptor(stopped);  // no entry: nothing
    EXPECT_EQ(p.port->packetDescriptors().size(), 3u);
    p.port->startListeningForPacketsMatchingDescriptor(stopped);  // starts over with an empty buffer
    pty.write(test_support::bytesOf("cd><x>"));
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Reply::Packet) == 2; }));
    test_support::observeFor(std::chrono::milliseconds(30));
    const auto packets = p.delegate->dataOf(Reply::Packet);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], test_support::bytesOf("<x>"));  // tooShort: "<abcd>" is longer than 3
    EXPECT_EQ(packets[1], test_support::bytesOf("<x>"));  // stopped lost "<ab" and saw "cd>" alone
}

TEST(KivSerialPortPackets, BuffersSurviveACloseAndADelegateWithoutTheCallbackStillClears) {
    test_support::Pty pty;
    test_support::PacketPort p(pty, {Callback::DidReceivePacketMatchingDescriptor});
    auto descriptor = Descriptor::initWithPacketDataUserInfo({1, 2, 3, 4}, {});
    p.port->startListeningForPacketsMatchingDescriptor(descriptor);
    pty.write({1, 2, 3, 4, 1, 2});
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->receivedData().size() == 6; }));
    p.port->close();
    ASSERT_TRUE(test_support::waitFor([&] { return !p.port->isOpen(); }));
    // Once closed, the last chunk is on the executor; a synchronous call there
    // waits for it before the delegate changes.
    p.port->stopListeningForPacketsMatchingDescriptor(Descriptor::initWithPacketDataUserInfo({}, {}));
    p.delegate->missing.clear();
    p.port->open();
    ASSERT_TRUE(p.port->isOpen());
    pty.write({3, 4});  // completes the packet begun before the close
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Reply::Packet) == 1; }));
    EXPECT_EQ(p.port->packetDescriptors().size(), 1u);
}

// An evaluator that stops listening (runs on the executor, mid-walk over the
// listeners) must not upset the walk: the other listener still sees the byte.
TEST(KivSerialPortPackets, EvaluatorMayStopListeningWhileBytesAreWalked) {
    test_support::Pty pty;
    test_support::PacketPort p(pty);
    std::weak_ptr<KivSerialPort> weakPort = p.port;
    std::shared_ptr<Descriptor> self;
    auto quitter = Descriptor::initWithMaximumPacketLengthUserInfoResponseEvaluator(
        4, {}, [&](std::span<const std::uint8_t> candidate) {
            if (auto port = weakPort.lock(); port && candidate.size() == 1 && candidate[0] == 'q')
                port->stopListeningForPacketsMatchingDescriptor(self);
            return false;
        });
    self = quitter;
    auto fixed = Descriptor::initWithPacketDataUserInfo({'q'}, {});
    p.port->startListeningForPacketsMatchingDescriptor(quitter);
    p.port->startListeningForPacketsMatchingDescriptor(fixed);
    pty.write({'q'});
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Reply::Packet) == 1; }));
    EXPECT_EQ(p.port->packetDescriptors(), std::vector<std::shared_ptr<Descriptor>>{fixed});
    self.reset();
}

// Per byte the packet listeners run before the response check: a descriptor
// used both ways sees the same byte first as a packet.
TEST(KivSerialPortPackets, ListenersSeeEachByteBeforeTheRequestCheck) {
    test_support::Pty pty;
    test_support::PacketPort p(pty);
    auto ack = Descriptor::initWithPacketDataUserInfo({0xAC}, {});
    p.port->startListeningForPacketsMatchingDescriptor(ack);
    auto request = KivSerialRequest::requestWithDataToSendUserInfoTimeoutIntervalResponseDescriptor({1}, {}, 0, ack);
    ASSERT_TRUE(p.port->sendRequest(request));
    EXPECT_EQ(pty.read(1), Bytes{1});
    pty.write({0xAC});
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->replies().size() == 2; }));
    EXPECT_EQ(p.delegate->replies()[0].kind, Reply::Packet);
    EXPECT_EQ(p.delegate->replies()[1].kind, Reply::Response);
}

}  // namespace

}  // namespace serial
