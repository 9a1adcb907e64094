// The byte-at-a-time receive parser and what the window does with a sound
// frame: announcements, block and slave acknowledgements.
#include <gmock/gmock.h>

#include "window_fixture.h"

namespace trisk_test {
namespace {

using gimbal::Bytes;

Bytes frame(std::uint8_t address, std::uint8_t command, const Bytes& payload) {
    return gimbal::buildFrame(address, command, payload);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class TriskParser : public WindowTest {};

TEST_F(TriskParser, AnnouncementSetsBlockSizeAnswersAndShowsVersion) {
    openPort();
    probe.feed(gimbal::announcementFrame(512, 123));
    EXPECT_EQ(probe.block_size(), 512);
    EXPECT_EQ(probe.text(), QStringLiteral("LINK OK !\nVERSION 1.23"));
    EXPECT_EQ(framesSent(1).at(0), gimbal::linkReplyFrame());

    const std::pair<std::uint16_t, const char*> versions[] = {{150, "1.5"}, {203, "2.03"}, {100, "1"}, {0, "0"}};
    for (const auto& [version, shown] : versions) {
        probe.feed(gimbal::announcementFrame(1024, version, true));
        EXPECT_EQ(probe.text(), QStringLiteral("LINK OK !\nVERSION ") + QLatin1String(shown));
    }
    EXPECT_EQ(probe.block_size(), 1024);
    EXPECT_EQ(framesSent(5).size(), 5u) << "every announcement is answered";
}

TEST_F(TriskParser, ResynchronisesAndDropsBadFrames) {
    // 55 55 AA: the second 0x55 starts the frame.
    probe.feed(concat({{0x13, 0x55}, gimbal::announcementFrame(256, 1)}));
    EXPECT_EQ(probe.block_size(), 256);

    Bytes bad = gimbal::announcementFrame(300, 1);
    bad.back() ^= 0xFF;
    probe.feed(bad);
    EXPECT_EQ(probe.block_size(), 256) << "wrong CRC: no reaction";
    EXPECT_EQ(probe.rx_state(), 0);

    probe.feed(frame(0x01, 0x00, {0x2C, 0x01, 1, 0}));
    EXPECT_EQ(probe.block_size(), 256) << "address 1: no reaction";

    probe.feed(gimbal::announcementFrame(400, 1));
    EXPECT_EQ(probe.block_size(), 400) << "the frame after is parsed normally";
}

TEST_F(TriskParser, LongPayloadIsCheckedWholeAndItsStartKept) {
    Bytes payload = pattern(300, 4);
    payload[0] = 0x40;  // block size 64
    payload[1] = 0x00;
    probe.feed(frame(0x00, 0x00, payload));
    EXPECT_EQ(probe.rx_len(), 300);
    EXPECT_EQ(probe.block_size(), 64);

    // A byte past what is stored is still under the CRC.
    payload[0] = 0x80;
    Bytes tampered = frame(0x00, 0x00, payload);
    tampered[6 + 299] ^= 0x01;
    probe.feed(tampered);
    EXPECT_EQ(probe.block_size(), 64);
    EXPECT_EQ(probe.rx_state(), 0);
}

TEST_F(TriskParser, SyncBytesInsideAPayloadDoNotRestartTheParser) {
    // An announcement hidden in the payload of an unhandled command.
    const Bytes inner = gimbal::announcementFrame(128, 1);
    probe.feed(frame(0x00, 0x09, concat({{0x00}, inner, {0x00}})));
    EXPECT_EQ(probe.block_size(), 1024);
    EXPECT_EQ(probe.rx_state(), 0);
    probe.feed(gimbal::announcementFrame(128, 1));
    EXPECT_EQ(probe.block_size(), 128);
}

TEST_F(TriskParser, EmptyPayloadGoesStraightToTheCrc) {
    // The slave acknowledgement has no payload; honoured even while idle.
    probe.feed(gimbal::switchAckFrame());
    EXPECT_EQ(probe.text(), QStringLiteral("Set Slave1 Mode OK"));
    EXPECT_EQ(probe.send_state(), 3);
    probe.slave_index() = 1;
    probe.feed(gimbal::switchAckFrame());
    EXPECT_EQ(probe.text(), QStringLiteral("Set Slave2 Mode OK"));
    EXPECT_EQ(probe.send_state(), 4);
    probe.slave_index() = 2;
    probe.send_state() = 9;
    probe.feed(gimbal::switchAckFrame());
    EXPECT_EQ(probe.send_state(), 9) << "after the last image a switch means nothing";
}

TEST_F(TriskParser, BlockAcknowledgementMustNameTheAwaitedBlock) {
    probe.send_state() = 10;
    probe.block_index() = 5;
    probe.feed(gimbal::blockAckFrame(4));
    EXPECT_EQ(probe.send_state(), 10);
    probe.feed(gimbal::blockAckFrame(5));
    EXPECT_EQ(probe.send_state(), 9);
    EXPECT_EQ(probe.block_index(), 6);
    EXPECT_EQ(probe.block_offset(), 1024u);
    EXPECT_EQ(probe.text(), QStringLiteral("Send block 6 is ok !"));
}

TEST_F(TriskParser, ShortMessagesAreNotActedOn) {
    openPort();
    // Leaves 06 00 in the payload buffer, matching the awaited block below.
    probe.feed(gimbal::blockAckFrame(6));
    probe.send_state() = 10;
    probe.block_index() = 6;
    probe.feed(frame(0x00, 0x03, {0x06}));  // the high byte would be stale
    EXPECT_EQ(probe.send_state(), 10) << "a stale index must never acknowledge a block";
    probe.feed(frame(0x00, 0x03, {}));
    EXPECT_EQ(probe.send_state(), 10);

    probe.feed(frame(0x00, 0x00, {0x00, 0x02, 0x7B}));
    EXPECT_EQ(probe.block_size(), 1024);
    EXPECT_EQ(probe.text(), QString());
    window->setRun();  // marks the end of what was sent
    EXPECT_EQ(framesSent(1).at(0), gimbal::runFrame()) << "no link reply for a short announcement";
}

}  // namespace
}  // namespace trisk_test
