// The Quenlo program stopped by a signal while it holds a port: it closes the
// port (exclusive flag cleared, lock file removed) and exits with 128+signal.
// Asked only for its version or usage, it answers without a display.
#include <csignal>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/window_process.h"
#include "tests/upgrader/support/pty.h"

namespace app_test {
namespace {

using namespace std::chrono_literals;

class QuenloSignals : public ::testing::TestWithParam<int> {};

TEST_P(QuenloSignals, ClosesThePortAndExitsWith128PlusTheSignal) {
    test_support::Pty pty;
    const std::string path = pty.slavePath();
    test_support::WindowProcess quenlo(QUENLO_SIGNAL_HARNESS, {path});
    ASSERT_TRUE(quenlo.started());
    ASSERT_TRUE(quenlo.waitForLine("OPEN", 60s)) << quenlo.output();
    // Held as the program holds it, so the checks below can tell.
    EXPECT_EQ(test_support::ttyExclusive(path), true);
    EXPECT_FALSE(test_support::lockFilesFor(path).empty());

    ASSERT_TRUE(quenlo.signal(GetParam()));
    const auto status = quenlo.waitForExit(60s);
    ASSERT_TRUE(status.has_value()) << "still running";
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 128 + GetParam());
    EXPECT_EQ(test_support::ttyExclusive(path), false);
    EXPECT_TRUE(test_support::lockFilesFor(path).empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, QuenloSignals, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// Both answered on standard output, with no display to open a window on.
TEST(QuenloProgram, AnswersVersionAndHelpWithoutADisplay) {
    const std::vector<std::string> noDisplay{"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"};
    for (const std::string option : {"--version", "--help"}) {
        test_support::WindowProcess quenlo(QUENLO_PROGRAM, {option}, noDisplay);
        ASSERT_TRUE(quenlo.started());
        const auto status = quenlo.waitForExit(60s);
        ASSERT_TRUE(status.has_value()) << option << ": still running";
        ASSERT_TRUE(WIFEXITED(*status)) << option << ": ended by signal " << WTERMSIG(*status);
        EXPECT_EQ(WEXITSTATUS(*status), 0) << option;
        if (option == "--version")
            EXPECT_EQ(quenlo.output(), "Quenlo " GIMBAL_VERSION "\n");
        else
            EXPECT_TRUE(quenlo.output().starts_with("Usage: Quenlo ") &&
                        quenlo.output().find("--version") != std::string::npos)
                << quenlo.output();
    }
}

}  // namespace
}  // namespace app_test
