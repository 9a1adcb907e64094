// What UPDATE START checks before a run: a loaded file, and the user's word
// for one that failed its CRC check.
#include <gmock/gmock.h>

#include "window_fixture.h"

namespace trisk_test {
namespace {

using gimbal::Bytes;
using testing::ElementsAre;
using testing::HasSubstr;

class TriskStartCheck : public WindowTest {
protected:
    void SetUp() override { openPort(); }
    // Every frame written so far: the run frame marks the end.
    std::vector<Bytes> framesUntilNow() {
        window->setRun();
        std::vector<Bytes> frames = framesSent(1);
        while (frames.back() != gimbal::runFrame()) frames = framesSent(frames.size() + 1);
        frames.pop_back();
        peer.forget();
        return frames;
    }
};

// It used to run over the zeroed buffer: two slave switches and "SEND OK".
TEST_F(TriskStartCheck, WithoutAFileItWarnsAndSendsNothing) {
    probe.click("BtnUpdate");
    probe.step(3);
    // A refused file leaves none loaded either.
    loadFile(Bytes(524288, 0x42));
    probe.click("BtnUpdate");
    probe.step(3);
    ASSERT_EQ(modal.boxes().size(), 2u);
    for (const auto& box : modal.boxes()) {
        EXPECT_EQ(box.title, QStringLiteral("UPDATE"));
        EXPECT_EQ(box.icon, QMessageBox::Warning);
        EXPECT_THAT(box.text.toStdString(), HasSubstr("OPEN FILE"));
    }
    EXPECT_EQ(probe.send_state(), 0);
    EXPECT_TRUE(framesUntilNow().empty());
}

TEST_F(TriskStartCheck, AFailedFileIsSentOnlyOnTheUsersWord) {
    Bytes file = updateFile(1024, 1, 0, 0);
    file[8] ^= 0x01;
    loadFile(file);
    ASSERT_THAT(probe.text().toStdString(), HasSubstr("FILE FAIL"));
    const QString crc1 = QString::number(*gimbal::computeFirmwareCrc(file), 16);
    const QString crc2 = QString::number(file[0] | file[1] << 8, 16);

    probe.click("BtnUpdate");  // answered with the default, No
    probe.step(3);
    ASSERT_EQ(modal.boxes().size(), 1u);
    const auto& question = modal.boxes()[0];
    EXPECT_EQ(question.title, QStringLiteral("UPDATE"));
    EXPECT_THAT(question.text.toStdString(), HasSubstr(("crc1: " + crc1).toStdString()));
    EXPECT_THAT(question.text.toStdString(), HasSubstr(("crc2: " + crc2).toStdString()));
    EXPECT_EQ(question.defaultButton, QMessageBox::No);
    EXPECT_EQ(probe.send_state(), 0);
    EXPECT_TRUE(framesUntilNow().empty()) << "No sends nothing";

    modal.answerQuestions(QMessageBox::Yes);
    probe.click("BtnUpdate");
    EXPECT_EQ(probe.send_state(), 1);
    probe.step(2);
    EXPECT_THAT(framesUntilNow(),
                ElementsAre(gimbal::buildBlockFrame(0, Bytes(file.begin() + 8, file.begin() + 8 + 1024))));
}

}  // namespace
}  // namespace trisk_test
