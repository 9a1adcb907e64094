#include "tests/upgrader/support/pty.h"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>

#include "link/posix_io.h"
#include "upgrader/platform/main_queue.h"

namespace test_support {

Pty::Pty() {
    int slave = -1;
    char name[256] = {};
    EXPECT_EQ(::openpty(&master_, &slave, name, nullptr, nullptr), 0);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    slavePath_ = name;
    ::close(slave);  // the port opens it by path
}

Pty::~Pty() {
    closeMaster();
}

void Pty::closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

void Pty::write(const Bytes& bytes) {
    ASSERT_EQ(gimbal::writeAll(master_, bytes).error, 0);
}

Bytes Pty::read(std::size_t count, std::chrono::milliseconds deadline) {
    Bytes out;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (out.size() < count && std::chrono::steady_clock::now() < end) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0 || (p.revents & POLLIN) == 0) continue;
        std::uint8_t buffer[4096];
        const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - out.size()));
        if (n <= 0) break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

bool Pty::slaveClosed() {
    // With no slave open the master polls as hung up.
    pollfd p{master_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

termios Pty::slaveAttributes() const {
    termios attributes{};
    EXPECT_EQ(::tcgetattr(master_, &attributes), 0);  // the master reports the slave's
    return attributes;
}

bool RecordingDelegate::respondsToCallback(serial::KivSerialPortDelegateCallback callback) const {
    return std::find(missing.begin(), missing.end(), callback) == missing.end();
}

void RecordingDelegate::record(Recorded recorded) {
    std::lock_guard lock(mutex_);
    allOnMainThread_ = allOnMainThread_ && platform::isMainThread();
    events_.push_back(std::move(recorded));
}

void RecordingDelegate::serialPortWasRemovedFromSystem(const Port& port) {
    record({Event::Removed, {}, {}});
    if (onRemoved) onRemoved(port);
}

void RecordingDelegate::serialPortDidReceiveData(const Port& port, const Bytes& data) {
    record({Event::Data, data, {}});
    if (onData) onData(port);
}

void RecordingDelegate::serialPortDidEncounterError(const Port&, const serial::KivPosixError& error) {
    record({Event::Error, {}, error});
}

void RecordingDelegate::serialPortWasOpened(const Port& port) {
    record({Event::Opened, {}, {}});
    if (onOpened) onOpened(port);
}

void RecordingDelegate::serialPortWasClosed(const Port& port) {
    record({Event::Closed, {}, {}});
    if (onClosed) onClosed(port);
}

std::vector<Recorded> RecordingDelegate::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::size_t RecordingDelegate::count(Event event) const {
    const auto all = events();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [event](const Recorded& r) { return r.event == event; }));
}

std::vector<Event> RecordingDelegate::order() const {
    std::vector<Event> out;
    for (const auto& r : events()) out.push_back(r.event);
    return out;
}

std::vector<Event> RecordingDelegate::orderWithoutErrors() const {
    std::vector<Event> out;
    for (const auto& r : events())
        if (r.event != Event::Error) out.push_back(r.event);
    return out;
}

Bytes RecordingDelegate::receivedData() const {
    Bytes out;
    for (const auto& r : events())
        if (r.event == Event::Data) out.insert(out.end(), r.data.begin(), r.data.end());
    return out;
}

std::vector<serial::KivPosixError> RecordingDelegate::errors() const {
    std::vector<serial::KivPosixError> out;
    for (const auto& r : events())
        if (r.event == Event::Error) out.push_back(r.error);
    return out;
}

OpenPort::OpenPort(Pty& pty, bool open)
    : port(serial::KivSerialPort::serialPortWithPath(pty.slavePath())),
      delegate(std::make_shared<RecordingDelegate>()) {
    EXPECT_TRUE(port);
    if (!port) return;
    port->setDelegate(delegate);
    if (open) {
        port->open();
        EXPECT_TRUE(port->isOpen());
        EXPECT_TRUE(waitFor([&] { return delegate->count(Event::Opened) == 1; }));
    }
}

OpenPort::~OpenPort() {
    if (port && delegate) closeAndWait();
    std::weak_ptr<serial::KivSerialPort> weak = port;
    port.reset();
    EXPECT_TRUE(waitFor([&] { return weak.expired(); })) << "a port outlived its test";
}

void OpenPort::closeAndWait() {
    if (!port) return;
    const std::size_t closedBefore = delegate->count(Event::Closed);
    if (port->isOpen()) {
        port->close();
        EXPECT_TRUE(waitFor([&] { return delegate->count(Event::Closed) > closedBefore && !port->isOpen(); }));
    }
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return platform::runMainLoopUntil(condition, timeout);
}

void observeFor(std::chrono::milliseconds window) {
    platform::runMainLoopUntil([] { return false; }, window);
}

}  // namespace test_support
