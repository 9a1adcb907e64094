// What the window shows of a run: which buttons and lists can be used, the
// progress bar over the three images, and the question before quitting one.
#include "widget.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

#include "link/firmware_file.h"
#include "ui_widget.h"

namespace trisk {

// A run reads the file from file_buf and the gimbal counts on the image it
// was switched to: no new file and no second start while one goes on. The
// lists name the port in use while it is open.
void Widget::syncRunControls() {
    const bool idle = send_state == kIdle;
    ui->BtnUpdate->setEnabled(port_open && idle);
    ui->BtnOpenFile->setEnabled(port_open && idle);
    ui->comboBoxPort->setEnabled(!port_open);
    ui->comboBoxBaudRate->setEnabled(!port_open);
    showProgress();
}

// Blocks acknowledged over all three images; the text says which image.
void Widget::showProgress() {
    if (progress == nullptr || file_header == nullptr) return;
    const gimbal::ByteView header(file_header, gimbal::kFirmwareHeaderSize);
    quint64 total = 0, done = 0;
    for (std::size_t i = 0; i < gimbal::kImageCount; ++i) {
        const quint16 count = gimbal::readLe16(header, gimbal::kBlockCountOffsets[i]).value_or(0);
        total += count;
        if (i < slave_index) done += count;
    }
    done += std::min<quint64>(block_index, block_count);
    if (total == 0 || !file_loaded || !run_shown) {
        progress->setRange(0, 1);
        progress->setValue(0);
        progress->setFormat(QString());
        return;
    }
    progress->setRange(0, static_cast<int>(total));
    progress->setValue(static_cast<int>(std::min(done, total)));
    progress->setFormat(tr("Image %1 of 3: %2 of %3 blocks — %p%").arg(slave_index + 1).arg(block_index).arg(block_count));
}

// "image 2, block 5 of 12", as the progress bar counts.
QString Widget::runPlace() const {
    return tr("image %1, block %2 of %3").arg(slave_index + 1).arg(block_index).arg(block_count);
}

void Widget::closeEvent(QCloseEvent* event) {
    if (send_state != kIdle) {
        const int answer = showBox(QMessageBox::Warning, tr("UPDATE"),
                                   tr("An update is under way (%1). Quitting now stops it, and the gimbal is left "
                                      "half written until it is updated again.\n\nQuit anyway?")
                                       .arg(runPlace()),
                                   QMessageBox::Yes | QMessageBox::No, "quitQuestion");
        // The box ran the event loop: the run may have ended meanwhile.
        if (answer != QMessageBox::Yes && send_state != kIdle) {
            event->ignore();
            return;
        }
    }
    send_state = kIdle;
    resend_len = 0;
    event->accept();
}

}  // namespace trisk
