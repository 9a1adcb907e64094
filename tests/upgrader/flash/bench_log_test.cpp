// The bench log when the disk fills up in the middle of a record: the cut
// record must not stay in the log, or the next one is appended onto it and
// neither can be read. The file size limit stands in for a full disk: the
// kernel then takes part of a write and refuses the rest, as it does when
// the disk fills up.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "upgrader/flash/bench_log.h"

namespace flash {
namespace {

namespace fs = std::filesystem;

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Lowers the file size limit (and ignores the signal it raises) while it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        ok_ = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
        previous_ = ::signal(SIGXFSZ, SIG_IGN);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, previous_);
    }
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
    sighandler_t previous_ = SIG_DFL;
};

BenchRecord record(const std::string& port) {
    BenchRecord r;
    r.port = port;
    r.name = "bench gimbal";
    r.pages = 9;
    r.version = "1.23";
    r.message = "Upgrade Complete!!";
    return r;
}

TEST(BenchLog, ARecordCutShortIsTakenBackOnlyUnderTheLogsLockAndTheNextOneIsWhole) {
    const fs::path path = fs::temp_directory_path() / ("bench-log-" + std::to_string(::getpid()) + ".jsonl");
    const std::string earlier = "{\"earlier\":\"run\"}\n";
    const std::string line = recordJson(record("/dev/ttyUSB1")) + "\n";
    // Room for none of the record, part of it, all but its newline.
    for (const std::size_t room : {std::size_t{0}, std::size_t{10}, line.size() - 1}) {
        SCOPED_TRACE(room);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << earlier;
        BenchLog log(path.string());
        ASSERT_TRUE(log.isOpen()) << log.error();
        {
            const FileSizeLimit full(earlier.size() + room);
            ASSERT_TRUE(full.ok());
            EXPECT_FALSE(log.append(record("/dev/ttyUSB1")));
        }
        EXPECT_NE(log.error().find(path.string() + ": "), std::string::npos) << log.error();
        EXPECT_EQ(contentOf(path), earlier) << "the cut record stayed";
        ASSERT_TRUE(log.append(record("/dev/ttyUSB2"))) << log.error();
        const std::string after = contentOf(path);
        EXPECT_EQ(after, earlier + recordJson(record("/dev/ttyUSB2")) + "\n");
    }
    // Benches append under the log's lock. While another holds it past the
    // short wait, the record still goes in; cut short, it is not taken back,
    // since that other may have appended meanwhile.
    std::ofstream(path, std::ios::binary | std::ios::trunc) << earlier;
    BenchLog log(path.string());
    const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    {
        const FileSizeLimit full(earlier.size() + 10);
        EXPECT_FALSE(log.append(record("/dev/ttyUSB3")));
    }
    EXPECT_NE(log.error().find("another program held the log's lock"), std::string::npos) << log.error();
    EXPECT_EQ(contentOf(path).size(), earlier.size() + 10);
    ::close(other);
    fs::remove(path);
}

}  // namespace
}  // namespace flash
