// The simulator's pieces on their own, with time handed in: wire timing,
// the timer queue and the fault plan.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "link/frame.h"
#include "sim/fault_plan.h"
#include "sim/line_pacer.h"
#include "sim/timer_queue.h"

namespace sim_test {
namespace {

using namespace std::chrono_literals;
using sim::Bytes;
using sim::TimePoint;

const TimePoint t0 = TimePoint{} + 100s;

TEST(SimPacer, ModelsBothDirectionsAtTenBitsAByte) {
    sim::LinePacer pacer(100'000);  // 100 us a byte
    EXPECT_EQ(pacer.wireTime(10), 1ms);
    // Reads in quick succession queue behind each other on the wire.
    EXPECT_EQ(pacer.receive(t0, 10), t0);
    EXPECT_EQ(pacer.receive(t0 + 200us, 5), t0 + 1ms);
    EXPECT_EQ(pacer.receive(t0 + 5ms, 1), t0 + 5ms);
    // Writes leave when their last byte is through, each behind the one before.
    EXPECT_EQ(pacer.reserveTransmit(t0, 10), t0 + 1ms);
    EXPECT_EQ(pacer.reserveTransmit(t0, 10), t0 + 2ms);
    EXPECT_EQ(pacer.reserveTransmit(t0 + 10ms, 1), t0 + 10ms + 100us);

    sim::LinePacer unpaced;
    EXPECT_EQ(unpaced.reserveTransmit(t0, 1000), t0);
    EXPECT_EQ(unpaced.receive(t0, 1000), t0);
}

TEST(SimTimers, RunInTimeOrderAndMayScheduleOrCancelOthers) {
    sim::TimerQueue timers;
    std::vector<int> ran;
    timers.schedule(t0 + 2ms, [&](TimePoint) { ran.push_back(2); });
    const auto cancelled = timers.schedule(t0 + 1ms, [&](TimePoint) { ran.push_back(99); });
    timers.schedule(t0 + 1ms, [&](TimePoint due) {
        ran.push_back(1);
        timers.schedule(due, [&](TimePoint) { ran.push_back(11); });  // due now: runs this round
    });
    timers.schedule(t0, [&](TimePoint) { ran.push_back(0); });
    timers.cancel(cancelled);
    EXPECT_EQ(timers.nextDue(), t0);
    EXPECT_EQ(timers.runDue(t0 + 1ms), 3u);
    EXPECT_THAT(ran, testing::ElementsAre(0, 1, 11));
    EXPECT_EQ(timers.nextDue(), t0 + 2ms);
    timers.clear();
    EXPECT_TRUE(timers.empty());
}

TEST(SimFaultPlan, ThresholdsComeFirstAndEachFaultShapesItsWrites) {
    sim::Options o;
    o.silentAfter = 5;
    o.vanishAfter = 3;
    const sim::FaultPolicy drop = [](const sim::ReplyInfo&) { return sim::Fault::Drop; };
    EXPECT_EQ(sim::chooseFault({2, 3, 0, 0}, o, drop), sim::Fault::Drop);
    EXPECT_EQ(sim::chooseFault({3, 3, 0, 0}, o, drop), sim::Fault::Vanish);
    EXPECT_EQ(sim::chooseFault({4, 3, 0, 0}, o, {}), sim::Fault::None);
    EXPECT_EQ(sim::chooseFault({6, 3, 0, 0}, o, drop), sim::Fault::Silent);

    const Bytes ack = gimbal::blockAckFrame(9);
    o.splitPieces = 4;
    const auto pieces = sim::planReply(ack, sim::Fault::Split, o, 0);
    ASSERT_EQ(pieces.size(), 4u);
    Bytes joined;
    for (const auto& w : pieces) joined.insert(joined.end(), w.bytes.begin(), w.bytes.end());
    EXPECT_EQ(joined, ack);
    EXPECT_EQ(pieces[1].after, o.splitGap);
    EXPECT_FALSE(pieces[2].completesReply);
    EXPECT_TRUE(pieces[3].completesReply);
    o.splitPieces = 50;  // more pieces than bytes: one byte each
    EXPECT_EQ(sim::planReply(ack, sim::Fault::Split, o, 0).size(), ack.size());

    EXPECT_EQ(sim::planReply(ack, sim::Fault::Delay, o, 0).at(0).after, o.delay);
    EXPECT_TRUE(sim::planReply(ack, sim::Fault::Drop, o, 0).empty());
    EXPECT_THAT(sim::noiseBytes(4096, 1), testing::Not(testing::Contains(0x55)));

    // Stray bytes that look like a header, in the reply's write;
    // a restart sends no reply at all (the worker announces instead).
    const auto stray = sim::planReply(ack, sim::Fault::Stray, o, 0);
    ASSERT_EQ(stray.size(), 1u);
    Bytes expected{0x55, 0xAA, 0x00, 0x03, 0x00, 0x04};
    expected.insert(expected.end(), ack.begin(), ack.end());
    EXPECT_EQ(stray[0].bytes, expected);
    EXPECT_TRUE(stray[0].completesReply);
    EXPECT_TRUE(sim::planReply(ack, sim::Fault::Restart, o, 0).empty());
    EXPECT_EQ(sim::noiseBytes(16, 3), sim::noiseBytes(16, 3));
}

}  // namespace
}  // namespace sim_test
