// Main window of the three-axis updater: port choice and receive polling, the
// update file check, the link frames and the 100 ms update sequencer.
//
// Threads: everything runs on the GUI thread (three timers, the buttons and
// the port's error signal). Only the modal file dialog and message boxes
// block, and the timers keep firing under them, so every slot must cope with
// being re-entered from a box's nested event loop.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <type_traits>

#include <QMessageBox>

#include "link/crc.h"
#include "link/low_latency.h"

class QCloseEvent;
class QFile;
class QProgressBar;
class QTimer;
class WidgetProbe;  // the test suite's white-box view

namespace Ui {
class Widget;
}

namespace trisk {

class LinePort;

class Widget : public QWidget {
    Q_OBJECT

public:
    static constexpr std::size_t kRxPayloadSize = 256;
    static constexpr std::size_t kTxBufSize = 2112;
    static constexpr std::size_t kFileBufSize = 0x80000;
    // Largest block whose frame (data + 12) still fits tx_buf.
    static constexpr quint16 kMaxBlockSize = kTxBufSize - 12;

    explicit Widget(QWidget* parent = nullptr);
    ~Widget() override;

    // Frame builders. Each assembles its frame in tx_buf, writes it to the
    // open port (dropped when no port is open) and returns its length; a
    // frame that would not fit tx_buf is neither built nor sent, and 0 is
    // returned.
    template <typename... Payload>
    quint16 send(quint8 addr, quint8 cmd, quint16 len, Payload... bytes);
    quint16 send(quint8 addr, quint8 cmd, const quint8* data, quint16 len);
    quint16 send_to_flash(quint16 index, const quint8* data, quint16 len);
    void setSlaveMode();
    void setRun();

    // Receive side: one byte at a time, in arrival order.
    void parse(quint8 byte);
    void parse_msg();

    // Ends any run and closes the port, for a program about to exit.
    void stopForExit();

    // One step of the update sequencer, and its reaction to a received frame.
    void send_update_all();
    void parse_msg_update_msg();

    // A modal box whose text is shown as it stands: port names, paths and
    // lock holders come from outside and are never read as markup.
    int showBox(QMessageBox::Icon icon, const QString& title, const QString& text,
                QMessageBox::StandardButtons buttons = QMessageBox::Ok, const char* objectName = nullptr);

protected:
    // Mid-update, asks first (default No): quitting leaves the gimbal half written.
    void closeEvent(QCloseEvent* event) override;

private slots:
    void sendUpdateFile();
    void updataSerialData();
    void updatePortCom();
    void on_BtnOpen_clicked();
    void on_BtnOpenFile_clicked();
    void on_BtnUpdate_clicked();
    void on_BtnAbout_clicked();

private:
    friend class ::WidgetProbe;  // white-box access for the test suite

    // send_state values.
    enum : quint8 {
        kIdle = 0,
        kStart = 1,
        kAwaitSlaveAck = 2,
        kSetUpImage2 = 3,
        kSetUpImage3 = 4,
        kSendBlock = 9,
        kAwaitAck1 = 10,
        kAwaitAck2 = 11,
        kAwaitAck3 = 12,
    };
    // Ticks to wait after a transmission before acting again (about 3 s).
    static constexpr quint16 kWaitTicks = 30;

    void parseCoveredByte(quint8 byte);

    // Port handling (widget_port.cpp).
    QStringList openablePortNames(bool logDetails);
    void fillPortList(const QStringList& names);
    bool canOpen(const QString& name, const QString& path);
    void noteLeftOut(const QString& path, const QString& line);  // once per port and reason
    static int listedPortCount();
    bool openPort(const QString& name, qint32 baud, QString* error);
    void closePort();
    void portLost(const QString& why);
    void showClosedState();
    void writeToPort(const quint8* data, std::size_t len);
    QString chosenPort() const;

    // What the window shows of a run (widget_run.cpp): UPDATE START and OPEN
    // FILE only while idle with the port open, the port and rate lists only
    // while it is closed, and the progress over the three images.
    void syncRunControls();
    void showProgress();
    QString runPlace() const;

    // File check (widget_file.cpp).
    bool openUpdateFile(QString* why);
    void loadChosenFile(const QString& chosen);
    bool loadFile(QString* error);
    void showFileCheck();

    // What UPDATE START checks first (widget_start.cpp).
    bool mayStart();
    bool confirmFailedFile(quint16 computed, quint16 stored);

    // Sequencer helpers (widget_sequencer.cpp).
    void stepSequencer();
    void startImage(quint8 image, quint8 next);
    void sendNextBlock();
    void awaitAck(quint8 next);
    bool checkHeader();
    bool checkBlockSize(quint64 blocks);
    bool blocksFit(quint64 offset, quint64 blocks, quint8 image);
    void stopRun(const QString& why);
    void finishRun(const QString& text);

    // Text area helpers: plain text only, so a file name is never read as markup.
    void showText(const QString& text);
    void appendLine(const QString& line);

    std::array<quint8, kRxPayloadSize> rx_payload{};
    std::unique_ptr<Ui::Widget> ui;
    LinePort* serial_port = nullptr;                                       // child of the window while it exists
    QString open_name;   // what opened the open port (a virtual port's link)
    QString open_shown;  // the open port as the list showed it to the user
    gimbal::LowLatency low_latency_at_open = gimbal::LowLatency::Refused;  // put back at close
    QTimer* read_timer = nullptr;
    QProgressBar* progress = nullptr;  // below the text area
    bool run_shown = false;            // the bar shows a run: from its start until a new port or file
    int port_count = 0;
    // Why each port the scan leaves out cannot be opened, as last said in the
    // text area: said again only when it changes.
    std::map<QString, QString> left_out;
    bool port_open = false;
    QFile* update_file = nullptr;  // child of the window; the previous one is released on load
    QString file_name;
    gimbal::Ccrc crc;
    quint8 slave_index = 0;
    quint8 send_state = kIdle;
    std::array<quint8, kTxBufSize> tx_buf{};
    quint16 block_size = 1024;
    quint16 block_count = 0;
    quint16 block_index = 0;
    const quint8* block_ptr = nullptr;
    std::array<quint8, kFileBufSize> file_buf{};
    quint8 rx_state = 0;
    quint8 rx_addr = 0;
    quint8 rx_cmd = 0;
    quint16 rx_len = 0;
    quint16 rx_index = 0;
    quint16 rx_crc_calc = 0;
    quint16 rx_crc_recv = 0;

    // Sequencer bookkeeping. Kept per window rather than per process so two
    // windows (as in tests) never share a run's counters.
    const quint8* file_header = nullptr;
    quint16 resend_len = 0;
    quint16 wait_ticks = 0;
    // The block frame awaiting its acknowledgement. Its own copy, so a link
    // reply built in tx_buf meanwhile cannot change what is retransmitted.
    std::array<quint8, kTxBufSize> resend_buf{};
    // Bytes of file_buf that came from the loaded file; blocks are only ever
    // read from this range.
    quint32 file_len = 0;
    // An update file was read into file_buf by the last load attempt.
    bool file_loaded = false;
};

template <typename... Payload>
quint16 Widget::send(quint8 addr, quint8 cmd, quint16 len, Payload... bytes) {
    static_assert((std::is_integral_v<Payload> && ...), "payload bytes are integers");
    // The count must match the arguments actually passed; never read past them.
    if (len != sizeof...(Payload)) return 0;
    const std::array<quint8, sizeof...(Payload)> payload{static_cast<quint8>(bytes & 0xFF)...};
    return send(addr, cmd, payload.data(), len);
}

}  // namespace trisk
