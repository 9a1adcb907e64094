// The request queue of one port: one request in flight at a time, completed
// by its response, by its time-out or (when it expects no response) at once;
// then the next queued request is sent.
//
// Threads: send blocks its caller until the port's request-handling executor
// has written or queued the request (so call it anywhere but there); cancel
// and cancelAll return at once and take effect there later; queued() and
// pending() may be called from any thread. takeReceivedByte, clearAfterClose
// and every hook into the port run on the executor. mutex_ guards the queue
// and the request in flight, which change on the executor only (so it reads
// them without the lock); the response buffer, the time-out timer and the
// timed-out flag belong to the executor alone.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace platform {
class ExecutorTimer;
class SerialExecutor;
}  // namespace platform

namespace serial {

class KivSerialBuffer;
class KivSerialRequest;

class KivSerialRequestQueue {
public:
    using Bytes = std::vector<std::uint8_t>;
    using Request = std::shared_ptr<KivSerialRequest>;

    // What the queue needs of the port it lives in.
    struct Port {
        // Writes a request's bytes; false when the write failed.
        std::function<bool(std::span<const std::uint8_t>)> send;
        // The response to the request in flight has come.
        std::function<void(Bytes response, const Request& request)> responded;
        // The request in flight has timed out. False when nobody is told: the
        // queue goes on at once. True: the request stays in flight until the
        // port runs `told` (on any thread), so what the delegate sends from
        // its callback queues behind it.
        std::function<bool(const Request& request, std::function<void()> told)> timedOut;
        // The port itself: holding it keeps this queue alive for work that
        // runs later (a time-out).
        std::function<std::shared_ptr<void>()> keepAlive;
    };

    KivSerialRequestQueue(std::shared_ptr<platform::SerialExecutor> executor, Port port);
    ~KivSerialRequestQueue();
    KivSerialRequestQueue(const KivSerialRequestQueue&) = delete;
    KivSerialRequestQueue& operator=(const KivSerialRequestQueue&) = delete;

    // Sends the request, or queues it behind the one in flight (answering
    // true). False when the write failed; the request then stays in flight
    // until its time-out or a close clears it.
    bool send(const Request& request);
    // Never cancels the request in flight.
    void cancel(const Request& request);
    void cancelAll();
    std::vector<Request> queued() const;
    Request pending() const;

    void takeReceivedByte(std::uint8_t byte);
    // After a close the delegate was told of: the queue and the request in
    // flight are dropped.
    void clearAfterClose();

private:
    bool sendOrQueue(const Request& request);
    bool start(const Request& request);
    void armTimeout(const Request& request);
    void checkResponse(std::optional<std::uint8_t> byte);
    void pendingDidTimeOut();
    void continueAfterTimeoutOf(const Request& request);
    void sendNext();
    void setPending(Request request);
    void cancelTimeout();

    const std::shared_ptr<platform::SerialExecutor> executor_;
    const Port port_;

    mutable std::mutex mutex_;
    std::deque<Request> queue_;
    Request pending_;

    std::shared_ptr<KivSerialBuffer> responseBuffer_;
    std::unique_ptr<platform::ExecutorTimer> timeoutTimer_;
    // The request in flight has timed out and waits for the delegate; a late
    // response no longer completes it.
    bool timedOut_ = false;
};

}  // namespace serial
