// Text that comes from outside the program: lock-file contents, /proc/locks
// lines, and anything shown on a terminal. Parsed without a crash, a PID is
// believed only inside 1..pid_max, and the terminal form holds no control,
// escapes nothing twice and is cut within its width.
#include <sstream>
#include <string>

#include "fuzz_check.h"
#include "link/lock_file_content.h"
#include "link/port_diagnosis.h"
#include "link/terminal_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    const gimbal::LockFileContent content = gimbal::parseLockFileText(text);
    if (content.pid) FUZZ_CHECK(*content.pid >= 1 && *content.pid <= gimbal::maxProcessId());
    FUZZ_CHECK(content.program.find('\n') == std::string::npos);

    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (const auto lock = gimbal::parseProcLocksLine(line))
            FUZZ_CHECK(lock->pid >= 1 && lock->pid <= gimbal::maxProcessId());

    const std::string safe = gimbal::terminalSafe(text);
    for (const char c : safe) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    FUZZ_CHECK(gimbal::terminalSafe(safe) == safe);

    const std::size_t columns = size % 64;
    const std::string cut = gimbal::cutToWidth(text, columns);
    FUZZ_CHECK(gimbal::displayWidth(cut) <= columns);
    FUZZ_CHECK(text.compare(0, cut.size(), cut) == 0);
    return 0;
}
