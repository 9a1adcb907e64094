// quenlo-flash: the desktop upgrader without a window.
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "link/terminal_text.h"
#include "upgrader/flash/exit_codes.h"
#include "link/virtual_ports.h"
#include "upgrader/flash/flash_run.h"
#include "upgrader/flash/guarded_output.h"
#include "upgrader/flash/log_echo.h"
#include "upgrader/flash/options.h"
#include "upgrader/flash/port_list.h"
#include "upgrader/flash/reporter.h"
#include "upgrader/flash/watch_run.h"
#include "upgrader/platform/application.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    flash::ParseResult parsed = flash::parseOptions(args);
    if (parsed.options) flash::applyTestPageTimeout(*parsed.options, std::getenv(flash::kTestPageTimeoutVariable));
    if (!parsed.options) {
        // The error may quote an argument, which may hold anything.
        std::cerr << "quenlo-flash: " << gimbal::terminalSafe(parsed.error) << "\nTry 'quenlo-flash --help'." << std::endl;
        return flash::toInt(flash::ExitCode::Usage);
    }
    if (parsed.options->help) {
        std::cout << flash::helpText();
        return 0;
    }
    if (parsed.options->version) {
        std::cout << flash::versionText() << std::endl;
        return 0;
    }
    const flash::OutputForm form = parsed.options->json      ? flash::OutputForm::Json
                                   : ::isatty(STDOUT_FILENO) ? flash::OutputForm::Terminal
                                                             : flash::OutputForm::Text;
    // A reader that goes away (`| head -1`) must not end an upgrade half way:
    // writes to it fail instead, and the output says so once.
    std::signal(SIGPIPE, SIG_IGN);
    flash::GuardedOutput guarded(STDOUT_FILENO,
                                 [](int error) { std::cerr << flash::outputFailureText(error) << std::endl; });
    std::ostream out(&guarded);
    if (parsed.options->list) {
        flash::Reporter(out, std::cerr, form).portList(flash::listPorts(gimbal::virtualSerialFolder()));
        return 0;
    }
    const std::vector<std::string>& ports = parsed.options->ports;
    const flash::SystemLogEcho echo(parsed.options->verbose ? stderr : nullptr,
                                    ports.size() == 1 ? ports.front() : "quenlo-flash");
    platform::Application app(argc, argv);
    if (parsed.options->watch) {
        winsize size{};
        const bool known = ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0;
        return flash::runWatch(*parsed.options, out, std::cerr, form, known ? size.ws_col : 80);
    }
    return flash::runFlash(*parsed.options, out, std::cerr, form);
}
