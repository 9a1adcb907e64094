// Cutting a byte stream into frames: as the simulated gimbal takes the host's
// frames (every frame, the damaged ones skipped whole) and as a host takes
// the gimbal's replies (sound frames only, resynchronising byte by byte).
#include <gtest/gtest.h>

#include <chrono>

#include "link/frame.h"
#include "link/frame_assembler.h"

namespace gimbal {
namespace {

using namespace std::chrono_literals;

const FrameAssembler::TimePoint t0 = FrameAssembler::TimePoint{} + 100s;

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A block frame whose CRC fails, with a whole sound acknowledgement in its payload.
Bytes badFrameHiding(const Bytes& inner) {
    Bytes bad = buildBlockFrame(1, inner);
    bad.back() ^= 0x80;
    return bad;
}

TEST(FrameAssembler, FindsFramesAcrossChunksAndSaysWhereEachEnds) {
    FrameAssembler assembler;
    const Bytes a = blockAckFrame(7);
    const Bytes b = switchAckFrame();
    const Bytes stream = join({{0x01, 0x55, 0x55}, a, b});  // junk and a false start before a's own 55

    EXPECT_TRUE(assembler.push(std::span(stream).first(6), t0).empty());
    const auto pieces = assembler.push(std::span(stream).subspan(6), t0);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].frame, a);
    EXPECT_EQ(pieces[0].endInChunk, 3 + a.size() - 6);
    EXPECT_EQ(pieces[1].frame, b);
    EXPECT_EQ(pieces[1].endInChunk, stream.size() - 6);
    EXPECT_TRUE(pieces[1].crcHolds);
}

TEST(FrameAssembler, SkipsABadFrameWholeAndDropsAStrayHeaderAfterSilence) {
    FrameAssembler assembler;
    const Bytes good = blockAckFrame(2);
    // A whole sound frame inside the bad one's payload must not come out of it.
    const auto pieces = assembler.push(join({badFrameHiding(blockAckFrame(3)), good}), t0);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_FALSE(pieces[0].crcHolds);
    EXPECT_EQ(pieces[1].frame, good);

    const Bytes stray{0x55, 0xAA, 0x00, 0x02, 0xFF, 0xFF};  // waits for 65543 bytes
    EXPECT_TRUE(assembler.push(stray, t0).empty());
    EXPECT_EQ(assembler.staleAt(), t0 + 1s);
    EXPECT_FALSE(assembler.dropStale(t0 + 999ms));
    EXPECT_TRUE(assembler.dropStale(t0 + 1s));
    EXPECT_FALSE(assembler.staleAt());
    EXPECT_EQ(assembler.push(good, t0 + 2s).size(), 1u);
}

TEST(ReplyFrameAssembler, SeparatesAnAnnouncementAndAnAcknowledgementReadTogether) {
    ReplyFrameAssembler a;
    const Bytes report = announcementFrame(1024, 123);
    const Bytes ack = blockAckFrame(0);
    const auto frames = a.feed(join({report, ack}));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], report);
    EXPECT_EQ(frames[1], ack);
    EXPECT_EQ(a.buffered(), 0u);
}

TEST(ReplyFrameAssembler, JoinsAFrameSplitOverReadsAtEveryPoint) {
    const Bytes report = announcementFrame(1024, 1234, true);
    for (std::size_t cut = 1; cut < report.size(); ++cut) {
        ReplyFrameAssembler a;
        EXPECT_TRUE(a.feed(std::span(report).first(cut)).empty());
        const auto frames = a.feed(std::span(report).subspan(cut));
        ASSERT_EQ(frames.size(), 1u) << cut;
        EXPECT_EQ(frames[0], report);
    }
}

TEST(ReplyFrameAssembler, DropsNoiseBadCrcAndImplausibleHeadersButKeepsWhatFollows) {
    ReplyFrameAssembler a;
    Bytes corrupt = blockAckFrame(1);
    corrupt.back() ^= 0xFF;
    const Bytes bogusHeader{0x55, 0xAA, 0x00, 0x03, 0xFF, 0xFF};  // announces 65535 bytes
    const Bytes good = switchAckFrame();
    const auto frames = a.feed(join({Bytes{1, 2, 0x55, 3}, corrupt, bogusHeader, good}));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], good);
    EXPECT_EQ(a.buffered(), 0u);

    // Unlike the gimbal's side, a host looks inside a damaged frame: its
    // length may be what broke.
    const Bytes hidden = blockAckFrame(3);
    const auto found = a.feed(join({badFrameHiding(hidden), good}));
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0], hidden);
    EXPECT_EQ(found[1], good);
}

// The gimbal's replies are at most 32 bytes. Six stray
// bytes announcing a 1024-byte payload are no header (they made the reader
// wait for a 1032-byte frame and lose the acknowledgement behind them).
TEST(ReplyFrameAssembler, AHeaderNoReplyCanHaveIsSkippedAtOnce) {
    const Bytes stray{0x55, 0xAA, 0x00, 0x03, 0x00, 0x04};
    const Bytes ack = blockAckFrame(4);
    ReplyFrameAssembler together;
    EXPECT_EQ(together.feed(join({stray, ack})), std::vector<Bytes>{ack});
    EXPECT_EQ(together.buffered(), 0u);

    ReplyFrameAssembler apart;  // the stray bytes in a read of their own
    EXPECT_TRUE(apart.feed(stray).empty());
    EXPECT_EQ(apart.feed(ack), std::vector<Bytes>{ack});

    // The longest reply, the 32-byte announcement, still comes through.
    const Bytes longReport = announcementFrame(1024, 1234, true);
    ASSERT_EQ(longReport.size(), ReplyFrameAssembler::kLargestReply);
    EXPECT_EQ(ReplyFrameAssembler().feed(join({stray, longReport})), std::vector<Bytes>{longReport});
}

// A reply's pieces may come far apart (a network bridge): a partial reply
// is kept until it is whole, however long that takes. It is given up only
// when it cannot be one: its CRC fails once whole, or a sound reply lies
// whole after its sync (a stray header). What is given up is told.
TEST(ReplyFrameAssembler, APartialReplyIsKeptUntilItCannotBeOne) {
    const Bytes ack = blockAckFrame(4);
    const Bytes stray{0x55, 0xAA, 0x00, 0x03, 0x10, 0x00};  // a 24-byte payload to come
    Bytes corrupt = switchAckFrame();
    corrupt.back() ^= 0x01;
    const struct {
        const char* name;
        std::vector<Bytes> reads;
        Bytes dropped;
    } cases[] = {
        {"split, read by read", {Bytes(ack.begin(), ack.begin() + 3), Bytes(ack.begin() + 3, ack.end())}, {}},
        {"stray header before it", {stray, ack}, stray},
        {"stray header, then it in two reads", {stray, Bytes(ack.begin(), ack.begin() + 5), Bytes(ack.begin() + 5, ack.end())}, stray},
        {"a bad CRC before it", {Bytes(corrupt.begin(), corrupt.end() - 1), join({Bytes{corrupt.back()}, ack})}, corrupt},
    };
    for (const auto& c : cases) {
        ReplyFrameAssembler a;
        std::vector<Bytes> frames;
        for (std::size_t i = 0; i < c.reads.size(); ++i) {
            for (const Bytes& f : a.feed(c.reads[i])) frames.push_back(f);
            if (i + 1 < c.reads.size()) {
                EXPECT_TRUE(frames.empty()) << c.name;
            }
        }
        EXPECT_EQ(frames, std::vector<Bytes>{ack}) << c.name;
        EXPECT_EQ(a.buffered(), 0u) << c.name;
        const auto dropped = a.takeDropped();
        EXPECT_EQ(dropped.bytes, c.dropped) << c.name;
        EXPECT_EQ(dropped.count, c.dropped.size()) << c.name;
    }
}

}  // namespace
}  // namespace gimbal
