// The update file: chosen in a dialog, loaded whole into file_buf, and its
// stored CRC checked and shown. The outcome is only shown; a run reads the
// images straight out of file_buf.
#include "widget.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QTextBrowser>

#include <cstdint>

#include "link/firmware_file.h"
#include "link/regular_file.h"
#include "ui_widget.h"

namespace trisk {

namespace {

// QT_LOGGING_RULES="trisk.sequencer.debug=true" shows why a file was not opened mid-run.
Q_LOGGING_CATEGORY(lcTriskSequencer, "trisk.sequencer", QtInfoMsg)

}  // namespace

void Widget::on_BtnOpenFile_clicked() {
    if (send_state != kIdle) {
        qCDebug(lcTriskSequencer).noquote() << QStringLiteral("send state 不为零");
        return;
    }
    const QString chosen =
        QFileDialog::getOpenFileName(this, tr("读取文件"), QString(), tr("open (*.txt *.log *.bin *.hex)"));
    if (chosen.isEmpty()) return;
    // The dialog runs its own event loop, and a received acknowledgement may
    // have set a run going meanwhile: never swap the file under a run.
    if (send_state != kIdle) {
        qCDebug(lcTriskSequencer).noquote() << QStringLiteral("send state 不为零");
        return;
    }
    loadChosenFile(chosen);
}

// Opens, reads and checks the file chosen in the dialog.
void Widget::loadChosenFile(const QString& chosen) {
    file_name = chosen;
    delete update_file;
    update_file = new QFile(file_name, this);
    if (QString why; !openUpdateFile(&why)) {
        showBox(QMessageBox::Warning, tr("failed to open"), tr("can't open the file!!please check!") + why);
        return;
    }
    run_shown = false;  // the bar told of another file
    syncRunControls();
    QString error;
    if (loadFile(&error))
        showFileCheck();
    else
        showText(error);
}

// Only a regular file is opened: a FIFO would block the window in the open
// until a writer came, and a device has no end. The size is checked later.
bool Widget::openUpdateFile(QString* why) {
    gimbal::FileRefusal refusal;
    gimbal::UniqueFd fd = gimbal::openRegularFile(file_name.toStdString(), UINT64_MAX, refusal);
    if (fd.valid() && update_file->open(fd.get(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        fd.release();  // the QFile closes it now
        return true;
    }
    const QString reason = refusal ? QString::fromStdString(gimbal::refusalText(refusal)) : update_file->errorString();
    *why = QStringLiteral("\n") + file_name + QStringLiteral(": ") + reason;
    return false;
}

// Reads the open update_file into file_buf; file_len tells how much of it
// came from the file.
bool Widget::loadFile(QString* error) {
    file_buf.fill(0);
    file_len = 0;
    file_loaded = false;
    const qint64 size = update_file->size();
    if (size >= static_cast<qint64>(file_buf.size())) {
        update_file->close();
        *error = QStringLiteral("The length of the file is out of range！");
        return false;
    }
    const qint64 got = update_file->read(reinterpret_cast<char*>(file_buf.data()), size);
    const QString reason = update_file->errorString();
    update_file->close();
    if (got < 0) {
        file_buf.fill(0);
        *error = QStringLiteral("can't read the file: ") + reason;
        return false;
    }
    file_len = static_cast<quint32>(got);
    file_loaded = true;
    return true;
}

void Widget::showFileCheck() {
    showText(QStringLiteral("已打开文件 ") + file_name);
    const QString len = QStringLiteral("len :") + QString::number(file_len);
    const gimbal::ByteView file(file_buf.data(), file_len);
    const std::optional<quint16> crc1 = gimbal::computeFirmwareCrc(file, crc);
    const std::optional<quint16> crc2 = gimbal::readLe16(file, gimbal::kStoredCrcOffset);
    if (!crc1 || !crc2) {
        appendLine(len);
        appendLine(QStringLiteral("The file is too short to hold its CRC (2 bytes)!"));
        appendLine(QStringLiteral("FILE FAIL"));
        return;
    }
    appendLine(len + QStringLiteral(" crc1: ") + QString::number(*crc1, 16) + QStringLiteral(" crc2: ") +
               QString::number(*crc2, 16));
    appendLine(*crc1 == *crc2 ? QStringLiteral("FILE OK") : QStringLiteral("FILE FAIL"));
}

}  // namespace trisk
