// gimbal-make-image on a disk that fills up (a file-size limit stands in for
// it): it fails, says why, and leaves no partial image a flash could pick up.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace sim_test {
namespace {

namespace fs = std::filesystem;

TEST(MakeImage, AFullDiskLeavesNoPartialFile) {
    const fs::path dir = fs::temp_directory_path() / ("make-image-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string out = (dir / "firmware.bin").string();
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit limit{4096, 4096};  // the default image is 9 KiB and more
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
        ::execl(GIMBAL_MAKE_IMAGE_PROGRAM, "gimbal-make-image", out.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_TRUE(fs::is_empty(dir)) << "a partial file was left behind";
    fs::remove_all(dir);
}

}  // namespace
}  // namespace sim_test
