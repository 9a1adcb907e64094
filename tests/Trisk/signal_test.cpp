// The Trisk program stopped by a signal while it holds a port: it closes the
// port (exclusive flag cleared, lock file removed) and exits with 128+signal.
#include <csignal>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "pty_peer.h"
#include "window_process.h"

namespace trisk_test {
namespace {

using namespace std::chrono_literals;

class TriskSignals : public ::testing::TestWithParam<int> {};

TEST_P(TriskSignals, ClosesThePortAndExitsWith128PlusTheSignal) {
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    const std::string path = peer.path().toStdString();
    window_test::WindowProcess trisk(TRISK_SIGNAL_HARNESS, {path});
    ASSERT_TRUE(trisk.started());
    ASSERT_TRUE(trisk.waitForLine("OPEN", 60s)) << trisk.output();
    // Held as the program holds it, so the checks below can tell.
    EXPECT_EQ(window_test::ttyExclusive(path), true);
    EXPECT_FALSE(window_test::lockFilesFor(path).empty());

    ASSERT_TRUE(trisk.signal(GetParam()));
    const auto status = trisk.waitForExit(60s);
    ASSERT_TRUE(status.has_value()) << "still running";
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 128 + GetParam());
    EXPECT_EQ(window_test::ttyExclusive(path), false);
    EXPECT_TRUE(window_test::lockFilesFor(path).empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, TriskSignals, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

}  // namespace
}  // namespace trisk_test
