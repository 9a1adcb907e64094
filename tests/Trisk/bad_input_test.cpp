// The updater window given bad input at its edges: update files too short for
// their header, counts and block sizes that overflow the file or the buffers,
// files at the size limit, folders and unreadable files, and ports that are no
// serial devices, things another user puts at a port's lock path. Each gets a
// clear message and changes nothing else: nothing is sent, no port is opened,
// the window keeps its state.
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QTimer>

#include <gmock/gmock.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "link/serial_locks.h"
#include "pty_peer.h"
#include "tests/support/fifo_unblocker.h"
#include "tests/support/window_process.h"
#include "window_fixture.h"

namespace trisk_test {
namespace {

using gimbal::Bytes;
using testing::HasSubstr;

// Readable by nobody, root included (procfs checks the mode bits itself).
const QString kUnreadable = QStringLiteral("/proc/sys/vm/drop_caches");

Bytes withCounts(std::uint16_t n1, std::uint16_t n2, std::uint16_t n3, std::size_t bodySize) {
    Bytes b{0,
            0,
            static_cast<std::uint8_t>(n1),
            static_cast<std::uint8_t>(n1 >> 8),
            static_cast<std::uint8_t>(n2),
            static_cast<std::uint8_t>(n2 >> 8),
            static_cast<std::uint8_t>(n3),
            static_cast<std::uint8_t>(n3 >> 8)};
    b.resize(8 + bodySize, 0x77);
    return withCrc(b);
}

class TriskBadInput : public WindowTest {
protected:
    void SetUp() override { openPort(); }

    // Every frame the window wrote up to now: a run frame marks the end, so
    // waiting for it proves nothing else is still on its way.
    std::vector<Bytes> framesUntilNow() {
        window->setRun();
        std::vector<Bytes> frames = framesSent(1);
        while (!frames.empty() && frames.back() != gimbal::runFrame()) frames = framesSent(frames.size() + 1);
        if (!frames.empty()) frames.pop_back();
        peer.forget();
        return frames;
    }
    // Starts a run and lets the sequencer take a few steps.
    void startRun() {
        probe.click("BtnUpdate");
        probe.step(3);
    }
    // The run is refused with one warning whose text has `why`, and nothing is sent.
    void expectRefusedRun(const std::string& why, const std::string& label) {
        const std::size_t before = modal.boxes().size();
        startRun();
        ASSERT_EQ(modal.boxes().size(), before + 1) << label;
        EXPECT_EQ(modal.boxes().back().icon, QMessageBox::Warning) << label;
        EXPECT_THAT(modal.boxes().back().text.toStdString(), HasSubstr(why)) << label;
        EXPECT_EQ(probe.send_state(), 0) << label;
        EXPECT_TRUE(framesUntilNow().empty()) << label;
    }
    // Cancels the file dialog once it shows `folder` (a folder typed in the
    // name field is opened, not chosen), for as long as the timer lives.
    std::unique_ptr<QTimer> cancelWhenIn(const QString& folder) {
        auto timer = std::make_unique<QTimer>();
        QObject::connect(timer.get(), &QTimer::timeout, [this, folder] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (dialog && QDir(dialog->directory()) == QDir(folder)) modal.chooseFile({});
        });
        timer->start(5);
        return timer;
    }
};

TEST_F(TriskBadInput, FilesOfNoneToEightBytesNeverStartSending) {
    for (std::size_t n = 0; n <= 8; ++n) {
        const std::string label = std::to_string(n) + " bytes";
        const Bytes file = n < 8 ? Bytes(n, 0x01) : withCrc(Bytes(n, 0x01));
        loadFile(file, QStringLiteral("tiny%1.bin").arg(n));
        EXPECT_EQ(probe.file_len(), n) << label;
        EXPECT_THAT(probe.text().toStdString(), HasSubstr("FILE")) << label;
        // Without a whole header there are no counts: a run over the zeros
        // behind the file would switch slaves and end in "SEND OK".
        if (n < 8)
            expectRefusedRun("too short to hold its 8-byte header", label);
        else
            expectRefusedRun("runs past the loaded file", label);
    }
}

TEST_F(TriskBadInput, CountsThatOverflowTheFileOrTheBufferAreRefusedBeforeAnyBlock) {
    const struct {
        const char* label;
        Bytes file;
        quint16 blockSize;
        const char* why;
    } cases[] = {
        {"first image one byte short", withCounts(2, 0, 0, 2 * 16 - 1), 16, "Image 1 runs past"},
        {"third image beyond the file", withCounts(1, 1, 1, 2 * 16), 16, "Image 3 runs past"},
        {"largest count", withCounts(0xFFFF, 0, 0, 64), 16, "Image 1 runs past"},
        {"counts as if negative", withCounts(0xFFFF, 0xFFFF, 0xFFFF, 64), 16, "Image 1 runs past"},
        {"beyond the 512 KiB buffer", withCounts(250, 0, 0, 1024), 2100, "Image 1 runs past"},
        {"block size 0", withCounts(1, 0, 0, 64), 0, "Block size 0"},
        {"block size one over the frame", withCounts(1, 0, 0, 4096), 2101, "Block size 2101"},
        {"block size 65535", withCounts(0, 1, 0, 4096), 65535, "Block size 65535"},
    };
    for (const auto& c : cases) {
        loadFile(c.file);
        probe.block_size() = c.blockSize;
        expectRefusedRun(c.why, c.label);
    }
}

TEST_F(TriskBadInput, FilesAtAndAboveTheSizeLimit) {
    loadFile(withCounts(1, 0, 0, 524287 - 8));
    EXPECT_EQ(probe.file_len(), 524287u);
    for (std::size_t size : {524288u, 524289u, 600000u}) {
        loadFile(Bytes(size, 0x42));
        EXPECT_EQ(probe.text(), QStringLiteral("The length of the file is out of range！")) << size;
        EXPECT_EQ(probe.file_len(), 0u) << size;
        EXPECT_TRUE(std::all_of(probe.file_buf().begin(), probe.file_buf().end(), [](auto b) { return b == 0; }));
    }
}

TEST_F(TriskBadInput, FoldersAndUnreadableFilesLeaveTheLoadedFileInPlace) {
    const Bytes good = updateFile(16, 1, 1, 1);
    loadFile(good);
    const QString shown = probe.text();
    const std::size_t boxes = modal.boxes().size();

    QDir(dir.path()).mkdir(QStringLiteral("sub"));
    const QString folder = dir.filePath(QStringLiteral("sub"));
    std::unique_ptr<QTimer> canceller = cancelWhenIn(folder);
    modal.chooseFile(folder);
    probe.click("BtnOpenFile");
    canceller.reset();
    modal.chooseFile({});
    EXPECT_EQ(probe.text(), shown) << "a folder";
    EXPECT_EQ(modal.boxes().size(), boxes);
    EXPECT_EQ(probe.file_len(), good.size());

    std::vector<QString> unreadable;
    if (QFile::exists(kUnreadable) && ::access(kUnreadable.toLocal8Bit().constData(), R_OK) != 0)
        unreadable.push_back(kUnreadable);
    const QString locked = writeFile(QStringLiteral("locked.bin"), good);
    ::chmod(locked.toLocal8Bit().constData(), 0);
    if (::geteuid() != 0) unreadable.push_back(locked);
    for (const QString& path : unreadable) {
        const std::size_t before = modal.boxes().size();
        modal.chooseFile(path);
        probe.click("BtnOpenFile");
        modal.chooseFile({});
        ASSERT_EQ(modal.boxes().size(), before + 1) << path.toStdString();
        EXPECT_EQ(modal.boxes().back().title, QStringLiteral("failed to open"));
        EXPECT_EQ(probe.text(), shown);
        EXPECT_EQ(probe.file_len(), good.size());
        EXPECT_TRUE(std::equal(good.begin(), good.end(), probe.file_buf().begin()));
    }
}

// Paths that are no regular file: a FIFO would block the open (and with it
// the window) until a writer came, a device never ends. Each is refused at
// once with the reason, and the loaded file stays.
TEST_F(TriskBadInput, PathsThatAreNoRegularFilesAreRefusedWithoutBlocking) {
    const Bytes good = updateFile(16, 1, 1, 1);
    loadFile(good);
    const QString shown = probe.text();
    const QString fifo = dir.filePath(QStringLiteral("fifo.bin"));
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const test_support::FifoUnblocker unblocker(fifo.toStdString());
    const struct {
        QString path;
        const char* why;
    } cases[] = {{fifo, "not a regular file but a FIFO"},
                 {QStringLiteral("/dev/zero"), "not a regular file but a character device"}};
    for (const auto& c : cases) {
        const std::size_t before = modal.boxes().size();
        modal.chooseFile(c.path);
        probe.click("BtnOpenFile");
        modal.chooseFile({});
        ASSERT_EQ(modal.boxes().size(), before + 1) << c.path.toStdString();
        EXPECT_EQ(modal.boxes().back().title, QStringLiteral("failed to open"));
        EXPECT_THAT(modal.boxes().back().text.toStdString(), HasSubstr(c.path.toStdString() + ": " + c.why));
        EXPECT_EQ(probe.text(), shown);
        EXPECT_EQ(probe.file_len(), good.size());
    }
    EXPECT_FALSE(unblocker.blocked()) << "the FIFO's open blocked";
}

TEST_F(TriskBadInput, PortsThatAreNoTtysAreReportedAndNotOpened) {
    probe.click("BtnOpen");  // close the pseudo-terminal
    ASSERT_FALSE(probe.port_open());
    const QString regular = writeFile(QStringLiteral("port"), Bytes{'i', 'd', 'l', 'e'});
    QDir(dir.path()).mkdir(QStringLiteral("folder"));
    const QString folder = dir.filePath(QStringLiteral("folder"));
    for (const QString& port : {regular, QStringLiteral("/dev/null"), folder}) {
        const std::size_t before = modal.boxes().size();
        probe.openOn(port);
        ASSERT_EQ(modal.boxes().size(), before + 1) << port.toStdString();
        EXPECT_EQ(modal.boxes().back().icon, QMessageBox::Warning);
        EXPECT_THAT(modal.boxes().back().text.toStdString(), HasSubstr(port.toStdString()));
        EXPECT_FALSE(probe.port_open());
        EXPECT_FALSE(probe.has_port());
        EXPECT_FALSE(probe.polling());
        EXPECT_FALSE(probe.button("BtnOpenFile")->isEnabled());
        EXPECT_FALSE(probe.button("BtnUpdate")->isEnabled());
    }
    QFile file(regular);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("idle"));
}

// Runs `work` in a child process as the user nobody, for as long as it
// takes (`untilGone`: until the object goes); `done` once it answered true.
struct AsNobody {
    AsNobody(const std::function<bool()>& work, bool untilGone = false) {
        pid = ::fork();
        if (pid == 0) {
            const bool became = ::setgid(65534) == 0 && ::setuid(65534) == 0;
            ::_exit(became && work() ? 0 : 1);
        }
        int status = 0;
        done =
            !untilGone && pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    ~AsNobody() {
        if (pid <= 0 || done) return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    pid_t pid = -1;
    bool done = false;
};

// The largest resident size the process had, in KiB.
long peakResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
    return -1;
}

// What another user puts at the port's lock path (a file of 3 GB, holes only;
// a FIFO swapped in and out every few ms) never makes the program as shipped
// read without bound or wait: each start opens the port within the deadline.
TEST(TriskLockPath, WhatAnotherUserPutsThereNeitherSwellsNorBlocksTheOpen) {
    using namespace std::chrono_literals;
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to plant things as nobody";
    PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    const std::string path = peer.path().toStdString();
    const auto dir = gimbal::lockDirectory();
    ASSERT_TRUE(dir);
    const std::string file = *dir + "/" + gimbal::lockFileNameFor(path);
    ASSERT_TRUE(AsNobody([&] {
                    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                    return fd >= 0 && ::ftruncate(fd, 3LL << 30) == 0;
                }).done);
    {
        test_support::WindowProcess trisk(TRISK_SIGNAL_HARNESS, {path});
        EXPECT_TRUE(trisk.waitForLine("OPEN", 20s)) << trisk.output();
        EXPECT_LT(peakResidentKiB(trisk.pid()), 400 * 1024) << "KiB resident";
    }
    ::unlink(file.c_str());

    const AsNobody swapper(
        [&] {
            for (;;) {
                ::mkfifo(file.c_str(), 0666);
                ::usleep(2000);  // the cadence of the attack, not a wait for anything
                ::unlink(file.c_str());
                ::usleep(2000);
            }
            return true;
        },
        true);
    for (int start = 0; start < 8; ++start) {
        test_support::WindowProcess trisk(TRISK_SIGNAL_HARNESS, {path});
        EXPECT_TRUE(trisk.waitForLine("OPEN", 20s)) << "start " << start << ": " << trisk.output();
    }
}

}  // namespace
}  // namespace trisk_test
