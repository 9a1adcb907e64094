// The Trisk program stopped by a signal while it holds a port: it closes the
// port (exclusive flag cleared, lock file removed) and exits with 128+signal.
// Asked only for its version or usage, it answers without a display.
#include <csignal>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pty_peer.h"
#include "tests/support/window_process.h"

namespace trisk_test {
namespace {

using namespace std::chrono_literals;

class TriskSignals : public ::testing::TestWithParam<int> {};

TEST_P(TriskSignals, ClosesThePortAndExitsWith128PlusTheSignal) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    const std::string path = peer.path().toStdString();
    test_support::WindowProcess trisk(TRISK_SIGNAL_HARNESS, {path});
    ASSERT_TRUE(trisk.started());
    ASSERT_TRUE(trisk.waitForLine("OPEN", 60s)) << trisk.output();
    // Held as the program holds it, so the checks below can tell.
    EXPECT_EQ(test_support::ttyExclusive(path), true);
    EXPECT_FALSE(test_support::lockFilesFor(path).empty());

    ASSERT_TRUE(trisk.signal(GetParam()));
    const auto status = trisk.waitForExit(60s);
    ASSERT_TRUE(status.has_value()) << "still running";
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 128 + GetParam());
    EXPECT_EQ(test_support::ttyExclusive(path), false);
    EXPECT_TRUE(test_support::lockFilesFor(path).empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, TriskSignals, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// Both answered on standard output, with no display to open a window on.
TEST(TriskProgram, AnswersVersionAndHelpWithoutADisplay) {
    const std::vector<std::string> noDisplay{"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"};
    for (const std::string option : {"--version", "--help"}) {
        test_support::WindowProcess trisk(TRISK_PROGRAM, {option}, noDisplay);
        ASSERT_TRUE(trisk.started());
        const auto status = trisk.waitForExit(60s);
        ASSERT_TRUE(status.has_value()) << option << ": still running";
        ASSERT_TRUE(WIFEXITED(*status)) << option << ": ended by signal " << WTERMSIG(*status);
        EXPECT_EQ(WEXITSTATUS(*status), 0) << option;
        if (option == "--version")
            EXPECT_EQ(trisk.output(), "Trisk " GIMBAL_VERSION "\n");
        else
            EXPECT_TRUE(trisk.output().starts_with("Usage: Trisk ") &&
                        trisk.output().find("--version") != std::string::npos)
                << trisk.output();
    }
}

}  // namespace
}  // namespace trisk_test
