#include "cli/info_options.h"

#include <cstdio>
#include <string_view>

namespace cli {

std::string versionLine(const std::string& program) {
    return program + " " GIMBAL_VERSION;
}

std::optional<int> answerInfoOptions(int argc, char** argv, const std::string& program, const std::string& help) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg != "--help" && arg != "--version") continue;
        const std::string text = (arg == "--help" ? help : versionLine(program)) + "\n";
        // A closed or full standard output is an error, not a silent success.
        const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
        return written && std::fflush(stdout) == 0 ? 0 : 1;
    }
    return std::nullopt;
}

}  // namespace cli
