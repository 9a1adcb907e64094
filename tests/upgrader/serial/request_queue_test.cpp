// The request queue on a real port over a pseudo-terminal.
#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "packet_delegate.h"

namespace serial {

namespace {

using test_support::Bytes;
using test_support::Reply;
using Descriptor = KivSerialPacketDescriptor;
using Request = KivSerialRequest;
using Callback = KivSerialPortDelegateCallback;

std::shared_ptr<Request> request(Bytes data, std::shared_ptr<Descriptor> response, double timeout = 0) {
    return Request::requestWithDataToSendUserInfoTimeoutIntervalResponseDescriptor(std::move(data), {}, timeout,
                                                                                   std::move(response));
}

std::shared_ptr<Descriptor> framed(std::uint8_t tag) {
    // "<tag ... >": a reply names the request it answers.
    return Descriptor::initWithPrefixSuffixMaximumPacketLengthUserInfo(Bytes{'<', tag}, Bytes{'>'}, 16, {});
}

bool nothingToRead(test_support::Pty& pty) {
    pollfd p{pty.master(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

TEST(KivSerialPortRequests, ThreeInARowGoOutOneAtATime) {
    test_support::Pty pty;
    test_support::PacketPort p(pty);
    auto a = request({'a'}, framed('a')), b = request({'b'}, framed('b')), c = request({'c'}, framed('c'));
    EXPECT_TRUE(p.port->sendRequest(a));
    EXPECT_TRUE(p.port->sendRequest(b));
    EXPECT_TRUE(p.port->sendRequest(c));
    EXPECT_EQ(p.port->pendingRequest(), a);
    EXPECT_EQ(p.port->queuedRequests(), (std::vector<std::shared_ptr<Request>>{b, c}));
    EXPECT_EQ(pty.read(1), Bytes{'a'});
    EXPECT_TRUE(nothingToRead(pty));

    // Split over several reads: complete only at the closing byte.
    pty.write(test_support::bytesOf("<a"));
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->receivedData().size() == 2; }));
    pty.write(test_support::bytesOf("1"));
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->receivedData().size() == 3; }));
    EXPECT_EQ(p.port->pendingRequest(), a);
    // One read completes a's response and begins b's, which is sent meanwhile.
    pty.write(test_support::bytesOf("><b"));
    EXPECT_EQ(pty.read(1), Bytes{'b'});
    pty.write(test_support::bytesOf("2>"));
    EXPECT_EQ(pty.read(1), Bytes{'c'});
    pty.write(test_support::bytesOf("<c>"));
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Reply::Response) == 3; }));
    const auto replies = p.delegate->replies();
    EXPECT_EQ(replies[0].data, test_support::bytesOf("<a1>"));
    EXPECT_EQ(replies[0].request, a);
    EXPECT_EQ(replies[1].data, test_support::bytesOf("<b2>"));
    EXPECT_EQ(replies[1].request, b);
    EXPECT_EQ(replies[2].request, c);
    EXPECT_TRUE(p.delegate->mainThreadOnly());
    EXPECT_TRUE(test_support::waitFor([&] { return !p.port->pendingRequest(); }));
}

TEST(KivSerialPortRequests, NoDescriptorCompletesAtOnceWithoutCallbacks) {
    test_support::Pty pty;
    test_support::PacketPort p(pty);
    EXPECT_TRUE(p.port->sendRequest(request({'x'}, nullptr, 0.01)));
    EXPECT_FALSE(p.port->pendingRequest());
    EXPECT_TRUE(p.port->sendRequest(request({'y'}, nullptr)));
    EXPECT_EQ(pty.read(2), (Bytes{'x', 'y'}));
    test_support::observeFor(std::chrono::milliseconds(60));  // longer than x's time-out
    EXPECT_TRUE(p.delegate->replies().empty());
}

TEST(KivSerialPortRequests, AbsurdTimeoutsNeitherOverflowNorFire) {
    test_support::Pty pty;
    test_support::PacketPort p(pty);
    std::size_t answered = 0;
    for (const double seconds : {1e300, std::numeric_limits<double>::infinity(), std::nan("")}) {
        auto r = request({'t'}, framed('t'), seconds);
        ASSERT_TRUE(p.port->sendRequest(r));
        EXPECT_EQ(pty.read(1), Bytes{'t'});
        test_support::observeFor(std::chrono::milliseconds(20));
        EXPECT_EQ(p.port->pendingRequest(), r);
        pty.write(test_support::bytesOf("<t>"));
        // The executor lets go of the request before the main thread hears the response.
        ++answered;
        ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Reply::Response) == answered; }));
        ASSERT_TRUE(test_support::waitFor([&] { return !p.port->pendingRequest(); }));
    }
    EXPECT_EQ(p.delegate->count(Reply::Timeout), 0u);
    EXPECT_EQ(p.delegate->count(Reply::Response), 3u);
}

TEST(KivSerialPortRequests, OutdatedFormWithoutEvaluatorTakesTheFirstByte) {
    test_support::Pty pty;
    test_support::PacketPort p(pty);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    auto r = Request::requestWithDataToSendUserInfoTimeoutIntervalResponseEvaluator({'q'}, {}, 0, nullptr);
#pragma GCC diagnostic pop
    ASSERT_TRUE(p.port->sendRequest(r));
    EXPECT_EQ(pty.read(1), Bytes{'q'});
    pty.write({0x42, 0x43});
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Reply::Response) == 1; }));
    EXPECT_EQ(p.delegate->dataOf(Reply::Response)[0], Bytes{0x42});
}

TEST(KivSerialPortRequests, TimeoutOnceAndNextOnlyAfterTheDelegateReturned) {
    test_support::Pty pty;
    test_support::PacketPort p(pty);
    auto first = request({'1'}, framed('1'), 0.02);
    auto second = request({'2'}, framed('2'));
    bool secondWasWrittenEarly = true;
    std::shared_ptr<Request> inFlightDuringCallback;
    p.delegate->onTimeout = [&](const auto& port, const auto&) {
        EXPECT_EQ(pty.read(1), Bytes{'1'});
        secondWasWrittenEarly = !nothingToRead(pty);
        inFlightDuringCallback = port->pendingRequest();
    };
    ASSERT_TRUE(p.port->sendRequest(first));
    ASSERT_TRUE(p.port->sendRequest(second));
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Reply::Timeout) == 1; }));
    EXPECT_FALSE(secondWasWrittenEarly);
    EXPECT_EQ(inFlightDuringCallback, first);
    EXPECT_EQ(p.delegate->replies()[0].request, first);
    EXPECT_EQ(pty.read(1), Bytes{'2'});
    pty.write(test_support::bytesOf("<1>"));  // too late for the first
    test_support::observeFor(std::chrono::milliseconds(100));
    EXPECT_EQ(p.delegate->count(Reply::Timeout), 1u);
    EXPECT_EQ(p.delegate->count(Reply::Response), 0u);
    EXPECT_EQ(p.port->pendingRequest(), second);
}

TEST(KivSerialPortRequests, WithoutTheTimeoutCallbackTheNextFollowsAtOnce) {
    test_support::Pty pty;
    test_support::PacketPort p(pty, {Callback::RequestDidTimeout});
    ASSERT_TRUE(p.port->sendRequest(request({'1'}, framed('1'), 0.01)));
    ASSERT_TRUE(p.port->sendRequest(request({'2'}, framed('2'))));
    EXPECT_EQ(pty.read(2), (Bytes{'1', '2'}));
    EXPECT_TRUE(p.delegate->replies().empty());
}

// A peer that answers each request at once while the time-out is about as
// short: each request must end exactly once, as a response or a time-out.
TEST(KivSerialPortRequests, TimeoutRacingResponseEndsEachRequestOnce) {
    test_support::Pty pty;
    test_support::PacketPort p(pty);
    constexpr int kRequests = 40;
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        while (!stop) {
            const Bytes got = pty.read(1, std::chrono::milliseconds(50));
            if (!got.empty()) pty.write({'<', got[0], '>'});
        }
    });
    std::vector<std::shared_ptr<Request>> requests;
    for (int i = 0; i < kRequests; ++i) {
        const auto tag = static_cast<std::uint8_t>('A' + i);
        requests.push_back(request({tag}, framed(tag), 0.001 * (i % 4)));
        ASSERT_TRUE(p.port->sendRequest(requests.back()));
    }
    const bool ended = test_support::waitFor([&] {
        return p.delegate->count(Reply::Timeout) + p.delegate->count(Reply::Response) >= kRequests &&
               !p.port->pendingRequest();
    });
    stop = true;
    peer.join();
    ASSERT_TRUE(ended);
    test_support::observeFor(std::chrono::milliseconds(30));
    for (const auto& r : requests) {
        int ends = 0;
        for (const auto& reply : p.delegate->replies()) ends += reply.request == r ? 1 : 0;
        EXPECT_EQ(ends, 1) << r->description();
    }
}

TEST(KivSerialPortRequests, ManyQueuedRequestsWithoutResponsesDoNotExhaustTheStack) {
    test_support::Pty pty;
    test_support::PacketPort p(pty);
    auto gate = request({'g'}, framed('g'));
    ASSERT_TRUE(p.port->sendRequest(gate));
    constexpr int kQueued = 100000;
    for (int i = 0; i < kQueued; ++i) ASSERT_TRUE(p.port->sendRequest(request({}, nullptr)));
    auto last = request({'z'}, framed('z'));
    ASSERT_TRUE(p.port->sendRequest(last));
    EXPECT_EQ(p.port->queuedRequests().size(), static_cast<std::size_t>(kQueued + 1));
    pty.write(test_support::bytesOf("<g>"));
    EXPECT_EQ(pty.read(2), (Bytes{'g', 'z'}));
    ASSERT_TRUE(test_support::waitFor([&] { return p.port->pendingRequest() == last; }));
    EXPECT_TRUE(p.port->queuedRequests().empty());
}

TEST(KivSerialPortRequests, CancellingNeverTouchesTheRequestInFlight) {
    test_support::Pty pty;
    test_support::PacketPort p(pty);
    auto inFlight = request({'1'}, framed('1'));
    auto queued = request({'2'}, framed('2'));
    auto kept = request({'3'}, framed('3'));
    ASSERT_TRUE(p.port->sendRequest(inFlight));
    ASSERT_TRUE(p.port->sendRequest(queued));
    ASSERT_TRUE(p.port->sendRequest(kept));
    ASSERT_TRUE(p.port->sendRequest(queued));  // queued twice: cancelling drops both
    p.port->cancelQueuedRequest(inFlight);
    p.port->cancelQueuedRequest(queued);
    p.port->cancelQueuedRequest(nullptr);
    ASSERT_TRUE(test_support::waitFor([&] { return p.port->queuedRequests().size() == 1; }));
    EXPECT_EQ(p.port->queuedRequests()[0], kept);
    EXPECT_EQ(p.port->pendingRequest(), inFlight);

    p.port->cancelAllQueuedRequests();
    ASSERT_TRUE(test_support::waitFor([&] { return p.port->queuedRequests().empty(); }));
    EXPECT_EQ(p.port->pendingRequest(), inFlight);
    EXPECT_EQ(pty.read(1), Bytes{'1'});
    pty.write(test_support::bytesOf("<1>"));
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Reply::Response) == 1; }));
    EXPECT_TRUE(test_support::waitFor([&] { return !p.port->pendingRequest(); }));
    EXPECT_TRUE(nothingToRead(pty));
}

TEST(KivSerialPortRequests, SendOnAClosedPortFailsAndStaysInFlightUntilItsTimeout) {
    test_support::Pty pty;
    // Without the closed callback the close clears nothing, so nothing races the sends below.
    test_support::PacketPort p(pty, {Callback::WasClosed});
    p.port->close();
    ASSERT_TRUE(test_support::waitFor([&] { return !p.port->isOpen(); }));
    auto stuck = request({'s'}, framed('s'), 0.05);
    auto next = request({'n'}, framed('n'));
    EXPECT_FALSE(p.port->sendRequest(stuck));
    EXPECT_EQ(p.port->pendingRequest(), stuck);
    EXPECT_TRUE(p.port->sendRequest(next));  // queued behind it
    EXPECT_EQ(p.port->queuedRequests().size(), 1u);
    // The next request goes out only after this returns, so it meets an open port.
    p.delegate->onTimeout = [](const auto& port, const auto&) { port->open(); };
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Reply::Timeout) == 1; }));
    EXPECT_EQ(pty.read(1), Bytes{'n'});
    EXPECT_EQ(p.port->pendingRequest(), next);
}

TEST(KivSerialPortRequests, CloseClearsOnlyWhenTheDelegateHasTheClosedCallback) {
    for (const bool hasClosedCallback : {true, false}) {
        SCOPED_TRACE(hasClosedCallback ? "with serialPortWasClosed" : "without serialPortWasClosed");
        test_support::Pty pty;
        test_support::PacketPort p(pty);
        if (!hasClosedCallback) p.delegate->missing = {Callback::WasClosed};
        auto inFlight = request({'1'}, framed('1'), 0.5);
        auto queued = request({'2'}, framed('2'));
        ASSERT_TRUE(p.port->sendRequest(inFlight));
        ASSERT_TRUE(p.port->sendRequest(queued));
        EXPECT_EQ(pty.read(1), Bytes{'1'});
        p.port->close();
        ASSERT_TRUE(test_support::waitFor([&] { return !p.port->isOpen(); }));
        if (hasClosedCallback) {
            ASSERT_TRUE(test_support::waitFor([&] { return !p.port->pendingRequest(); }));
            EXPECT_TRUE(p.port->queuedRequests().empty());
            test_support::observeFor(std::chrono::milliseconds(700));  // past the cleared time-out
            EXPECT_EQ(p.delegate->count(Reply::Timeout), 0u);
        } else {
            // Survive the close: the time-out still fires and the next is sent
            // (and fails to write, since the port is closed).
            ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Reply::Timeout) == 1; }));
            ASSERT_TRUE(test_support::waitFor([&] { return p.port->pendingRequest() == queued; }));
        }
    }
}

}  // namespace

}  // namespace serial
