// Test helpers: a pseudo-terminal whose slave the port opens while the test
// drives the master, and a delegate that records every callback in order.
#pragma once

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "upgrader/platform/application.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace test_support {

using Bytes = std::vector<std::uint8_t>;

// The master side; the slave path is free for the port to open.
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_; }
    void write(const Bytes& bytes);
    // Reads what the port wrote until `count` bytes arrived or the deadline passed.
    Bytes read(std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // True once no slave descriptor is open any more (the master reads EIO).
    bool slaveClosed();
    termios slaveAttributes() const;
    void closeMaster();

private:
    int master_ = -1;
    std::string slavePath_;
};

enum class Event { Removed, Data, Error, Opened, Closed };

struct Recorded {
    Event event;
    Bytes data;
    serial::KivPosixError error;
};

class RecordingDelegate : public serial::KivSerialPortDelegate {
public:
    // Callbacks this delegate claims not to implement.
    std::vector<serial::KivSerialPortDelegateCallback> missing;
    // Called from inside the named callback (after recording).
    std::function<void(const Port&)> onData, onOpened, onClosed, onRemoved;

    bool respondsToCallback(serial::KivSerialPortDelegateCallback callback) const override;
    void serialPortWasRemovedFromSystem(const Port& port) override;
    void serialPortDidReceiveData(const Port& port, const Bytes& data) override;
    void serialPortDidEncounterError(const Port& port, const serial::KivPosixError& error) override;
    void serialPortWasOpened(const Port& port) override;
    void serialPortWasClosed(const Port& port) override;

    std::vector<Recorded> events() const;
    std::size_t count(Event event) const;
    std::vector<Event> order() const;
    // The order without errors, for tests that provoke some.
    std::vector<Event> orderWithoutErrors() const;
    Bytes receivedData() const;  // all data chunks joined
    std::vector<serial::KivPosixError> errors() const;
    bool threadsOk() const { return allOnMainThread_; }

private:
    void record(Recorded recorded);
    mutable std::mutex mutex_;
    std::vector<Recorded> events_;
    bool allOnMainThread_ = true;
};

// A port for the pty's slave with a fresh recording delegate.
// On destruction it closes the port and waits until the port object is gone,
// so that no test meets a port (and its settings) left by the one before on
// a reused pty path.
struct OpenPort {
    explicit OpenPort(Pty& pty, bool open = true);
    ~OpenPort();
    OpenPort(const OpenPort&) = delete;
    OpenPort& operator=(const OpenPort&) = delete;
    std::shared_ptr<serial::KivSerialPort> port;
    std::shared_ptr<RecordingDelegate> delegate;
    // Closes (if open) and waits for the closed callback.
    void closeAndWait();
};

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Lets the main loop run for a while: only to show that something does NOT
// happen, which no condition can signal.
void observeFor(std::chrono::milliseconds window);

}  // namespace test_support
