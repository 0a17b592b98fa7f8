#include <gtest/gtest.h>

#include <linux/can.h>
#include <linux/can/error.h>

#include <cerrno>
#include <deque>

#include "controller/can_link.hpp"
#include "controller/serial_link.hpp"
#include "fake_buses.hpp"

namespace velmora::controller::testing {
namespace {

using namespace std::chrono_literals;
using motorcom::CanError;
using motorcom::CanFrame;
using motorcom::CanId;
using TimePoint = std::chrono::steady_clock::time_point;

struct StubPort final : servocom::Port {
  std::optional<std::string> gone;
  servocom::Result<std::size_t> bytes_waiting() override { return 0; }
  servocom::Result<void> read_exact(std::span<std::uint8_t>) override { return {}; }
  servocom::Result<void> write_all(std::span<const std::uint8_t>) override { return {}; }
  servocom::Result<void> drain() override { return {}; }
  std::optional<std::string> lost() const override { return gone; }
};

struct StubBus final : motorcom::CanTransport {
  std::deque<CanError> send_errors;  // then sends succeed
  bool refuse_forever = false;
  std::deque<motorcom::CanResult<CanFrame>> received;
  motorcom::CanResult<void> send(const CanFrame&) override {
    if (refuse_forever) return std::unexpected(CanError::backend(ENOBUFS));
    if (send_errors.empty()) return {};
    auto e = send_errors.front();
    send_errors.pop_front();
    return std::unexpected(e);
  }
  motorcom::CanResult<CanFrame> recv(std::chrono::nanoseconds) override {
    if (received.empty()) return std::unexpected(CanError::timeout());
    // Moved straight into the return value, the front popped after: GCC 14
    // at -O3 took a moved local std::expected for possibly uninitialised.
    struct PopFront {
      std::deque<motorcom::CanResult<CanFrame>>& q;
      ~PopFront() { q.pop_front(); }
    } pop{received};
    return std::move(received.front());
  }
};

std::vector<std::pair<log::Level, std::string>> levels_and_texts() {
  std::vector<std::pair<log::Level, std::string>> out;
  for (const auto& r : take_log()) out.emplace_back(r.level, r.message);
  return out;
}

TEST(DeviceLinks, ASerialPortThatWentAwayIsOpenedAgainByItsPathAtTheGivenRateAndLoggedOnce) {
  int opens = 0;
  bool back = false;
  auto first = std::make_unique<StubPort>();
  StubPort* port = first.get();
  SerialLink link("/dev/velmora-servos", std::move(first), [&]() -> servocom::Result<std::unique_ptr<servocom::Port>> {
    ++opens;
    if (!back) return std::unexpected(servocom::Error::port("could not open serial port /dev/velmora-servos: gone"));
    return std::make_unique<StubPort>();
  });
  link.set_reopen_interval(250ms);
  TimePoint now{std::chrono::seconds(1)};
  take_log();

  port->gone = "read failed: Input/output error";
  link.settle(false, true, now);  // the reading that found it gone
  ASSERT_FALSE(link.connected());
  int failed = 1;
  for (int tick = 0; tick < 100; ++tick, ++failed) {
    now += 10ms;
    ASSERT_FALSE(link.acquire(now));
    link.settle(false, true, now);
  }
  EXPECT_EQ(opens, 4) << "one attempt every 250 ms";
  const auto why = link.acquire(now);
  ASSERT_FALSE(why);
  EXPECT_TRUE(why.error().disconnected);
  EXPECT_EQ(why.error().message,
            "serial port /dev/velmora-servos disconnected (read failed: Input/output error); could not open serial "
            "port /dev/velmora-servos: gone");

  back = true;
  now += 250ms;
  ASSERT_TRUE(link.acquire(now));
  link.settle(true, true, now);
  EXPECT_EQ(link.reconnections(), 1U);
  const auto logged = levels_and_texts();
  ASSERT_EQ(logged.size(), 2U);
  EXPECT_EQ(logged[0], std::make_pair(log::Level::Error, std::string("serial port /dev/velmora-servos disconnected "
                                                                     "(read failed: Input/output error); opening it "
                                                                     "again once it is back")));
  EXPECT_EQ(logged[1], std::make_pair(log::Level::Info, "serial port /dev/velmora-servos back after 1.25 s; " +
                                                            std::to_string(failed) + " readings failed"));
}

TEST(DeviceLinks, ACanInterfaceIsBoundAgainAndItsTroublesAreToldOnce) {
  TimePoint now{std::chrono::seconds(1)};
  std::vector<std::chrono::microseconds> sleeps;
  int opens = 0;
  auto first = std::make_unique<StubBus>();
  StubBus* bus = first.get();
  CanLink link(
      "can0", std::move(first),
      [&]() -> motorcom::CanResult<std::unique_ptr<motorcom::CanTransport>> {
        if (++opens == 1) return std::unexpected(CanError::backend(ENODEV));
        auto fresh = std::make_unique<StubBus>();
        fresh->received.push_back(CanFrame{{1, 2, 3, 4, 5, 6, 7, 8}, CanId::standard(1), false, false});
        return fresh;
      },
      [&] { return now; },
      [&](std::chrono::microseconds d) {
        sleeps.push_back(d);
        now += d;
      },
      20ms);
  link.set_reopen_interval(250ms);
  take_log();

  // A full transmit queue is waited on, briefly, and is no disconnection.
  bus->send_errors = {CanError::backend(ENOBUFS), CanError::backend(ENOBUFS)};
  EXPECT_TRUE(link.send(CanFrame{}));
  EXPECT_EQ(sleeps.size(), 2U);
  bus->refuse_forever = true;
  const auto start = now;
  const auto refused = link.send(CanFrame{});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().os_error(), ENOBUFS);
  EXPECT_GE(now - start, 20ms);
  EXPECT_LT(now - start, 21ms);
  EXPECT_TRUE(link.connected());

  // Error frames: bus-off told once, however often it comes.
  CanFrame bus_off{std::vector<std::uint8_t>(8, 0), CanId::extended(CAN_ERR_BUSOFF), false, false};
  bus_off.error = true;
  bus->received = {bus_off, bus_off};
  EXPECT_TRUE(link.recv(1ms));
  EXPECT_TRUE(link.recv(1ms));

  // Removed: the socket goes, every use fails at once, and it is bound again.
  bus->received = {std::unexpected(CanError::backend(ENODEV))};
  EXPECT_FALSE(link.recv(1ms));
  EXPECT_FALSE(link.connected());
  EXPECT_EQ(link.send(CanFrame{}).error().os_error(), ENODEV);
  EXPECT_FALSE(link.reconnect_if_due()) << "not due yet";
  now += 250ms;
  EXPECT_FALSE(link.reconnect_if_due()) << "still away";
  EXPECT_EQ(link.disconnection().message,
            "CAN interface can0 disconnected (backend error: No such device); failed to open CAN bus 'can0': "
            "backend error: No such device");
  now += 250ms;
  EXPECT_TRUE(link.reconnect_if_due());
  EXPECT_TRUE(link.recv(1ms));

  const auto logged = levels_and_texts();
  ASSERT_EQ(logged.size(), 3U);
  EXPECT_EQ(logged[0].first, log::Level::Error);
  EXPECT_EQ(logged[0].second,
            "CAN interface can0: its controller is bus-off and stays off until the interface is restarted, which "
            "needs privileges: sudo ip link set can0 down && sudo ip link set can0 up type can bitrate 1000000 (or "
            "give it restart-ms)");
  EXPECT_EQ(logged[1], std::make_pair(log::Level::Error, std::string("CAN interface can0 disconnected (backend "
                                                                     "error: No such device); binding to it again "
                                                                     "once it is back")));
  EXPECT_EQ(logged[2], std::make_pair(log::Level::Info, std::string("CAN interface can0 back after 0.50 s; 0 "
                                                                    "readings failed")));
}

}  // namespace
}  // namespace velmora::controller::testing
