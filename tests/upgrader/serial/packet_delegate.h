// Test helper: a recording delegate that also records packets, responses and
// time-outs, plus small builders for the byte strings the tests use.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/upgrader/support/pty.h"
#include "upgrader/platform/main_queue.h"
#include "upgrader/serial/kiv_serial_packet_descriptor.h"
#include "upgrader/serial/kiv_serial_request.h"

namespace test_support {

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

enum class Reply { Packet, Response, Timeout };

struct ReplyEvent {
    Reply kind;
    Bytes data;
    std::shared_ptr<serial::KivSerialPacketDescriptor> descriptor;
    std::shared_ptr<serial::KivSerialRequest> request;
};

class PacketDelegate : public RecordingDelegate {
public:
    std::function<void(const Port&, const std::shared_ptr<serial::KivSerialRequest>&)> onTimeout, onResponse;

    void serialPortDidReceivePacketMatchingDescriptor(
        const Port&, const Bytes& packet,
        const std::shared_ptr<serial::KivSerialPacketDescriptor>& descriptor) override {
        add({Reply::Packet, packet, descriptor, nullptr});
    }
    void serialPortDidReceiveResponseToRequest(const Port& port, const Bytes& response,
                                               const std::shared_ptr<serial::KivSerialRequest>& request) override {
        add({Reply::Response, response, nullptr, request});
        if (onResponse) onResponse(port, request);
    }
    void serialPortRequestDidTimeout(const Port& port,
                                     const std::shared_ptr<serial::KivSerialRequest>& request) override {
        add({Reply::Timeout, {}, nullptr, request});
        if (onTimeout) onTimeout(port, request);
    }

    std::vector<ReplyEvent> replies() const {
        std::lock_guard lock(mutex_);
        return replies_;
    }
    std::size_t count(Reply kind) const {
        std::size_t n = 0;
        for (const auto& r : replies()) n += r.kind == kind ? 1 : 0;
        return n;
    }
    std::vector<Bytes> dataOf(Reply kind) const {
        std::vector<Bytes> out;
        for (const auto& r : replies())
            if (r.kind == kind) out.push_back(r.data);
        return out;
    }
    bool mainThreadOnly() const {
        std::lock_guard lock(mutex_);
        return mainOnly_;
    }

private:
    void add(ReplyEvent event) {
        std::lock_guard lock(mutex_);
        mainOnly_ = mainOnly_ && platform::isMainThread();
        replies_.push_back(std::move(event));
    }
    mutable std::mutex mutex_;
    std::vector<ReplyEvent> replies_;
    bool mainOnly_ = true;
};

// An open port on the pty with a PacketDelegate in place of the plain one.
struct PacketPort {
    explicit PacketPort(Pty& pty, std::vector<serial::KivSerialPortDelegateCallback> missing = {})
        : port(serial::KivSerialPort::serialPortWithPath(pty.slavePath())),
          delegate(std::make_shared<PacketDelegate>()) {
        delegate->missing = std::move(missing);
        if (!port) return;
        port->setDelegate(delegate);
        port->open();
        waitFor([&] { return port->isOpen(); });
    }
    ~PacketPort() {
        if (port && port->isOpen()) {
            port->close();
            waitFor([&] { return !port->isOpen(); });
        }
        std::weak_ptr<serial::KivSerialPort> weak = port;
        port.reset();
        EXPECT_TRUE(waitFor([&] { return weak.expired(); })) << "a port outlived its test";
    }
    PacketPort(const PacketPort&) = delete;
    PacketPort& operator=(const PacketPort&) = delete;

    std::shared_ptr<serial::KivSerialPort> port;
    std::shared_ptr<PacketDelegate> delegate;
};

}  // namespace test_support
