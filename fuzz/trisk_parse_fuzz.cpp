// The three-axis updater's receive parser, byte by byte, against a model of
// its state table with a CRC of its own: the parser's state follows the
// model after every byte, and a frame reaches the sequencer exactly when its
// CRC holds and its address is 0 (seen from outside: the text area changes).

#include <QTextBrowser>
#include <QTextDocument>

#include <array>
#include <memory>

#include "fuzz_check.h"
#include "trisk_harness.h"
#include "widget_probe.h"

namespace {

std::uint16_t crc16Ref(std::uint16_t reg, std::uint8_t b) {
    reg ^= static_cast<std::uint16_t>(b << 8);
    for (int i = 0; i < 8; ++i) reg = static_cast<std::uint16_t>(reg & 0x8000 ? (reg << 1) ^ 0x1021 : reg << 1);
    return reg;
}

struct Model {
    int state = 0;
    std::uint8_t addr = 0, cmd = 0;
    std::uint16_t len = 0, index = 0, crc = 0xFFFF, recv = 0;
    std::array<std::uint8_t, 4> head{};  // the payload bytes the sequencer reads

    // True when this byte completes a frame whose CRC holds.
    bool feed(std::uint8_t b) {
        switch (state) {
            case 0:
                state = b == 0x55 ? 1 : 0;
                return false;
            case 1:
                state = b == 0xAA ? 2 : (b == 0x55 ? 1 : 0);
                return false;
            case 2:
                crc = crc16Ref(0xFFFF, b);
                addr = b;
                state = 3;
                return false;
            case 3:
                crc = crc16Ref(crc, b);
                cmd = b;
                state = 4;
                return false;
            case 4:
                crc = crc16Ref(crc, b);
                len = b;
                state = 5;
                return false;
            case 5:
                crc = crc16Ref(crc, b);
                len = static_cast<std::uint16_t>(len | b << 8);
                index = 0;
                state = len == 0 ? 7 : 6;
                return false;
            case 6:
                crc = crc16Ref(crc, b);
                if (index < head.size()) head[index] = b;
                if (++index == len) state = 7;
                return false;
            case 7:
                recv = b;
                state = 8;
                return false;
            default:
                state = 0;
                return static_cast<std::uint16_t>(recv | b << 8) == crc;
        }
    }
    std::uint16_t field(std::size_t at) const { return static_cast<std::uint16_t>(head[at] | head[at + 1] << 8); }
};

struct Fixture {
    Fixture() : window(std::make_unique<trisk::Widget>()), probe(*window) {
        probe.holdClocks();
        text = probe.child<QTextBrowser>("textBrowser");
    }
    std::unique_ptr<trisk::Widget> window;
    WidgetProbe probe;
    QTextBrowser* text = nullptr;
    Model model;
};

// Whether the sequencer reacts visibly to this sound address-0 frame, with
// the sequencer held idle at block 0 of image 1.
bool reacts(const Model& m) {
    switch (m.cmd) {
        case 0x00:
            return m.len >= 4;
        case 0x03:
            return m.len >= 2 && m.field(0) == 0;
        case 0x08:
            return true;
        default:
            return false;
    }
}

void feedOne(Fixture& f, std::uint8_t b) {
    const bool sound = f.model.feed(b);
    f.probe.w.parse(b);
    FUZZ_CHECK(f.probe.rx_state() == f.model.state);
    if (f.model.state >= 5) FUZZ_CHECK(f.probe.rx_len() == f.model.len);
    const bool shown = !f.text->document()->isEmpty();
    FUZZ_CHECK(shown == (sound && f.model.addr == 0 && reacts(f.model)));
    if (shown && f.model.cmd == 0x00) FUZZ_CHECK(f.probe.block_size() == f.model.field(0));
    if (!shown) return;
    f.text->clear();
    f.probe.send_state() = 0;
    f.probe.slave_index() = 0;
    f.probe.block_index() = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    trisk_fuzz::ensureApplication();
    // Never destroyed: Qt's thread data is gone by the time statics are.
    static Fixture& f = *new Fixture;
    // Finish whatever frame the last input left open, so every input starts
    // from a parser in its first state.
    while (f.model.state != 0) feedOne(f, 0x00);
    for (std::size_t i = 0; i < size; ++i) feedOne(f, data[i]);
    return 0;
}
