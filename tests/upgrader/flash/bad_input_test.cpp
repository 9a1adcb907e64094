// quenlo-flash given bad input at its edges: firmware files that are too
// short, inconsistent, not files at all or unreadable, and ports that are not
// serial devices. Each ends with its own exit code and a message naming the
// path, and leaves the port untouched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "child_process.h"
#include "link/firmware_file.h"

namespace {

namespace fs = std::filesystem;
using flash_test::ChildResult;
using flash_test::runChild;
using Bytes = std::vector<std::uint8_t>;

using flash_test::kProgram;
constexpr int kRefusedFile = 3;
constexpr int kPortError = 4;
// Readable by nobody, root included (procfs checks the mode bits itself).
const std::string kUnreadable = "/proc/sys/vm/drop_caches";

Bytes withCrc(Bytes b) {
    const std::uint16_t crc = gimbal::computeFirmwareCrc(b).value_or(0);
    b[0] = static_cast<std::uint8_t>(crc);
    b[1] = static_cast<std::uint8_t>(crc >> 8);
    return b;
}

// A header with the three counts (LE16) followed by `pages` pages and `extra`
// bytes, its stored CRC filled in, so that each case is refused for its counts.
Bytes firmware(std::uint16_t c0, std::uint16_t c1, std::uint16_t c2, std::size_t pages, std::size_t extra = 0) {
    Bytes b{0,
            0,
            static_cast<std::uint8_t>(c0),
            static_cast<std::uint8_t>(c0 >> 8),
            static_cast<std::uint8_t>(c1),
            static_cast<std::uint8_t>(c1 >> 8),
            static_cast<std::uint8_t>(c2),
            static_cast<std::uint8_t>(c2 >> 8)};
    b.resize(b.size() + pages * 1024 + extra, 0x5A);
    return withCrc(std::move(b));
}

class FlashBadInput : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("flash-bad-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        // A regular file standing in for the port: it must never be written.
        port_ = write("port", Bytes{'i', 'd', 'l', 'e'});
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string& name, const Bytes& bytes) {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return p.string();
    }
    Bytes portContent() const {
        std::ifstream in(port_, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    // A refused file: exit 3, one error line naming it, nothing else tried.
    void expectRefused(const std::string& file, const std::string& why) {
        const ChildResult r = runChild(kProgram, {"--port", port_, file});
        EXPECT_EQ(r.exitCode, kRefusedFile) << why << "\n" << dump(r);
        EXPECT_TRUE(r.lines.empty()) << why << "\n" << dump(r);
        ASSERT_EQ(r.errorLines.size(), 1u) << why << "\n" << dump(r);
        EXPECT_TRUE(r.errorLines[0].starts_with("error: " + file + ": ")) << why << "\n" << dump(r);
        EXPECT_EQ(portContent(), (Bytes{'i', 'd', 'l', 'e'})) << why;
    }

    fs::path dir_;
    std::string port_;
};

TEST_F(FlashBadInput, FilesTooShortForTheirHeaderOrTheirCountsAreRefusedBeforeAnyPort) {
    for (std::size_t n = 0; n < 8; ++n) {
        Bytes b(n, 0x01);
        expectRefused(write("short" + std::to_string(n), b), std::to_string(n) + " bytes");
    }
    const struct {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"header only, no pages", firmware(0, 0, 0, 0)},
        {"header only, counts 1 1 1", firmware(1, 1, 1, 0)},
        {"counts say 3 pages, file holds 2", firmware(1, 1, 1, 2)},
        {"last page cut short", firmware(1, 1, 1, 2, 1023)},
        {"largest positive count", firmware(0x7FFF, 0, 0, 1)},
        {"all counts negative", firmware(0xFFFF, 0xFFFF, 0xFFFF, 3)},
        {"most negative count", firmware(0x8000, 1, 1, 2)},
        {"counts far beyond a 524288-byte file", firmware(0x7FFF, 0x7FFF, 0x7FFF, 511, 1016)},
    };
    for (const auto& c : cases) expectRefused(write("case", c.bytes), c.name);
}

// A count of 0 cannot be sent in the pages protocol; such a
// file was refused for a wrong reason, or, with a page more in it, "upgraded"
// with MCU 1 holding MCU 2's first page. Refused now, naming the MCU, however
// long the file.
TEST_F(FlashBadInput, AZeroPageCountIsRefusedNamingTheMcu) {
    // The second is 1 KiB longer: what gimbal-make-image --blocks 3,0,4 made, padded.
    const struct {
        Bytes bytes;
        int mcu;
    } cases[] = {{firmware(3, 0, 4, 7), 1},
                 {firmware(3, 0, 4, 8), 1},
                 {firmware(0, 2, 2, 5), 0},
                 {firmware(2, 2, 0, 4, 1024), 2},
                 {firmware(0, 0, 0, 3), 0}};
    for (const auto& c : cases) {
        const std::string file = write("zero", c.bytes);
        const ChildResult r = runChild(kProgram, {"--port", port_, file});
        EXPECT_EQ(r.exitCode, kRefusedFile) << dump(r);
        ASSERT_EQ(r.errorLines.size(), 1u) << dump(r);
        EXPECT_EQ(r.errorLines[0], "error: " + file + ": MCU " + std::to_string(c.mcu) +
                                       " has a page count of 0, which the upgrade cannot send (each MCU needs at "
                                       "least one page)")
            << dump(r);
        EXPECT_EQ(portContent(), (Bytes{'i', 'd', 'l', 'e'}));
    }
}

// gimbal-make-image no longer makes such a file (it made the issue's
// --blocks 3,0,4 example); a bad command line is exit 2 and writes nothing.
TEST_F(FlashBadInput, GimbalMakeImageWillNotMakeAZeroCount) {
    const std::string out = (dir_ / "made.bin").string();
    for (const char* blocks : {"3,0,4", "0,1,1", "1,1,0", "0,0,0"}) {
        const ChildResult r = runChild(GIMBAL_MAKE_IMAGE_PATH, {out, "--blocks", blocks});
        EXPECT_EQ(r.exitCode, 2) << blocks << "\n" << dump(r);
        EXPECT_NE(r.errorOutput.find("from 1 to 65535"), std::string::npos) << dump(r);
        EXPECT_FALSE(fs::exists(out)) << blocks;
    }
    const ChildResult made = runChild(GIMBAL_MAKE_IMAGE_PATH, {out, "--blocks", "1,1,1"});
    EXPECT_EQ(made.exitCode, 0) << dump(made);
    EXPECT_EQ(fs::file_size(out), 8u + 3 * 1024);
}

// Bytes after the last page are never sent; real files may be padded, so
// they are one warning line, and the file goes on to the port.
TEST_F(FlashBadInput, BytesAfterTheLastPageAreOneWarningLine) {
    const std::string file = write("padded", firmware(1, 1, 1, 4));
    const ChildResult r = runChild(kProgram, {"--port", port_, file});
    EXPECT_EQ(r.exitCode, kPortError) << dump(r);
    const std::string warning =
        "warning: " + file + ": the firmware image has 1024 bytes after MCU 2's last page; they are not sent";
    EXPECT_EQ(std::count(r.errorLines.begin(), r.errorLines.end(), warning), 1) << dump(r);
    const ChildResult json = runChild(kProgram, {"--json", "--port", port_, file});
    EXPECT_NE(std::find_if(json.lines.begin(), json.lines.end(),
                           [](const std::string& l) {
                               return l.find("\"warning\"") != std::string::npos &&
                                      l.find("1024 bytes after MCU 2's last page") != std::string::npos;
                           }),
              json.lines.end())
        << dump(json);

    const ChildResult exact = runChild(kProgram, {"--port", port_, write("exact", firmware(1, 1, 1, 3))});
    for (const std::string& line : exact.errorLines) EXPECT_EQ(line.find("after MCU 2"), std::string::npos) << line;
}

TEST_F(FlashBadInput, FoldersAndUnreadablePathsAreRefusedWithTheReason) {
    expectRefused(dir_.string(), "a folder");
    expectRefused(port_ + "/inside", "a path through a regular file");
    if (::access(kUnreadable.c_str(), F_OK) == 0 && ::access(kUnreadable.c_str(), R_OK) != 0)
        expectRefused(kUnreadable, "a file nobody may read");
    const std::string locked = write("locked", firmware(1, 1, 1, 3));
    ::chmod(locked.c_str(), 0);
    if (::geteuid() != 0) expectRefused(locked, "chmod 000");
}

// Paths that are no regular file, and files larger than any header can
// describe: refused at once with the reason, before a byte is read (a FIFO
// used to block for ever, /dev/zero to grow without end, a sparse 2 GB file
// to be read whole). A link to a good file is followed.
TEST_F(FlashBadInput, OnlyRegularFilesOfAFirmwareFilesSizeAreRead) {
    const std::string fifo = (dir_ / "fifo.bin").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string sparse = (dir_ / "sparse.bin").string();
    write("sparse.bin", firmware(1, 1, 1, 3));
    fs::resize_file(sparse, 2ull << 30);
    const std::string largest = (dir_ / "largest.bin").string();
    write("largest.bin", firmware(1, 1, 1, 3));
    fs::resize_file(largest, gimbal::kMaxFirmwareFileSize + 1);
    const struct {
        std::string path;
        std::string why;
    } cases[] = {
        {fifo, "not a regular file but a FIFO"},
        {"/dev/zero", "not a regular file but a character device"},
        {sparse, "too large: 2147483648 bytes, where 201323528 at most are accepted"},
        {largest, "too large: 201323529 bytes, where 201323528 at most are accepted"},
    };
    for (const auto& c : cases) {
        const ChildResult r = runChild(kProgram, {"--port", port_, c.path}, std::chrono::seconds(20));
        EXPECT_EQ(r.exitCode, kRefusedFile) << c.path << "\n" << dump(r);
        EXPECT_EQ(r.errorLines, std::vector<std::string>{"error: " + c.path + ": " + c.why}) << dump(r);
    }
    const std::string link = (dir_ / "link.bin").string();
    fs::create_symlink(write("good.bin", firmware(1, 1, 1, 3)), link);
    const ChildResult r = runChild(kProgram, {"--port", port_, link}, std::chrono::seconds(20));
    EXPECT_EQ(r.exitCode, kPortError) << "a link to a good file is read\n" << dump(r);
    EXPECT_EQ(portContent(), (Bytes{'i', 'd', 'l', 'e'}));
}

// Big files have no limit here; a sound one reaches the port, which then
// refuses because it is no serial device.
TEST_F(FlashBadInput, FilesAroundHalfAMegabyteLoadWhole) {
    for (std::size_t size : {524287u, 524288u, 524289u}) {
        Bytes b = firmware(170, 170, 170, 510);
        b.resize(size, 0x11);
        const std::string file = write("big", withCrc(b));
        const ChildResult r = runChild(kProgram, {"--port", port_, file});
        EXPECT_EQ(r.exitCode, kPortError) << size << "\n" << dump(r);
        EXPECT_EQ(portContent(), (Bytes{'i', 'd', 'l', 'e'}));
    }
}

TEST_F(FlashBadInput, PortsThatAreNoTtysFailWithTheirPathAndAreLeftAlone) {
    const std::string file = write("good", firmware(1, 1, 1, 3));
    const std::string folder = (dir_ / "folder").string();
    fs::create_directories(folder);
    for (const std::string& port : {port_, std::string("/dev/null"), folder, (dir_ / "missing").string()}) {
        const ChildResult r = runChild(kProgram, {"--port", port, file});
        EXPECT_EQ(r.exitCode, kPortError) << port << "\n" << dump(r);
        ASSERT_FALSE(r.lines.empty()) << dump(r);
        EXPECT_TRUE(r.lines.back().starts_with("summary: " + port + ": failed (exit 4): ")) << dump(r);
        EXPECT_NE(r.lines.back().find(port, 9 + port.size()), std::string::npos) << "names the port: " << dump(r);
    }
    EXPECT_EQ(portContent(), (Bytes{'i', 'd', 'l', 'e'}));
    EXPECT_FALSE(fs::exists(dir_ / "missing")) << "a missing port is not created";
}

}  // namespace
