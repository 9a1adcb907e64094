// The update sequencer: sends the three images block by block on the 100 ms
// tick, retransmits on silence, switches slaves between images, and reacts to
// the gimbal's announcements and acknowledgements.
#include "widget.h"

#include <QMessageBox>
#include <QTextBrowser>

#include <algorithm>

#include "link/firmware_file.h"
#include "link/frame.h"
#include "ui_widget.h"

namespace trisk {

namespace {

gimbal::BlockCounts countsOf(const quint8* header) {
    gimbal::BlockCounts counts{};
    for (std::size_t i = 0; i < gimbal::kImageCount; ++i) {
        const std::size_t at = gimbal::kBlockCountOffsets[i];
        counts[i] = static_cast<quint16>(header[at] | (header[at + 1] << 8));
    }
    return counts;
}

quint16 le16(const std::array<quint8, Widget::kRxPayloadSize>& payload, std::size_t at) {
    return static_cast<quint16>(payload[at] | (payload[at + 1] << 8));
}

}  // namespace

void Widget::on_BtnUpdate_clicked() {
    if (send_state != kIdle || !mayStart()) return;
    send_state = kStart;
    run_shown = true;
    syncRunControls();
}

void Widget::sendUpdateFile() {
    send_update_all();
}

// The buttons and the bar follow each step (a reply may have moved the run too).
void Widget::send_update_all() {
    stepSequencer();
    syncRunControls();
}

void Widget::stepSequencer() {
    switch (send_state) {
        case kStart:
            file_header = file_buf.data();
            if (!checkHeader()) return;
            startImage(0, kSendBlock);
            break;
        case kAwaitSlaveAck:
            if (wait_ticks > 0)
                --wait_ticks;
            else
                finishRun(tr("SLAVE SET FAILE!"));
            break;
        case kSetUpImage2:
            startImage(1, kSendBlock);
            break;
        case kSetUpImage3:
            startImage(2, kSendBlock);
            break;
        case kSendBlock:
            sendNextBlock();
            break;
        case kAwaitAck1:
        case kAwaitAck2:
            awaitAck(static_cast<quint8>(send_state + 1));
            break;
        case kAwaitAck3:
            if (wait_ticks > 0) {
                --wait_ticks;
            } else {
                resend_len = 0;
                finishRun(tr("SEND FAIL"));
            }
            break;
        default:
            break;
    }
}

// Sets up image `image` (0 to 2) at the block size now in force and moves to
// `next`; an image that does not lie inside the loaded file stops the run.
void Widget::startImage(quint8 image, quint8 next) {
    const gimbal::BlockCounts counts = countsOf(file_header);
    const quint64 offset = gimbal::imageOffset(counts, image, block_size);
    if (!checkBlockSize(counts[image]) || !blocksFit(offset, counts[image], image)) return;
    block_count = counts[image];
    block_index = 0;
    // An empty image may start beyond the file; nothing is read from it.
    block_ptr = file_buf.data() + std::min<quint64>(offset, file_len);
    slave_index = image;
    send_state = next;
}

void Widget::sendNextBlock() {
    if (block_index < block_count) {
        const auto offset = static_cast<quint64>(block_ptr - file_buf.data());
        if (!checkBlockSize(1) || !blocksFit(offset, 1, slave_index)) return;
        resend_len = send_to_flash(block_index, block_ptr, block_size);
        send_state = kAwaitAck1;
        wait_ticks = kWaitTicks;
    } else if (slave_index == 2) {
        finishRun(tr("SEND OK"));
    } else {
        setSlaveMode();
        wait_ticks = kWaitTicks;
        send_state = kAwaitSlaveAck;
    }
}

void Widget::awaitAck(quint8 next) {
    if (wait_ticks > 0) {
        --wait_ticks;
        return;
    }
    writeToPort(resend_buf.data(), std::min<std::size_t>(resend_len, resend_buf.size()));
    send_state = next;
    wait_ticks = kWaitTicks;
}

void Widget::parse_msg_update_msg() {
    switch (rx_cmd) {
        case gimbal::commandByte(gimbal::Command::LinkAnnouncement):
            if (rx_len < 4) return;  // the fields would be left over from an older frame
            block_size = le16(rx_payload, 0);
            send(gimbal::kHostAddress, gimbal::commandByte(gimbal::Command::LinkReply), 0);
            showText(QStringLiteral("LINK OK !"));
            appendLine(QStringLiteral("VERSION ") + QString::number(le16(rx_payload, 2) * 0.01, 'g', 6));
            break;
        case gimbal::commandByte(gimbal::Command::BlockAck):
            if (rx_len < 2 || le16(rx_payload, 0) != block_index) return;
            // Only a block on its way is acknowledged (or, after a failed run, the
            // one it stopped on). A late copy met while the slave switch or the
            // next block is due would count a block that was never sent and send
            // the slave command twice.
            if (send_state != kIdle && send_state != kAwaitAck1 && send_state != kAwaitAck2 && send_state != kAwaitAck3)
                return;
            send_state = kSendBlock;
            ++block_index;
            // Clamped to the end of the buffer; the next send refuses a block there.
            block_ptr += std::min<std::size_t>(block_size, file_buf.data() + file_buf.size() - block_ptr);
            showText(QStringLiteral("Send block ") + QString::number(block_index) + QStringLiteral(" is ok !"));
            break;
        case gimbal::commandByte(gimbal::Command::SwitchAck):
            if (slave_index == 0) {
                showText(QStringLiteral("Set Slave1 Mode OK"));
                send_state = kSetUpImage2;
            } else if (slave_index == 1) {
                showText(QStringLiteral("Set Slave2 Mode OK"));
                send_state = kSetUpImage3;
            }
            break;
        default:
            break;
    }
}

// Refuses a header whose images do not all lie inside the loaded file, before
// anything is sent.
bool Widget::checkHeader() {
    const gimbal::BlockCounts counts = countsOf(file_header);
    quint64 total = 0;
    for (quint16 n : counts) total += n;
    if (!checkBlockSize(total)) return false;
    for (quint8 i = 0; i < gimbal::kImageCount; ++i) {
        if (!blocksFit(gimbal::imageOffset(counts, i, block_size), counts[i], i)) return false;
    }
    return true;
}

bool Widget::checkBlockSize(quint64 blocks) {
    if (blocks == 0 || (block_size > 0 && block_size <= kMaxBlockSize)) return true;
    stopRun(tr("Block size %1 does not fit a block frame (1 to %2 bytes): update stopped.")
                .arg(block_size)
                .arg(kMaxBlockSize));
    return false;
}

bool Widget::blocksFit(quint64 offset, quint64 blocks, quint8 image) {
    const quint64 end = offset + blocks * block_size;
    if (blocks == 0 || end <= file_len) return true;
    stopRun(tr("Image %1 runs past the loaded file (%2 bytes needed, %3 loaded): update stopped.")
                .arg(image + 1)
                .arg(end)
                .arg(file_len));
    return false;
}

void Widget::stopRun(const QString& why) {
    send_state = kIdle;
    resend_len = 0;
    syncRunControls();
    QMessageBox::warning(this, tr("UPDATE"), why);
}

// The state is idle before the box opens: the timers keep firing under it.
void Widget::finishRun(const QString& text) {
    send_state = kIdle;
    syncRunControls();
    QMessageBox::information(this, tr("UPDATE"), text);
}

}  // namespace trisk
