#include <gtest/gtest.h>

#include <unistd.h>

#include "pty.h"
#include "upgrader/serial/kiv_exclusive_open.h"

namespace {

TEST(ExclusiveOpen, LockFileNames)
{
    EXPECT_EQ(kiv::lockFileNameFor("/dev/ttyUSB0"), "LCK..ttyUSB0");
    EXPECT_EQ(kiv::lockFileNameFor("/dev/pts/3"), "LCK..pts_3");
    EXPECT_EQ(kiv::lockFileNameFor("/tmp/vport"), "LCK.._tmp_vport");
    EXPECT_EQ(kiv::lockDirectoryCandidates().front(), "/var/lock");
}

TEST(ExclusiveOpen, SecondOpenOfTheSameDeviceIsRefusedUntilTheFirstCloses)
{
    test::Pty pty;
    kiv::ExclusiveDevice first, second;
    const char* failed = nullptr;
    ASSERT_EQ(first.open(pty.slavePath(), failed), 0);
    EXPECT_EQ(second.open(pty.slavePath(), failed), EBUSY);
    EXPECT_STREQ(failed, "lock");
    EXPECT_FALSE(second.isOpen());
    EXPECT_EQ(first.close(), 0);
    EXPECT_EQ(second.open(pty.slavePath(), failed), 0);
}

TEST(ExclusiveOpen, LockFileCarriesPidProgramAndHost)
{
    test::Pty pty;
    const auto dir = kiv::lockDirectory();
    ASSERT_TRUE(dir);
    kiv::DeviceLockFile lock;
    ASSERT_EQ(lock.acquire(*dir, pty.slavePath()), 0);
    char buffer[512] = {};
    FILE* file = std::fopen(lock.file().c_str(), "r");
    ASSERT_TRUE(file);
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    const std::string content(buffer, n);
    EXPECT_EQ(content.rfind(std::to_string(::getpid()) + "\nupgrader_serial_tests\n", 0), 0u) << content;
    const std::string path = lock.file();
    lock.release();
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

}  // namespace
