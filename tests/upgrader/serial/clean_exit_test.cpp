// A program that returns from main while its poll thread still has a close
// to finish: the application object waits for that thread before it goes,
// so the close is completed and told, and no thread runs Qt code after main.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "tests/support/window_process.h"
#include "tests/upgrader/support/pty.h"

namespace serial {
namespace {

using namespace std::chrono_literals;

TEST(CleanExit, ACloseStillUnderWayWhenMainReturnsIsFinishedAndToldBeforeTheProcessEnds) {
    test_support::Pty pty;
    test_support::WindowProcess program(EXIT_HARNESS, {pty.slavePath()});
    ASSERT_TRUE(program.started());
    const auto status = program.waitForExit(60s);
    ASSERT_TRUE(status.has_value()) << "still running";
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status) << "\n" << program.output();
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_TRUE(program.waitForLine("CLOSED", 1s)) << program.output();
    EXPECT_TRUE(pty.slaveClosed());
    EXPECT_TRUE(test_support::lockFilesFor(pty.slavePath()).empty());
}

}  // namespace
}  // namespace serial
