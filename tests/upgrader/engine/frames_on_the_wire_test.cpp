// The worked sequence 2, 1, 3 through a real port, with the test playing the
// gimbal on the pty master: every frame the engine writes, byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/upgrader/support/pty.h"
#include "tests/upgrader/support/fake_view.h"
#include "tests/upgrader/support/gimbal_replies.h"
#include "link/firmware_file.h"
#include "link/frame.h"
#include "upgrader/engine/upgrade_engine.h"

namespace engine {
namespace {

namespace fs = std::filesystem;

using test_support::kPageAck;
using test_support::kSwitchAck;

class FramesOnTheWire : public ::testing::Test {
protected:
    void SetUp() override {
        open_ = std::make_unique<test_support::OpenPort>(pty_);
        view_.port = open_->port;
        for (std::size_t p = 0; p < 6; ++p) pages_.push_back(Bytes(1024, static_cast<std::uint8_t>(0x10 + p)));
        const std::array<Bytes, 3> images{join({0, 1}), join({2}), join({3, 4, 5})};
        const Bytes file = gimbal::composeFirmwareFile(images, 1024);
        path_ = fs::temp_directory_path() / ("wire-" + std::to_string(::getpid()) + ".bin");
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
        ASSERT_TRUE(engine_.getFileInfo(path_.string()));
    }
    void TearDown() override {
        view_.port.reset();
        open_.reset();
        fs::remove(path_);
    }
    Bytes join(std::initializer_list<std::size_t> which) const {
        Bytes out;
        for (std::size_t p : which) out.insert(out.end(), pages_[p].begin(), pages_[p].end());
        return out;
    }
    Bytes page(std::uint16_t index, std::size_t filePage) const {
        return gimbal::buildBlockFrame(index, pages_[filePage]);
    }

    test_support::Pty pty_;
    std::unique_ptr<test_support::OpenPort> open_;
    test_support::FakeView view_;
    UpgradeEngine engine_{view_, view_, view_.timerFactory()};
    std::vector<Bytes> pages_;
    fs::path path_;
};

TEST_F(FramesOnTheWire, WorkedSequenceTwoOneThree) {
    engine_.processGimbleResponse({0x55, 0xAA, 0x00, 0x00, 0x04, 0x00, 0x00, 0x04, 0x7B, 0x00, 0xFC, 0x3F});
    EXPECT_EQ(pty_.read(8), gimbal::linkReplyFrame());

    engine_.bt_startUpgradePressed();
    EXPECT_EQ(pty_.read(1036), page(0, 0));
    engine_.processGimbleResponse(kPageAck);
    EXPECT_EQ(pty_.read(1036), page(1, 1));
    engine_.processGimbleResponse(kPageAck);
    EXPECT_EQ(pty_.read(8), (Bytes{0x55, 0xAA, 0x00, 0x07, 0x00, 0x00, 0x50, 0x01}));
    engine_.processGimbleResponse(kSwitchAck);
    EXPECT_EQ(pty_.read(1036), page(0, 2));
    engine_.processGimbleResponse(kPageAck);
    EXPECT_EQ(pty_.read(8), gimbal::upgraderSwitchFrame());
    engine_.processGimbleResponse(kSwitchAck);
    for (std::uint16_t p = 0; p < 3; ++p) {
        EXPECT_EQ(pty_.read(1036), page(p, 3 + p)) << "MCU 2 page " << p;
        engine_.processGimbleResponse(kPageAck);
    }
    EXPECT_EQ(view_.status, "Upgrade Complete!!");
    EXPECT_TRUE(pty_.read(1, std::chrono::milliseconds(50)).empty());  // no switch after MCU 2
}

TEST_F(FramesOnTheWire, NothingIsWrittenToAClosedPort) {
    open_->closeAndWait();
    engine_.bt_startUpgradePressed();
    EXPECT_NE(view_.armed(), nullptr);  // the page timer still runs and will report it
    EXPECT_TRUE(view_.prints.empty());  // no "send result" without a write
}

}  // namespace
}  // namespace engine
