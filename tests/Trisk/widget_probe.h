// White-box access to the window for the tests: its controls by object name,
// its clocks, and the state of the parser and the sequencer.
#pragma once

#include <QComboBox>
#include <QPushButton>
#include <QSerialPort>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <cstddef>

#include "link/frame.h"
#include "widget.h"

class WidgetProbe {
public:
    explicit WidgetProbe(trisk::Widget& window) : w(window) {}

    template <typename T>
    T* child(const char* name) const {
        return w.findChild<T*>(QString::fromLatin1(name));
    }
    QPushButton* button(const char* name) const { return child<QPushButton>(name); }
    QString text() const { return child<QTextBrowser>("textBrowser")->toPlainText(); }
    void click(const char* name) const { QTest::mouseClick(button(name), Qt::LeftButton); }

    // Puts a path into the port list (the scan never lists pseudo-terminals)
    // and clicks the open button.
    void openOn(const QString& path) const {
        auto* ports = child<QComboBox>("comboBoxPort");
        ports->addItem(path);
        ports->setCurrentIndex(ports->count() - 1);
        click("BtnOpen");
    }

    // Stops the 100 ms sequencer tick and the 1 s port refresh, so a test
    // steps the sequencer itself; the receive poll keeps running.
    void holdClocks() const {
        for (QTimer* timer : w.findChildren<QTimer*>()) {
            if (timer != w.read_timer) timer->stop();
        }
    }
    // Lets the sequencer tick and the port refresh run again, for whole runs.
    void resumeClocks() const {
        for (QTimer* timer : w.findChildren<QTimer*>()) {
            if (timer != w.read_timer) timer->start();
        }
    }
    void step(int times = 1) const {
        for (int i = 0; i < times; ++i) w.send_update_all();
    }
    void feed(const gimbal::Bytes& bytes) const {
        for (std::uint8_t b : bytes) w.parse(b);
    }
    void refreshPorts() const { w.updatePortCom(); }
    // What choosing `path` in the file dialog does, without the dialog.
    void loadChosen(const QString& path) const { w.loadChosenFile(path); }

    quint8& send_state() const { return w.send_state; }
    quint8& slave_index() const { return w.slave_index; }
    quint16& block_size() const { return w.block_size; }
    quint16& block_index() const { return w.block_index; }
    quint16& block_count() const { return w.block_count; }
    std::size_t block_offset() const { return static_cast<std::size_t>(w.block_ptr - w.file_buf.data()); }
    quint16 resend_len() const { return w.resend_len; }
    quint16 wait_ticks() const { return w.wait_ticks; }
    quint8 rx_state() const { return w.rx_state; }
    quint16 rx_len() const { return w.rx_len; }
    bool port_open() const { return w.port_open; }
    bool has_port() const { return w.serial_port != nullptr; }
    bool polling() const { return w.read_timer->isActive(); }
    int& port_count() const { return w.port_count; }
    quint32 file_len() const { return w.file_len; }
    const auto& file_buf() const { return w.file_buf; }
    const auto& tx_buf() const { return w.tx_buf; }

    // Serial port helpers reached through the window's own builders.
    quint16 send(const gimbal::Bytes& payload, quint8 cmd) const {
        return w.send(0, cmd, payload.data(), static_cast<quint16>(payload.size()));
    }
    quint16 send_to_flash(quint16 index, const gimbal::Bytes& data) const {
        return w.send_to_flash(index, data.data(), static_cast<quint16>(data.size()));
    }

    trisk::Widget& w;
};
