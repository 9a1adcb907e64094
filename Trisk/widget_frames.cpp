// Link frames of the updater: builders that write into tx_buf and out to the
// port, and the byte-at-a-time receive parser with its CRC check.
#include "widget.h"

#include <algorithm>
#include <span>

#include "link/frame.h"

namespace trisk {

namespace {

// Receive parser states.
enum : quint8 {
    kRxSync1 = 0,
    kRxSync2 = 1,
    kRxAddress = 2,
    kRxCommand = 3,
    kRxLengthLow = 4,
    kRxLengthHigh = 5,
    kRxPayload = 6,
    kRxCrcLow = 7,
    kRxCrcHigh = 8,
};

}  // namespace

quint16 Widget::send(quint8 addr, quint8 cmd, const quint8* data, quint16 len) {
    if (data == nullptr && len != 0) return 0;
    const std::span<const quint8> payload(data, len);
    const std::size_t n = gimbal::writeFrame(tx_buf, addr, cmd, payload, crc);
    if (n == 0) return 0;  // longer than tx_buf can take
    writeToPort(tx_buf.data(), n);
    return static_cast<quint16>(n);
}

quint16 Widget::send_to_flash(quint16 index, const quint8* data, quint16 len) {
    if (data == nullptr && len != 0) return 0;
    const std::span<const quint8> block(data, len);
    const std::size_t n = gimbal::writeBlockFrame(tx_buf, index, block, crc);
    if (n == 0) return 0;  // the block does not fit a frame
    // Retransmissions come from this copy: tx_buf is reused by every other frame.
    std::copy_n(tx_buf.begin(), n, resend_buf.begin());
    writeToPort(tx_buf.data(), n);
    return static_cast<quint16>(n);
}

void Widget::setSlaveMode() {
    send(gimbal::kHostAddress, gimbal::commandByte(gimbal::Command::SwitchSlave), 1, 0x01);
}

void Widget::setRun() {
    send(gimbal::kHostAddress, gimbal::commandByte(gimbal::Command::Run), 0);
}

void Widget::parse(quint8 byte) {
    switch (rx_state) {
        case kRxSync1:
            if (byte == gimbal::kSync1) rx_state = kRxSync2;
            break;
        case kRxSync2:
            // A repeated 0x55 may itself be the start of the frame.
            if (byte == gimbal::kSync2)
                rx_state = kRxAddress;
            else
                rx_state = (byte == gimbal::kSync1) ? kRxSync2 : kRxSync1;
            break;
        case kRxAddress:
        case kRxCommand:
        case kRxLengthLow:
        case kRxLengthHigh:
        case kRxPayload:
            parseCoveredByte(byte);
            break;
        case kRxCrcLow:
            // The CRC bytes themselves are not fed to the CRC.
            rx_crc_calc = static_cast<quint16>(crc.crc_update_get_crc());
            rx_crc_recv = byte;
            rx_state = kRxCrcHigh;
            break;
        case kRxCrcHigh:
            rx_state = kRxSync1;
            rx_crc_recv = static_cast<quint16>(rx_crc_recv | (byte << 8));
            if (rx_crc_recv == rx_crc_calc) parse_msg();
            break;
        default:
            rx_state = kRxSync1;
            break;
    }
}

// Address, command, length and payload: the bytes the frame's CRC covers.
void Widget::parseCoveredByte(quint8 byte) {
    if (rx_state == kRxAddress) crc.crc_update_init();
    crc.crc_update(byte);
    switch (rx_state) {
        case kRxAddress:
            rx_addr = byte;
            rx_state = kRxCommand;
            break;
        case kRxCommand:
            rx_cmd = byte;
            rx_state = kRxLengthLow;
            break;
        case kRxLengthLow:
            rx_len = byte;
            rx_index = 0;
            rx_state = kRxLengthHigh;
            break;
        case kRxLengthHigh:
            rx_len = static_cast<quint16>(rx_len | (byte << 8));
            rx_index = 0;
            rx_state = (rx_len == 0) ? kRxCrcLow : kRxPayload;
            break;
        default:  // payload
            // Longer payloads are checked whole, but only their start is kept.
            if (rx_index < rx_payload.size()) rx_payload[rx_index] = byte;
            ++rx_index;
            if (rx_index == rx_len) rx_state = kRxCrcLow;
            break;
    }
}

void Widget::parse_msg() {
    if (rx_addr != gimbal::kHostAddress) return;
    parse_msg_update_msg();
}

}  // namespace trisk
