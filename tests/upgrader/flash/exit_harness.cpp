// Not a test: quenlo-flash's way out (the closes, the signal watch, the
// threads) with a close that never finishes: the poll thread is held, as by a
// driver stuck in close, once the port closes. Prints how long the way out
// took; the system log goes to standard error.
#include <chrono>
#include <cstdio>
#include <iostream>

#include "upgrader/flash/session.h"
#include "upgrader/flash/signal_watch.h"
#include "upgrader/platform/application.h"
#include "upgrader/platform/background_queue.h"
#include "upgrader/platform/system_log.h"
#include "upgrader/serial/kiv_serial_port.h"

int main(int argc, char** argv) {
    using namespace std::chrono_literals;
    if (argc < 2) return 2;
    platform::echoSystemLogTo(stderr);
    std::chrono::steady_clock::time_point began;
    {
        platform::Application app(argc, argv);
        const auto port = serial::KivSerialPort::serialPortWithPath(argv[1]);
        if (!port) return 3;
        port->open();
        if (!platform::runMainLoopUntil([&] { return port->isOpen(); })) return 4;
        {
            const flash::SignalWatch signals([](int) {});
            platform::delayBackgroundWorkForTesting(60s);
            port->close();
            began = std::chrono::steady_clock::now();
            flash::waitForClosesBeforeExit([] { return true; }, std::cerr);
        }
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
    std::printf("EXIT TOOK %lld ms\n", static_cast<long long>(took.count()));
    std::fflush(stdout);
    std::_Exit(0);  // the held poll thread is not waited for
}
