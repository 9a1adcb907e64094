// Each fault of the simulated gimbal does what it says, seen from a termios
// client on the slave side; and the ready-made fault policies.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "link/frame.h"
#include "sim/gimbal_sim.h"
#include "termios_client.h"

namespace sim_test {
namespace {

using gimbal::Command;
using gimbal::commandByte;
using sim::Fault;
using sim::GimbalSim;

constexpr std::uint16_t kBlock = 8;
const std::uint8_t kAck = commandByte(Command::BlockAck);

// A simulator in the blocks dialect with small blocks, and a client that has
// answered its announcement.
class SimFaults : public testing::Test {
protected:
    void begin(sim::Options o) {
        o.dialect = sim::Dialect::Blocks;
        o.blockSize = kBlock;
        gimbal_ = std::make_unique<GimbalSim>(std::move(o));
        ASSERT_TRUE(gimbal_->start());
        client_ = std::make_unique<TermiosClient>(gimbal_->slavePath());
        ASSERT_TRUE(client_->readFrame());
        ASSERT_TRUE(client_->send(gimbal::linkReplyFrame()));
    }
    void begin(std::map<std::size_t, Fault> faults, sim::Options o = {}) {
        o.faults = sim::faultsAt(std::move(faults));
        begin(std::move(o));
    }
    bool sendBlock(std::uint16_t index) { return client_->send(blockFrame(index, Bytes(kBlock, 0x33))); }
    bool waitDue(std::size_t n) {
        return gimbal_->waitFor([n](const GimbalSim& g) { return g.stats().repliesDue >= n; });
    }

    std::unique_ptr<GimbalSim> gimbal_;
    std::unique_ptr<TermiosClient> client_;
};

TEST_F(SimFaults, DropSendsNothingForThatReply) {
    begin({{0, Fault::Drop}});
    ASSERT_TRUE(sendBlock(0));
    ASSERT_TRUE(waitDue(1));
    ASSERT_TRUE(sendBlock(1));
    EXPECT_EQ(ackIndex(client_->readFrame().value()), 1);
    EXPECT_TRUE(repliesSentReach(*gimbal_, 1));
    EXPECT_EQ(gimbal_->stats().repliesSent, 1u);
}

TEST_F(SimFaults, DelayedReplyComesAfterALaterOneAndNoEarlierThanTheDelay) {
    sim::Options o;
    o.delay = std::chrono::milliseconds(400);
    begin({{0, Fault::Delay}}, o);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(sendBlock(0));
    ASSERT_TRUE(waitDue(1));
    ASSERT_TRUE(sendBlock(1));
    EXPECT_EQ(ackIndex(client_->readFrame().value()), 1);
    EXPECT_EQ(ackIndex(client_->readFrame().value()), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, o.delay);
}

TEST_F(SimFaults, DuplicateCorruptAndWrongAddressChangeTheBytesAsNamed) {
    begin({{0, Fault::Duplicate}, {1, Fault::CorruptCrc}, {2, Fault::WrongAddress}});
    ASSERT_TRUE(sendBlock(0));
    EXPECT_EQ(client_->readFrame(), gimbal::blockAckFrame(0));
    EXPECT_EQ(client_->readFrame(), gimbal::blockAckFrame(0));

    ASSERT_TRUE(sendBlock(1));
    Bytes corrupt = client_->readFrame().value();
    EXPECT_EQ(gimbal::checkFrame(corrupt).status, gimbal::FrameStatus::BadCrc);
    corrupt.back() ^= 0xFF;
    EXPECT_EQ(corrupt, gimbal::blockAckFrame(1));

    ASSERT_TRUE(sendBlock(2));
    const Bytes foreign = client_->readFrame().value();
    const gimbal::FrameCheck check = gimbal::checkFrame(foreign);
    EXPECT_EQ(check.status, gimbal::FrameStatus::Sound);
    EXPECT_EQ(check.frame.address, 0x01);
    EXPECT_EQ(check.frame.command, kAck);
    EXPECT_TRUE(repliesSentReach(*gimbal_, 4));
}

TEST_F(SimFaults, SplitArrivesInSeparateReads) {
    sim::Options o;
    o.splitPieces = 3;
    o.splitGap = std::chrono::milliseconds(300);  // wide, so a busy machine still reads apart
    begin({{0, Fault::Split}}, o);
    ASSERT_TRUE(sendBlock(0));
    const std::size_t readsBefore = client_->readSizes().size();
    EXPECT_EQ(client_->readFrame(), gimbal::blockAckFrame(0));
    EXPECT_GE(client_->readSizes().size() - readsBefore, 2u);
    EXPECT_TRUE(repliesSentReach(*gimbal_, 1));
    EXPECT_EQ(gimbal_->stats().repliesSent, 1u);  // one reply, however many writes
}

TEST_F(SimFaults, NoiseComesInFrontAndCannotStartAFrame) {
    sim::Options o;
    o.noiseBytes = 40;
    begin({{0, Fault::Noise}}, o);
    ASSERT_TRUE(sendBlock(0));
    EXPECT_EQ(client_->readFrame(), gimbal::blockAckFrame(0));
    EXPECT_EQ(client_->skipped().size(), 40u);
    EXPECT_THAT(client_->skipped(), testing::Not(testing::Contains(0x55)));
}

// A restart instead of a reply: no acknowledgement, but the announcement,
// repeated until answered, as after power-up.
TEST_F(SimFaults, RestartAnnouncesAgainInsteadOfTheReplyUntilAnswered) {
    sim::Options o;
    o.announcePeriod = std::chrono::milliseconds(20);
    begin({{1, Fault::Restart}}, o);
    ASSERT_TRUE(sendBlock(0));
    EXPECT_EQ(ackIndex(client_->readFrameWith(kAck).value()), 0);
    const std::size_t announced = gimbal_->stats().announcementsSent;
    ASSERT_TRUE(sendBlock(1));
    const auto frame = client_->readFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ((*frame)[3], commandByte(Command::LinkAnnouncement));
    ASSERT_TRUE(gimbal_->waitFor([&](const GimbalSim& g) { return g.stats().announcementsSent >= announced + 2; }));
    ASSERT_TRUE(client_->send(gimbal::linkReplyFrame()));
    ASSERT_TRUE(sendBlock(0));
    EXPECT_EQ(ackIndex(client_->readFrameWith(kAck).value()), 0);
    // Counted by the simulator after its write: the client may be first.
    EXPECT_TRUE(gimbal_->waitFor([](const GimbalSim& g) { return g.stats().repliesSent == 2u; }));
}

TEST_F(SimFaults, StrayBytesComeInFrontInTheSameWrite) {
    begin({{0, Fault::Stray}});
    ASSERT_TRUE(sendBlock(0));
    Bytes expected{0x55, 0xAA, 0x00, 0x03, 0x00, 0x04};
    const Bytes ack = gimbal::blockAckFrame(0);
    expected.insert(expected.end(), ack.begin(), ack.end());
    EXPECT_EQ(client_->readBytes(expected.size()), expected);
}

TEST_F(SimFaults, SilentAfterNAnswersNothingMoreNotEvenAfterAReopen) {
    sim::Options o;
    o.silentAfter = 2;
    o.announcePeriod = std::chrono::milliseconds(20);
    begin({}, o);
    for (std::uint16_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(sendBlock(i));
        // Announcements 20 ms apart may still come before the link reply is taken.
        EXPECT_EQ(ackIndex(client_->readFrameWith(kAck).value()), i);
    }
    ASSERT_TRUE(sendBlock(2));
    ASSERT_TRUE(waitDue(3));
    client_->close();
    ASSERT_TRUE(gimbal_->waitFor([](const GimbalSim& g) { return g.stats().hangups == 1; }));
    TermiosClient again(gimbal_->slavePath());
    ASSERT_TRUE(gimbal_->waitFor([](const GimbalSim& g) { return g.stats().reopens == 1; }));
    // A gimbal that came up would announce within a period; give it fifty.
    const std::size_t announced = gimbal_->stats().announcementsSent;
    EXPECT_FALSE(again.readFrame(std::chrono::seconds(1)));
    EXPECT_EQ(gimbal_->stats().announcementsSent, announced);
    EXPECT_EQ(gimbal_->stats().repliesSent, 2u);
    EXPECT_EQ(gimbal_->blocks(0).size(), 3u);  // it still listens and records
}

TEST_F(SimFaults, VanishClosesTheDeviceAndReviveBringsANewOne) {
    sim::Options o;
    o.vanishAfter = 1;
    begin({}, o);
    std::string error;
    EXPECT_FALSE(gimbal_->revive(&error));
    EXPECT_THAT(error, testing::HasSubstr("not vanished"));

    ASSERT_TRUE(sendBlock(0));
    EXPECT_EQ(ackIndex(client_->readFrame().value()), 0);
    ASSERT_TRUE(sendBlock(1));
    EXPECT_TRUE(client_->waitHangUp());
    EXPECT_TRUE(gimbal_->vanished());  // already true when the client sees it go

    ASSERT_TRUE(gimbal_->revive(&error)) << error;
    EXPECT_FALSE(gimbal_->vanished());
    TermiosClient fresh(gimbal_->slavePath());
    ASSERT_TRUE(fresh.isOpen());
    EXPECT_EQ(fresh.readFrame(), gimbal::announcementFrame(kBlock, 123));
    ASSERT_TRUE(fresh.send(gimbal::linkReplyFrame()));
    ASSERT_TRUE(fresh.send(blockFrame(1, Bytes(kBlock, 0))));  // vanishing was once only
    EXPECT_EQ(ackIndex(fresh.readFrame().value()), 1);
}

TEST_F(SimFaults, APolicyIsToldEachReplysNumberCommandIndexAndSegment) {
    std::vector<sim::ReplyInfo> seen;  // written on the worker, read after waitFor
    sim::Options o;
    begin(o);
    gimbal_->setFaultPolicy([&seen](const sim::ReplyInfo& info) {
        seen.push_back(info);
        return Fault::None;
    });
    ASSERT_TRUE(sendBlock(0));
    ASSERT_TRUE(client_->readFrame());
    ASSERT_TRUE(client_->send(gimbal::updaterSwitchFrame()));
    ASSERT_TRUE(client_->readFrame());
    ASSERT_TRUE(sendBlock(0));
    ASSERT_TRUE(client_->readFrame());
    ASSERT_TRUE(waitDue(3));
    gimbal_->stop();
    ASSERT_EQ(seen.size(), 3u);
    const std::uint8_t switchAck = commandByte(Command::SwitchAck);
    EXPECT_EQ(seen[1].command, switchAck);
    EXPECT_EQ(seen[1].segment, 0u);  // the switch belongs to the segment it ends
    EXPECT_EQ(seen[2].number, 2u);
    EXPECT_EQ(seen[2].command, kAck);
    EXPECT_EQ(seen[2].segment, 1u);
}

// A reply waits at the gate, which is told what the line took before it;
// nothing of the reply is on the line meanwhile. Its copy waits there too,
// told of the first, so a slow reader cannot get both in one read.
TEST_F(SimFaults, AReplyWaitsAtTheGateUntilItOpens) {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    std::vector<std::size_t> told;
    sim::Options o;
    o.replyGate = [&](std::size_t sentBefore) {
        std::unique_lock lock(mutex);
        told.push_back(sentBefore);
        changed.notify_all();
        changed.wait_for(lock, 20s, [&] { return open; });
    };
    begin({{0, Fault::Duplicate}}, o);
    ASSERT_TRUE(sendBlock(0));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return !told.empty(); }));
    }
    EXPECT_EQ(told[0], gimbal_->stats().bytesSent);  // the worker is held: nothing more went out
    EXPECT_FALSE(client_->readBytes(1, 50ms)) << "a held reply reached the line";
    {
        std::lock_guard lock(mutex);
        open = true;
    }
    changed.notify_all();
    EXPECT_EQ(client_->readFrame(), gimbal::blockAckFrame(0));
    EXPECT_EQ(client_->readFrame(), gimbal::blockAckFrame(0));
    EXPECT_TRUE(repliesSentReach(*gimbal_, 2));
    EXPECT_EQ(gimbal_->stats().bytesSent, told[0] + 2 * gimbal::blockAckFrame(0).size());
    gimbal_->stop();  // the gate refers to this test's locals
    EXPECT_EQ(told, (std::vector<std::size_t>{told[0], told[0] + gimbal::blockAckFrame(0).size()}));
}

TEST(SimFaultPolicies, AreRepeatableAndKeepToTheirKinds) {
    const auto info = [](std::size_t n) { return sim::ReplyInfo{n, 0x03, 0, 0}; };
    const auto a = sim::randomFaults(7, 0.5, {Fault::Drop, Fault::Split});
    const auto b = sim::randomFaults(7, 0.5, {Fault::Drop, Fault::Split});
    std::map<Fault, int> counts;
    for (std::size_t n = 0; n < 2000; ++n) {
        EXPECT_EQ(a(info(n)), b(info(n)));
        ++counts[a(info(n))];
    }
    EXPECT_EQ(counts.size(), 3u);  // none, drop and split, and nothing else
    EXPECT_GT(counts[Fault::None], 800);
    EXPECT_LT(counts[Fault::None], 1200);
    const auto never = sim::randomFaults(7, 0.0, {Fault::Drop});
    const auto always = sim::randomFaults(7, 1.0, {Fault::Noise});
    for (std::size_t n = 0; n < 100; ++n) {
        EXPECT_EQ(never(info(n)), Fault::None);
        EXPECT_EQ(always(info(n)), Fault::Noise);
    }
    const auto table = sim::faultsAt({{3, Fault::Delay}});
    EXPECT_EQ(table(info(3)), Fault::Delay);
    EXPECT_EQ(table(info(4)), Fault::None);
}

}  // namespace
}  // namespace sim_test
