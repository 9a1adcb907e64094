// The simulated gimbal seen from a plain termios client: whole exchanges in
// both dialects, announcements, the incoming stream, clients coming and going,
// and pacing.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <algorithm>

#include "link/firmware_file.h"
#include "link/frame.h"
#include "sim/gimbal_sim.h"
#include "termios_client.h"

namespace sim_test {
namespace {

using gimbal::Command;
using gimbal::commandByte;
using sim::GimbalSim;

const std::uint8_t kAnnouncement = commandByte(Command::LinkAnnouncement);

sim::Options blocksOptions(std::uint16_t blockSize) {
    sim::Options o;
    o.dialect = sim::Dialect::Blocks;
    o.blockSize = blockSize;
    return o;
}

TEST(SimExchange, PagesDialectRecordsTheFileByteForByte) {
    GimbalSim gimbal;
    ASSERT_TRUE(gimbal.start());
    TermiosClient client(gimbal.slavePath());
    ASSERT_TRUE(client.isOpen());
    EXPECT_EQ(client.readFrame(), gimbal::announcementFrame(1024, 123));  // the 12-byte form

    const Bytes file = gimbal::composeFirmwareFile(makeImages(1024, {3, 1, 2}), 1024);
    ASSERT_TRUE(client.send(gimbal::linkReplyFrame()));
    ASSERT_TRUE(playUpgrade(client, file, 1024, gimbal::upgraderSwitchFrame()));

    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(gimbal.image(i), imageOf(file, i, 1024)) << i;
    const sim::Stats s = gimbal.stats();
    EXPECT_EQ(s.framesReceived, 9u);
    EXPECT_EQ(s.blockFrames, 6u);
    EXPECT_EQ(s.switchRequests, 2u);
    EXPECT_EQ(s.enterRequests, 1u);
    EXPECT_EQ(s.malformedFrames + s.badCrcFrames, 0u);  // also: nothing of ours echoed back
    EXPECT_TRUE(repliesSentReach(gimbal, 8));
    EXPECT_EQ(gimbal.segment(), 2u);
    std::vector<std::size_t> segments;
    for (const sim::BlockRecord& r : gimbal.blockLog()) segments.push_back(r.segment);
    EXPECT_THAT(segments, testing::ElementsAre(0, 0, 0, 1, 2, 2));
}

TEST(SimExchange, BlocksDialectRecordsTheFileAndKeepsTheLatestOfAResentBlock) {
    sim::Options o = blocksOptions(256);
    o.version = 205;
    o.longAnnouncement = true;
    GimbalSim gimbal(o);
    ASSERT_TRUE(gimbal.start());
    TermiosClient client(gimbal.slavePath());
    ASSERT_TRUE(client.isOpen());
    const auto announcement = client.readFrame();
    ASSERT_TRUE(announcement);
    EXPECT_EQ(announcement->size(), 32u);
    EXPECT_EQ(*announcement, gimbal::announcementFrame(256, 205, true));

    const Bytes file = gimbal::composeFirmwareFile(makeImages(256, {2, 3, 1}), 256);
    ASSERT_TRUE(client.send(gimbal::linkReplyFrame()));
    ASSERT_TRUE(playUpgrade(client, file, 256, gimbal::updaterSwitchFrame()));
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(gimbal.image(i), imageOf(file, i, 256)) << i;

    // A retransmission with other data: the image holds the latest, the log both.
    const Bytes again(256, 0xEE);
    ASSERT_TRUE(client.send(blockFrame(0, again)));
    ASSERT_TRUE(client.readFrameWith(commandByte(Command::BlockAck)));
    EXPECT_EQ(gimbal.blocks(2).at(0), again);
    EXPECT_EQ(gimbal.blockLog().size(), 7u);
    EXPECT_EQ(gimbal.stats().malformedFrames, 0u);
}

// The three-axis updater started again on the port it kept open: no enter
// request, just image 1's block 0 after a finished upgrade. A late answer to
// an announcement already on its way is no new upgrade.
TEST(SimExchange, AnUpgradeStartedAgainOnAnOpenPortIsRecordedApart) {
    GimbalSim gimbal(blocksOptions(32));
    ASSERT_TRUE(gimbal.start());
    TermiosClient client(gimbal.slavePath());
    ASSERT_TRUE(client.readFrame());
    ASSERT_TRUE(client.send(gimbal::linkReplyFrame()));
    const Bytes first = gimbal::composeFirmwareFile(makeImages(32, {2, 1, 3}), 32);
    ASSERT_TRUE(playUpgrade(client, first, 32, gimbal::updaterSwitchFrame()));
    ASSERT_TRUE(client.send(gimbal::linkReplyFrame()));  // late: the gimbal was answered
    Bytes second = gimbal::composeFirmwareFile(makeImages(32, {3, 2, 2}), 32);
    std::reverse(second.begin() + 8, second.end());
    ASSERT_TRUE(playUpgrade(client, second, 32, gimbal::updaterSwitchFrame()));

    const std::vector<sim::RunInfo> runs = gimbal.runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].start, sim::RunStart::FirstBlockAgain);
    for (std::size_t i = 0; i < 3; ++i) {
        Bytes image, again;
        for (const auto& [index, data] : gimbal.runBlocks(0, i)) image.insert(image.end(), data.begin(), data.end());
        for (const auto& [index, data] : gimbal.runBlocks(1, i)) again.insert(again.end(), data.begin(), data.end());
        EXPECT_EQ(image, imageOf(first, i, 32)) << i;
        EXPECT_EQ(again, imageOf(second, i, 32)) << i;
    }
}

TEST(SimExchange, FramesOfTheOtherDialectAreCountedMalformedYetAnswered) {
    GimbalSim gimbal;  // pages: 1028-byte payloads and empty switch requests
    ASSERT_TRUE(gimbal.start());
    TermiosClient client(gimbal.slavePath());
    ASSERT_TRUE(client.readFrame());
    ASSERT_TRUE(client.send(gimbal::linkReplyFrame()));
    ASSERT_TRUE(client.send(blockFrame(4, Bytes(16, 0x11))));
    EXPECT_EQ(ackIndex(client.readFrameWith(commandByte(Command::BlockAck)).value()), 4);
    ASSERT_TRUE(client.send(gimbal::runFrame()));  // not answered at all
    ASSERT_TRUE(client.send(gimbal::updaterSwitchFrame()));
    EXPECT_TRUE(client.readFrameWith(commandByte(Command::SwitchAck)));
    EXPECT_EQ(gimbal.blocks(0).at(4), Bytes(16, 0x11));
    EXPECT_EQ(gimbal.stats().malformedFrames, 3u);
    EXPECT_EQ(gimbal.segment(), 1u);
}

TEST(SimAnnouncements, StopOnceTheEnterRequestArrives) {
    sim::Options o;
    o.announcePeriod = std::chrono::milliseconds(40);
    o.delay = std::chrono::milliseconds(600);  // fifteen periods
    o.faults = sim::faultsAt({{0, sim::Fault::Delay}});
    GimbalSim gimbal(o);
    ASSERT_TRUE(gimbal.start());
    TermiosClient client(gimbal.slavePath());
    ASSERT_TRUE(client.readFrame());
    ASSERT_TRUE(client.send(gimbal::linkReplyFrame()));
    ASSERT_TRUE(gimbal.waitFor([](const GimbalSim& g) { return g.stats().enterRequests == 1; }));
    const std::size_t sent = gimbal.stats().announcementsSent;

    // Whatever was already on its way arrives first; then, over many periods, none.
    ASSERT_TRUE(client.send(blockFrame(0, Bytes(1024, 0))));
    std::size_t seen = 1;
    for (auto frame = client.readFrame(); frame; frame = client.readFrame()) {
        if ((*frame)[3] != kAnnouncement) break;
        ++seen;
    }
    EXPECT_TRUE(repliesSentReach(gimbal, 1));
    EXPECT_EQ(gimbal.stats().announcementsSent, sent);
    EXPECT_EQ(seen, sent);
}

TEST(SimStream, BadAndForeignFramesAreCountedAndDoNotDisturbTheNext) {
    GimbalSim gimbal(blocksOptions(8));
    ASSERT_TRUE(gimbal.start());
    TermiosClient client(gimbal.slavePath());
    ASSERT_TRUE(client.readFrame());
    Bytes bad = blockFrame(0, Bytes(8, 0x55));
    bad.back() ^= 0x01;
    Bytes foreign = gimbal::buildFrame(0x01, commandByte(Command::Block), Bytes(12, 0));
    Bytes stream{0x00, 0x55, 0x13, 0x55};  // noise, with a false start
    for (const Bytes& part : {bad, foreign, blockFrame(1, Bytes(8, 0x0A))})
        stream.insert(stream.end(), part.begin(), part.end());
    ASSERT_TRUE(client.send(stream));  // one write: the frames meet in one read

    const auto ack = client.readFrameWith(commandByte(Command::BlockAck));
    ASSERT_TRUE(ack);
    EXPECT_EQ(ackIndex(*ack), 1);
    const sim::Stats s = gimbal.stats();
    EXPECT_EQ(s.badCrcFrames, 1u);
    EXPECT_EQ(s.otherAddressFrames, 1u);
    EXPECT_EQ(s.blockFrames, 1u);
    EXPECT_EQ(gimbal.blocks(0).size(), 1u);
}

bool isRaw(int fd) {
    termios tio{};
    return ::tcgetattr(fd, &tio) == 0 && (tio.c_lflag & (ECHO | ICANON | ISIG)) == 0 && (tio.c_oflag & OPOST) == 0;
}

TEST(SimLine, AReopenedSlaveHearsAFreshGimbalAndNothingStale) {
    sim::Options o = blocksOptions(16);
    o.announcePeriod = std::chrono::milliseconds(50);
    GimbalSim gimbal(o);
    ASSERT_TRUE(gimbal.start());
    {
        // Raw before any tool configures it: a peek with our own termios left alone.
        gimbal::UniqueFd peek(::open(gimbal.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        EXPECT_TRUE(isRaw(peek.get()));
        // Leave only once the gimbal has seen us, so that it sees us go.
        ASSERT_TRUE(gimbal.waitFor([](const GimbalSim& g) { return g.stats().announcementsSent > 0; }));
    }
    ASSERT_TRUE(gimbal.waitFor([](const GimbalSim& g) { return g.stats().hangups == 1; }));

    TermiosClient first(gimbal.slavePath());
    ASSERT_TRUE(first.readFrame());
    ASSERT_TRUE(first.send(gimbal::linkReplyFrame()));
    ASSERT_TRUE(first.send(blockFrame(0, Bytes(16, 1))));
    // The acknowledgement reaches the first client, which leaves without reading it.
    ASSERT_TRUE(gimbal.waitFor([](const GimbalSim& g) { return g.stats().repliesSent == 1; }));
    first.close();
    ASSERT_TRUE(gimbal.waitFor([](const GimbalSim& g) { return g.stats().hangups == 2; }));

    gimbal::UniqueFd probe(::open(gimbal.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    EXPECT_TRUE(isRaw(probe.get()));  // the setting outlived both clients
    TermiosClient second(gimbal.slavePath());
    ASSERT_TRUE(gimbal.waitFor([](const GimbalSim& g) { return g.stats().reopens == 2; }));
    for (int i = 0; i < 2; ++i) {  // announcing again, and nothing left over
        const auto frame = second.readFrame();
        ASSERT_TRUE(frame);
        EXPECT_EQ(*frame, gimbal::announcementFrame(16, 123)) << i;
    }
    EXPECT_TRUE(second.skipped().empty());
}

// An answer still on the wire when its client leaves was for that boot: the
// next client's gimbal announces until it is answered itself.
TEST(SimLine, AnAnswerSentJustBeforeLeavingDoesNotSilenceTheNextBoot) {
    sim::Options o = blocksOptions(16);
    o.announcePeriod = std::chrono::milliseconds(50);
    o.baud = 9600;  // the answer takes 8 ms to arrive
    GimbalSim gimbal(o);
    ASSERT_TRUE(gimbal.start());
    {
        TermiosClient leaving(gimbal.slavePath());
        ASSERT_TRUE(leaving.readFrame());
        ASSERT_TRUE(leaving.send(gimbal::linkReplyFrame()));
    }
    TermiosClient next(gimbal.slavePath());
    for (int i = 0; i < 2; ++i) EXPECT_EQ(next.readFrame(), gimbal::announcementFrame(16, 123)) << i;
}

TEST(SimPacing, AnExchangeTakesAtLeastItsWireTime) {
    sim::Options o;
    o.baud = 57600;
    GimbalSim gimbal(o);
    ASSERT_TRUE(gimbal.start());
    TermiosClient client(gimbal.slavePath());
    ASSERT_TRUE(client.readFrame());
    ASSERT_TRUE(client.send(gimbal::linkReplyFrame()));

    constexpr int kPages = 4;
    const auto start = std::chrono::steady_clock::now();
    for (std::uint16_t page = 0; page < kPages; ++page) {
        ASSERT_TRUE(client.send(blockFrame(page, Bytes(1024, 0x5A))));
        ASSERT_TRUE(client.readFrameWith(commandByte(Command::BlockAck)));
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // 1036 bytes out and 10 back per page, 10 bits a byte; a lower bound only.
    const auto wire = std::chrono::microseconds(kPages * (1036 + 10) * 10 * 1'000'000LL / 57600);
    EXPECT_GE(elapsed, wire * 9 / 10);
}

}  // namespace
}  // namespace sim_test
