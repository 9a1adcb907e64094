#include "upgrader/engine/port_frame_writer.h"

#include <chrono>

#include "upgrader/platform/one_shot_timer.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace engine {

namespace {

using namespace std::chrono_literals;

// The background reader takes bytes the moment the driver has them; a look
// every few milliseconds finds them gone soon after the process runs again.
constexpr std::chrono::milliseconds kLookAgain = 5ms;
constexpr int kMostLooks = 200;  // a second: a line streaming without end does not hold the verdict longer
// From its read to the hand-off to the main thread the reader needs a few
// microseconds; this leaves it ample time.
constexpr std::chrono::milliseconds kHandOver = 20ms;

void look(std::weak_ptr<serial::KivSerialPort> weak, std::function<void()> then, int looks) {
    const auto port = weak.lock();
    if (!port || !port->isOpen()) {
        then();
        return;
    }
    const bool waiting = port->inputBytesWaiting() > 0 && looks < kMostLooks;
    // One-shot timers stay alive until they fire; the handle is not needed.
    platform::startOneShotTimer(waiting ? kLookAgain : kHandOver,
                                [weak, then = std::move(then), looks, waiting]() mutable {
                                    if (waiting)
                                        look(weak, std::move(then), looks + 1);
                                    else
                                        then();
                                });
}

}  // namespace

std::optional<bool> writeToOpenPort(const std::shared_ptr<serial::KivSerialPort>& port, const Bytes& frame) {
    if (!port || !port->isOpen()) return std::nullopt;
    return port->sendData(frame);
}

void afterWaitingInput(const std::shared_ptr<serial::KivSerialPort>& port, std::function<void()> then) {
    if (!port || !port->isOpen()) {
        then();
        return;
    }
    look(port, std::move(then), 0);
}

}  // namespace engine
