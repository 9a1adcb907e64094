// One live port per device path, lookup by path or device, identity, the
// registry of live ports and caller errors.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/upgrader/support/pty.h"
#include "upgrader/serial/kiv_assert.h"

namespace serial {

namespace {

class FakeDevice : public KivSerialDevice {
public:
    FakeDevice(std::string callout, std::string dialin, std::string type = "IOSerialStream")
        : callout_(std::move(callout)), dialin_(std::move(dialin)), type_(std::move(type)) {}
    std::optional<std::string> calloutPath() const override { return callout_; }
    std::optional<std::string> dialinPath() const override { return dialin_; }
    std::optional<std::string> ttyName() const override { return "usbserial-A1"; }
    std::optional<std::string> baseName() const override { return "usbserial-"; }
    std::optional<std::string> serviceType() const override { return type_; }
    std::optional<std::string> suffix() const override { return std::nullopt; }

private:
    std::string callout_, dialin_, type_;
};

class FakeSource : public KivSerialDeviceSource {
public:
    std::vector<KivSerialDeviceHandle> devices;
    std::vector<KivSerialDeviceHandle> serialDevices() const override { return devices; }
};

class WithFakeSource : public testing::Test {
protected:
    void SetUp() override {
        source = std::make_shared<FakeSource>();
        source->devices = {std::make_shared<FakeDevice>("/dev/cu.fake1", "/dev/tty.fake1"),
                           std::make_shared<FakeDevice>("/dev/cu.modem", "/dev/tty.modem", "IOModemSerialStream")};
        setKivSerialDeviceSource(source);
    }
    void TearDown() override { setKivSerialDeviceSource(nullptr); }
    std::shared_ptr<FakeSource> source;
};

TEST_F(WithFakeSource, CalloutAndDialinPathsAndTheDeviceGiveTheSameLivePort) {
    auto byCallout = KivSerialPort::serialPortWithPath("/dev/cu.fake1");
    ASSERT_TRUE(byCallout);
    EXPECT_EQ(KivSerialPort::serialPortWithPath("/dev/tty.fake1"), byCallout);
    EXPECT_EQ(KivSerialPort::serialPortWithDevice(source->devices[0]), byCallout);
    EXPECT_EQ(KivSerialPort::existingPortWithPath("/dev/cu.fake1"), byCallout);
    EXPECT_EQ(byCallout->path(), "/dev/cu.fake1");
    EXPECT_EQ(byCallout->description(), "usbserial-A1");
    EXPECT_EQ(byCallout->IOKitDevice(), source->devices[0]);

    // Settings of the existing port survive a second lookup.
    byCallout->setBaudRate(57600);
    EXPECT_EQ(KivSerialPort::serialPortWithPath("/dev/cu.fake1")->baudRate(), 57600u);

    // The registry keeps no port alive: after the last reference a new one is made.
    std::weak_ptr<KivSerialPort> weak = byCallout;
    byCallout.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_FALSE(KivSerialPort::existingPortWithPath("/dev/cu.fake1"));
    auto fresh = KivSerialPort::serialPortWithPath("/dev/cu.fake1");
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->baudRate(), 19200u);
}

TEST_F(WithFakeSource, UnknownEmptyAndNonStreamPathsGiveNoPort) {
    EXPECT_FALSE(KivSerialPort::serialPortWithPath(""));
    EXPECT_FALSE(KivSerialPort::serialPortWithPath("/dev/cu.nothing"));
    EXPECT_FALSE(KivSerialPort::serialPortWithPath("/dev/cu.modem"));  // not a serial stream
    EXPECT_FALSE(KivSerialPort::serialPortWithPath("/dev/cu.fake"));   // no prefix matching
}

TEST(KivSerialPortCreation, WithoutASourceAPathNeedsACharacterDeviceNode) {
    test_support::Pty pty;
    auto port = KivSerialPort::serialPortWithPath(pty.slavePath());
    ASSERT_TRUE(port);
    EXPECT_EQ(port->path(), pty.slavePath());
    EXPECT_EQ(port->name(), pty.slavePath().substr(pty.slavePath().rfind('/') + 1));
    EXPECT_FALSE(KivSerialPort::serialPortWithPath("/dev/no-such-serial-device"));
    EXPECT_FALSE(KivSerialPort::serialPortWithPath("/tmp"));  // not a device
}

TEST(KivSerialPortCreation, CallerErrorsRaiseTheAssertionTextsAndGiveNoPort) {
    std::vector<std::string> failures;
    setKivAssertionHandler([&](const std::string& text) { failures.push_back(text); });
    EXPECT_FALSE(KivSerialPort::serialPortWithDevice(nullptr));
    EXPECT_FALSE(KivSerialPort::init());
    setKivAssertionHandler(nullptr);
    EXPECT_EQ(failures, (std::vector<std::string>{
                            "-[KivSerialPort initWithDevice:] requires non-zero device argument.",
                            "KivSerialPort must be init'd using -initWithPath:",
                        }));
}

TEST(KivSerialPortCreation, DevicePropertiesByKey) {
    const auto device = kivDeviceForNodePath("/dev/ttyUSB12");
    EXPECT_EQ(KivSerialPort::bsdCalloutPathFromDevice(device), "/dev/ttyUSB12");
    EXPECT_EQ(KivSerialPort::bsdDialinPathFromDevice(device), "/dev/ttyUSB12");
    EXPECT_EQ(KivSerialPort::modemNameFromDevice(device), "ttyUSB12");
    EXPECT_EQ(KivSerialPort::baseNameFromDevice(device), "ttyUSB");
    EXPECT_EQ(KivSerialPort::suffixFromDevice(device), "12");
    EXPECT_EQ(KivSerialPort::serviceTypeFromDevice(device), "IOSerialStream");
    EXPECT_EQ(KivSerialPort::stringPropertyOfForIOSerialKey(device, "IOTTYDevice"), "ttyUSB12");
    EXPECT_EQ(KivSerialPort::stringPropertyOfForIOSerialKey(device, "NoSuchKey"), std::nullopt);
    EXPECT_EQ(KivSerialPort::stringPropertyOfForIOSerialKey(nullptr, "IOTTYDevice"), std::nullopt);
}

TEST(KivSerialPortCreation, EqualityAndHashFollowThePath) {
    test_support::Pty a, b;
    auto first = KivSerialPort::serialPortWithPath(a.slavePath());
    auto second = KivSerialPort::serialPortWithPath(b.slavePath());
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(*first == *second);
    EXPECT_TRUE(*first == *first);
    EXPECT_EQ(std::hash<KivSerialPort>{}(*first), std::hash<std::string>{}(a.slavePath()));
}

TEST(KivSerialPortCreation, RegistryListsLivePortsAndRemovesByIdentity) {
    test_support::Pty a, b;
    auto first = KivSerialPort::serialPortWithPath(a.slavePath());
    auto second = KivSerialPort::serialPortWithPath(b.slavePath());
    auto all = KivSerialPort::allSerialPorts();
    EXPECT_NE(std::find(all.begin(), all.end(), first), all.end());
    EXPECT_NE(std::find(all.begin(), all.end(), second), all.end());
    KivSerialPort::removeSerialPort(first.get());
    EXPECT_FALSE(KivSerialPort::existingPortWithPath(a.slavePath()));
    EXPECT_EQ(KivSerialPort::existingPortWithPath(b.slavePath()), second);
    KivSerialPort::addSerialPort(first);
    EXPECT_EQ(KivSerialPort::existingPortWithPath(a.slavePath()), first);
}

// Ports die on background threads while the main thread makes and looks up
// ports for the same path: every lookup yields one live port or none, and
// never two live ports for one path.
TEST(KivSerialPortCreation, RegistrySurvivesPortsDyingOnOtherThreads) {
    test_support::Pty pty;
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop) {
            auto port = KivSerialPort::serialPortWithPath(pty.slavePath());
            auto again = KivSerialPort::existingPortWithPath(pty.slavePath());
            EXPECT_TRUE(!again || again == port);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        auto port = KivSerialPort::serialPortWithPath(pty.slavePath());
        ASSERT_TRUE(port);
        EXPECT_EQ(KivSerialPort::existingPortWithPath(pty.slavePath()), port);
    }
    stop = true;
    churn.join();
}

}  // namespace

}  // namespace serial
