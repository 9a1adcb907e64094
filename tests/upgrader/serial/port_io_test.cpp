// Open, read, write and close on a pseudo-terminal.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>

#include <atomic>
#include <numeric>
#include <string>
#include <thread>

#include "tests/upgrader/support/pty.h"
#include "upgrader/serial/kiv_exclusive_open.h"

namespace serial {

namespace {

using test_support::Event;

test_support::Bytes pattern(std::size_t size, std::uint8_t seed = 0) {
    test_support::Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    return bytes;
}

TEST(KivSerialPortIO, OpensRawAndDeliversOpenedBeforeDataInReadOrder) {
    test_support::Pty pty;
    // Data already waiting when the port opens must still follow the opened callback.
    test_support::OpenPort p(pty, false);
    p.port->open();
    pty.write({0x55, 0xAA, 0x00, 0x00});
    const auto payload = pattern(5000);
    pty.write(payload);
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->receivedData().size() == payload.size() + 4; }));

    const auto order = p.delegate->orderWithoutErrors();
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.front(), Event::Opened);
    test_support::Bytes expected = {0x55, 0xAA, 0x00, 0x00};
    expected.insert(expected.end(), payload.begin(), payload.end());
    EXPECT_EQ(p.delegate->receivedData(), expected);
    for (const auto& recorded : p.delegate->events()) EXPECT_LE(recorded.data.size(), 1024u);
    EXPECT_TRUE(p.delegate->threadsOk());

    const termios attributes = pty.slaveAttributes();
    EXPECT_EQ(attributes.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(attributes.c_lflag & (ICANON | ISIG | ECHO), 0u);
    EXPECT_EQ(attributes.c_cflag & (CLOCAL | CREAD | HUPCL), static_cast<tcflag_t>(CLOCAL | CREAD | HUPCL));
    EXPECT_EQ(attributes.c_cc[VMIN], 1);
    EXPECT_EQ(attributes.c_cc[VTIME], 2);
    EXPECT_EQ(cfgetospeed(&attributes), static_cast<speed_t>(B19200));
    p.closeAndWait();
}

// A line comes up cooked, with echo on. What the gimbal sent before the
// open sat in the line discipline: it must not reach the delegate, on the
// first open or any later one. And the close must not leave echo on: the
// driver receives (and the line discipline echoes) from inside the kernel's
// open on, before any program can switch it off, so what the gimbal sends
// while the port is closed or opening again would come back to it.
TEST(KivSerialPortIO, BytesFromBeforeEachOpenAreDiscardedAndNeverEchoed) {
    test_support::Pty pty;
    test_support::OpenPort p(pty, false);
    const test_support::Bytes stale = {0x55, 0xAA, 0x00, 0x00, 0x04, 0x00, 0x11, 0x22};
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        pty.write(stale);
        const auto echo = pty.read(64, std::chrono::milliseconds(200));
        if (round > 0) {
            EXPECT_TRUE(echo.empty()) << "the last close left echo on";
        }
        const std::size_t before = p.delegate->receivedData().size();
        p.port->open();
        ASSERT_TRUE(p.port->isOpen());
        const auto fresh = pattern(16, static_cast<std::uint8_t>(round));
        pty.write(fresh);
        ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->receivedData().size() >= before + fresh.size(); }));
        test_support::observeFor(std::chrono::milliseconds(20));
        const auto received = p.delegate->receivedData();
        EXPECT_EQ(test_support::Bytes(received.begin() + static_cast<std::ptrdiff_t>(before), received.end()), fresh);
        p.closeAndWait();
        EXPECT_EQ(pty.slaveAttributes().c_lflag & (ECHO | ICANON), static_cast<tcflag_t>(ICANON))
            << "the close puts the attributes back, echo excepted";
    }
}

TEST(KivSerialPortIO, SendDataWritesEverythingAndRefusesWhenClosed) {
    test_support::Pty pty;
    test_support::OpenPort p(pty);
    const auto frame = pattern(1036, 3);
    EXPECT_TRUE(p.port->sendData(frame));
    EXPECT_EQ(pty.read(frame.size()), frame);
    EXPECT_TRUE(p.port->sendData({}));  // nothing to write
    p.closeAndWait();
    const auto errorsBefore = p.delegate->count(Event::Error);
    EXPECT_FALSE(p.port->sendData(frame));
    test_support::observeFor(std::chrono::milliseconds(20));
    EXPECT_EQ(p.delegate->count(Event::Error), errorsBefore);  // a closed port is no error
}

TEST(KivSerialPortIO, OpenOnAnOpenPortDoesNothing) {
    test_support::Pty pty;
    test_support::OpenPort p(pty);
    const int fd = p.port->fileDescriptor();
    p.port->open();
    EXPECT_EQ(p.port->fileDescriptor(), fd);
    test_support::observeFor(std::chrono::milliseconds(50));
    EXPECT_EQ(p.delegate->count(Event::Opened), 1u);
    EXPECT_EQ(p.delegate->count(Event::Error), 0u);
    p.closeAndWait();
}

TEST(KivSerialPortIO, CloseCompletesOnThePollThreadRestoresAttributesAndUnlocks) {
    test_support::Pty pty;
    termios original = pty.slaveAttributes();
    original.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &original), 0);

    test_support::OpenPort p(pty);
    const auto lockDir = lockDirectory();
    ASSERT_TRUE(lockDir);
    const std::string lockFile = *lockDir + "/" + lockFileNameFor(pty.slavePath());
    struct stat info {};
    EXPECT_EQ(::stat(lockFile.c_str(), &info), 0);

    EXPECT_TRUE(p.port->close());
    // The close finishes on the poll thread, whose closed callback needs this
    // (main) thread: it cannot have come yet, whereas the descriptor may
    // already be gone.
    EXPECT_EQ(p.delegate->count(Event::Closed), 0u);
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Event::Closed) == 1; }));
    EXPECT_FALSE(p.port->isOpen());
    EXPECT_EQ(p.port->fileDescriptor(), 0);
    EXPECT_TRUE(pty.slaveClosed());
    EXPECT_NE(::stat(lockFile.c_str(), &info), 0);
    // Put back as found, except echo, which would meet the next open.
    EXPECT_EQ(pty.slaveAttributes().c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON));
    EXPECT_TRUE(p.port->close());  // closed: nothing happens
    test_support::observeFor(std::chrono::milliseconds(30));
    EXPECT_EQ(p.delegate->count(Event::Closed), 1u);

    // And it opens again.
    p.port->open();
    EXPECT_TRUE(test_support::waitFor([&] { return p.delegate->count(Event::Opened) == 2; }));
    p.closeAndWait();
}

// Data keeps arriving while the port closes: nothing after the closed
// callback, and what was delivered is an in-order prefix of what was sent.
TEST(KivSerialPortIO, CloseWhileDataArrives) {
    test_support::Pty pty;
    test_support::OpenPort p(pty);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::uint8_t next = 0;
        while (!stop) {
            std::uint8_t block[64];
            // Never block: once the port is closed nobody reads the other side.
            pollfd out{pty.master(), POLLOUT, 0};
            if (::poll(&out, 1, 10) != 1 || (out.revents & POLLOUT) == 0) continue;
            for (auto& b : block) b = next++;
            if (::write(pty.master(), block, sizeof block) != static_cast<ssize_t>(sizeof block)) break;
        }
    });
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->receivedData().size() > 4096; }));
    p.closeAndWait();
    stop = true;
    writer.join();

    EXPECT_EQ(p.delegate->order().back(), Event::Closed);
    const auto data = p.delegate->receivedData();
    for (std::size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], static_cast<std::uint8_t>(i)) << "at " << i;
}

TEST(KivSerialPortIO, CloseFromInsideTheDataCallback) {
    test_support::Pty pty;
    test_support::OpenPort p(pty);
    p.delegate->onData = [](const auto& port) { port->close(); };
    pty.write(pattern(10));
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->count(Event::Closed) == 1; }));
    EXPECT_FALSE(p.port->isOpen());
    EXPECT_EQ(p.delegate->order().back(), Event::Closed);
}

TEST(KivSerialPortIO, EchoOptionEchoesReceivedBytes) {
    test_support::Pty pty;
    test_support::OpenPort p(pty);
    p.port->setShouldEchoReceivedData(true);
    EXPECT_NE(pty.slaveAttributes().c_lflag & ECHO, 0u);
    pty.write({'a', 'b', 'c'});
    EXPECT_EQ(pty.read(3), (test_support::Bytes{'a', 'b', 'c'}));
    p.closeAndWait();
}

// Open asks for low-latency mode and sets the modem lines, both of which a
// pty refuses: neither is an error, and the diagnostic lines of the open go
// to the system log only, not to the window's standard error.
TEST(KivSerialPortIO, PortOnAPtyOpensAndCarriesDataWithNoErrorAndNothingOnStandardError) {
    test_support::Pty pty;
    testing::internal::CaptureStderr();
    test_support::OpenPort p(pty);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(p.port->isOpen());
    const test_support::Bytes out{0x55, 0xAA, 0x00, 0x01};
    EXPECT_TRUE(p.port->sendData(out));
    EXPECT_EQ(pty.read(out.size()), out);
    const test_support::Bytes in{0x55, 0xAA, 0x00, 0x03};
    pty.write(in);
    ASSERT_TRUE(test_support::waitFor([&] { return p.delegate->receivedData() == in; }));
    EXPECT_EQ(p.delegate->count(Event::Error), 0u);
}

}  // namespace

}  // namespace serial
