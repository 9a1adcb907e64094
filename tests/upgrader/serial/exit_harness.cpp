// Not a test: a program that opens the pty slave given as its argument,
// closes it and returns from main at once, while its poll thread runs late
// (each queued item delayed, as on a loaded machine). The close must still
// be finished and told ("CLOSED") before the program ends, and nothing may
// run Qt code after main has returned.
#include <cstdio>
#include <memory>

#include "upgrader/platform/application.h"
#include "upgrader/platform/background_queue.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace {

class PrintingDelegate : public serial::KivSerialPortDelegate {
public:
    void serialPortWasRemovedFromSystem(const Port&) override {}
    void serialPortWasOpened(const Port&) override { print("OPENED"); }
    void serialPortWasClosed(const Port&) override { print("CLOSED"); }

private:
    static void print(const char* line) {
        std::printf("%s\n", line);
        std::fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv) {
    using namespace std::chrono_literals;
    if (argc < 2) return 2;
    // Made before the application object, so it is still there to be told.
    const auto delegate = std::make_shared<PrintingDelegate>();
    platform::Application app(argc, argv);
    const auto port = serial::KivSerialPort::serialPortWithPath(argv[1]);
    if (!port) return 3;
    port->setDelegate(delegate);
    port->open();
    if (!platform::runMainLoopUntil([&] { return port->isOpen(); })) return 4;
    platform::delayBackgroundWorkForTesting(300ms);
    port->close();
    return 0;
}
