// One request of a port's request queue: the bytes to send, what the response
// looks like (none: no response expected) and how long to wait for it.
//
// Requests have no equality of their own: two are the same only when they are
// the same object. The fields may be changed by the client while the request
// is not yet handed to a port; once sent or queued, the port reads them on its
// request-handling executor, so leave them alone then.
#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "upgrader/serial/kiv_serial_packet_descriptor.h"

namespace serial {

class KivSerialRequest {
    struct Token {};

public:
    using Bytes = std::vector<std::uint8_t>;

    static std::shared_ptr<KivSerialRequest> requestWithDataToSendUserInfoTimeoutIntervalResponseDescriptor(
        Bytes dataToSend, std::any userInfo, double timeoutInterval,
        std::shared_ptr<KivSerialPacketDescriptor> responseDescriptor);
    // Outdated form: the evaluator becomes a descriptor with no length limit
    // (2^63 - 1); without an evaluator any non-empty response is accepted.
    [[deprecated("use a response descriptor")]] static std::shared_ptr<KivSerialRequest>
    requestWithDataToSendUserInfoTimeoutIntervalResponseEvaluator(
        Bytes dataToSend, std::any userInfo, double timeoutInterval,
        KivSerialPacketDescriptor::ResponseEvaluator responseEvaluator);

    static constexpr std::uint64_t kEvaluatorMaximumPacketLength = 0x7FFF'FFFF'FFFF'FFFFull;

    KivSerialRequest(Token, Bytes dataToSend, std::any userInfo, double timeoutInterval,
                     std::shared_ptr<KivSerialPacketDescriptor> responseDescriptor);

    const Bytes& dataToSend() const { return dataToSend_; }
    void setDataToSend(Bytes data) { dataToSend_ = std::move(data); }
    const std::any& userInfo() const { return userInfo_; }
    void setUserInfo(std::any userInfo) { userInfo_ = std::move(userInfo); }
    // Seconds; 0 or less (or not a number) means no time-out.
    double timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
    const std::shared_ptr<KivSerialPacketDescriptor>& responseDescriptor() const { return responseDescriptor_; }
    void setResponseDescriptor(std::shared_ptr<KivSerialPacketDescriptor> descriptor) {
        responseDescriptor_ = std::move(descriptor);
    }
    const std::string& UUIDString() const { return UUIDString_; }

    bool dataIsValidResponse(std::span<const std::uint8_t> data) const;
    // "<KivSerialRequest: 0x...> data: <...> userInfo: ... timeout interval: 1.000000"
    std::string description() const;

private:
    Bytes dataToSend_;
    std::any userInfo_;
    double timeoutInterval_;
    std::shared_ptr<KivSerialPacketDescriptor> responseDescriptor_;
    std::string UUIDString_;
};

}  // namespace serial
