#include "upgrader/serial/kiv_serial_request.h"

#include <cstdio>

namespace serial {

namespace {

// Hex in groups of four bytes, in angle brackets: <01020304 0506>.
std::string describeBytes(const KivSerialRequest::Bytes& bytes) {
    std::string text = "<";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 4 == 0) text += ' ';
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text + ">";
}

std::string describeUserInfo(const std::any& userInfo) {
    if (!userInfo.has_value()) return "(null)";
    if (const auto* text = std::any_cast<std::string>(&userInfo)) return *text;
    if (const auto* text = std::any_cast<const char*>(&userInfo)) return *text ? *text : "(null)";
    if (const auto* number = std::any_cast<int>(&userInfo)) return std::to_string(*number);
    return "<object>";
}

}  // namespace

KivSerialRequest::KivSerialRequest(Token, Bytes dataToSend, std::any userInfo, double timeoutInterval,
                                   std::shared_ptr<KivSerialPacketDescriptor> responseDescriptor)
    : dataToSend_(std::move(dataToSend)),
      userInfo_(std::move(userInfo)),
      timeoutInterval_(timeoutInterval),
      responseDescriptor_(std::move(responseDescriptor)),
      UUIDString_(platform::Uuid::create().string()) {}

std::shared_ptr<KivSerialRequest> KivSerialRequest::requestWithDataToSendUserInfoTimeoutIntervalResponseDescriptor(
    Bytes dataToSend, std::any userInfo, double timeoutInterval,
    std::shared_ptr<KivSerialPacketDescriptor> responseDescriptor) {
    return std::make_shared<KivSerialRequest>(Token{}, std::move(dataToSend), std::move(userInfo), timeoutInterval,
                                              std::move(responseDescriptor));
}

std::shared_ptr<KivSerialRequest> KivSerialRequest::requestWithDataToSendUserInfoTimeoutIntervalResponseEvaluator(
    Bytes dataToSend, std::any userInfo, double timeoutInterval,
    KivSerialPacketDescriptor::ResponseEvaluator responseEvaluator) {
    auto descriptor = KivSerialPacketDescriptor::initWithMaximumPacketLengthUserInfoResponseEvaluator(
        kEvaluatorMaximumPacketLength, std::any(), std::move(responseEvaluator));
    return requestWithDataToSendUserInfoTimeoutIntervalResponseDescriptor(std::move(dataToSend), std::move(userInfo),
                                                                          timeoutInterval, std::move(descriptor));
}

bool KivSerialRequest::dataIsValidResponse(std::span<const std::uint8_t> data) const {
    return !responseDescriptor_ || responseDescriptor_->dataIsValidPacket(data);
}

std::string KivSerialRequest::description() const {
    char self[64];
    std::snprintf(self, sizeof self, "<KivSerialRequest: %p>", static_cast<const void*>(this));
    // to_string formats as %f, with room for any magnitude.
    const std::string interval = std::to_string(timeoutInterval_);
    return std::string(self) + " data: " + describeBytes(dataToSend_) + " userInfo: " + describeUserInfo(userInfo_) +
           " timeout interval: " + interval;
}

}  // namespace serial
