// Loading the update file through the dialog and checking its stored CRC.
#include <gmock/gmock.h>

#include "window_fixture.h"

namespace trisk_test {
namespace {

using gimbal::Bytes;

class TriskFileCheck : public WindowTest {
protected:
    void SetUp() override { openPort(); }

    QStringList lines() const { return probe.text().split(QLatin1Char('\n')); }
    static QString hex(std::uint16_t v) { return QString::number(v, 16); }
};

TEST_F(TriskFileCheck, SoundFileIsReportedOk) {
    const Bytes file = updateFile(16, 2, 1, 1);
    const QString path = writeFile(QStringLiteral("ok.bin"), file);
    modal.chooseFile(path);
    probe.click("BtnOpenFile");
    const std::uint16_t crc = static_cast<std::uint16_t>(file[0] | file[1] << 8);
    const QString sums = QStringLiteral("len :%1 crc1: %2 crc2: %2").arg(file.size()).arg(hex(crc));
    EXPECT_EQ(lines(), (QStringList{QStringLiteral("已打开文件 ") + path, sums, QStringLiteral("FILE OK")}));
    EXPECT_TRUE(probe.button("BtnUpdate")->isEnabled());
    EXPECT_EQ(probe.file_len(), file.size());
    EXPECT_TRUE(std::equal(file.begin(), file.end(), probe.file_buf().begin()));
}

TEST_F(TriskFileCheck, AnyChangedByteIsReportedFailButTheFileStaysLoaded) {
    for (std::size_t at : {2u, 7u, 8u, 70u}) {
        Bytes file = updateFile(16, 2, 1, 1);
        file[at] ^= 0x20;
        loadFile(file);
        EXPECT_EQ(lines().last(), QStringLiteral("FILE FAIL")) << "byte " << at;
        EXPECT_EQ(probe.file_len(), file.size());
    }
    // A changed stored CRC fails too.
    Bytes file = updateFile(16, 1, 0, 0);
    file[0] ^= 1;
    loadFile(file);
    EXPECT_EQ(lines().last(), QStringLiteral("FILE FAIL"));
}

TEST_F(TriskFileCheck, SizeLimitIs524287Bytes) {
    Bytes largest(524287, 0x5A);
    const auto crc = *gimbal::computeFirmwareCrc(largest);
    largest[0] = static_cast<std::uint8_t>(crc & 0xFF);
    largest[1] = static_cast<std::uint8_t>(crc >> 8);
    loadFile(largest);
    EXPECT_EQ(lines().value(1).left(12), QStringLiteral("len :524287 "));
    EXPECT_EQ(lines().last(), QStringLiteral("FILE OK"));

    loadFile(Bytes(524288, 0x5A));
    EXPECT_EQ(probe.text(), QStringLiteral("The length of the file is out of range！"));
    EXPECT_EQ(probe.file_len(), 0u);
    EXPECT_EQ(probe.file_buf()[100], 0) << "a refused file leaves the buffer cleared";
    EXPECT_TRUE(probe.button("BtnUpdate")->isEnabled());
}

TEST_F(TriskFileCheck, TwoByteFileIsCheckedOverNothing) {
    loadFile({0xFF, 0xFF});
    EXPECT_EQ(lines().value(1), QStringLiteral("len :2 crc1: ffff crc2: ffff"));
    EXPECT_EQ(lines().last(), QStringLiteral("FILE OK"));
}

TEST_F(TriskFileCheck, FileWithoutRoomForItsCrcGetsAClearMessage) {
    for (const Bytes& file : {Bytes{}, Bytes{0x42}}) {
        loadFile(file, QStringLiteral("short%1.bin").arg(file.size()));
        const QString expected = QStringLiteral("len :%1|The file is too short to hold its CRC").arg(file.size());
        EXPECT_THAT(lines().mid(1).join(QLatin1Char('|')).toStdString(), testing::StartsWith(expected.toStdString()));
        EXPECT_EQ(lines().last(), QStringLiteral("FILE FAIL"));
    }
}

TEST_F(TriskFileCheck, CancelKeepsEverything) {
    const Bytes file = updateFile(16, 1, 1, 1);
    loadFile(file);
    const QString shown = probe.text();
    modal.chooseFile({});
    probe.click("BtnOpenFile");
    EXPECT_EQ(modal.fileDialogs(), 2u);
    EXPECT_EQ(probe.text(), shown);
    EXPECT_EQ(probe.file_len(), file.size());
}

TEST_F(TriskFileCheck, RefusedWhileAnUpdateRuns) {
    loadFile(updateFile(16, 1, 0, 0));
    const QString shown = probe.text();
    probe.send_state() = 9;
    probe.click("BtnOpenFile");
    EXPECT_EQ(modal.fileDialogs(), 1u) << "no dialog while a run is going";
    EXPECT_EQ(probe.text(), shown);
}

TEST_F(TriskFileCheck, OnlyWithThePortOpen) {
    probe.click("BtnOpen");  // close
    EXPECT_FALSE(probe.button("BtnOpenFile")->isEnabled());
    probe.click("BtnOpenFile");
    EXPECT_EQ(modal.fileDialogs(), 0u);
}

}  // namespace
}  // namespace trisk_test
