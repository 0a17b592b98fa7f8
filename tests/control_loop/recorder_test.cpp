#include <gtest/gtest.h>

#include <thread>

#include "common/log.hpp"
#include "control_loop/flight_recorder.hpp"
#include "controller/tapped_port.hpp"

namespace velmora::control_loop {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

TEST(FlightRecorder, KeepsWhatFitsCountsTheRestAndEndsItsWriterPromptly) {
  FlightRecorder recorder(false, 3);
  log::write(log::Level::Warn, log::kControllerTarget, "a \"quoted\" warning");
  recorder.push(Topic::Timing, 5, R"({"period_s": 0.002, "read_s": 0.001})");
  recorder.push(Topic::Position, 6, "{}");
  recorder.push(Topic::Position, 7, "{}");  // one too many
  EXPECT_EQ(recorder.dropped(), 1U);
  auto first = recorder.take(1s);
  ASSERT_TRUE(first);
  ASSERT_EQ(first->size(), 3U);
  EXPECT_EQ((*first)[0].topic, Topic::Log);
  EXPECT_EQ((*first)[0].json,
            R"({"level": 30, "logger": "velmora_motor_controller.controller", "message": "a \"quoted\" warning"})");
  EXPECT_EQ(topic_name((*first)[1].topic), "/velmora/timing");

  std::thread stopper([&] {
    std::this_thread::sleep_for(20ms);
    recorder.stop();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(recorder.take(10s)) << "stopped and drained";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  stopper.join();
  recorder.push(Topic::Position, 8, "{}");
  log::write(log::Level::Error, log::kControllerTarget, "after the end");
  EXPECT_FALSE(recorder.take(0ms));
}

struct ScriptedLine final : servocom::Port {
  Bytes line;
  servocom::Result<std::size_t> bytes_waiting() override { return line.size(); }
  servocom::Result<void> read_exact(std::span<std::uint8_t> buf) override {
    std::copy_n(line.begin(), buf.size(), buf.begin());
    line.erase(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(buf.size()));
    return {};
  }
  servocom::Result<void> write_all(std::span<const std::uint8_t>) override { return {}; }
  servocom::Result<void> drain() override { return {}; }
};

struct Seen final : controller::BusTap {
  std::vector<std::pair<bool, Bytes>> packets;
  void serial(bool sent, std::span<const std::uint8_t> p) override { packets.emplace_back(sent, Bytes(p.begin(), p.end())); }
  void can(bool, const motorcom::CanFrame&) override {}
};

TEST(TappedPort, ShowsTheTrafficOnePacketAtATime) {
  ScriptedLine line;
  Seen seen;
  {
    controller::TappedPort port(line, seen);
    const Bytes ping{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB};
    ASSERT_TRUE(port.write_all(ping));
    // Noise, two whole replies and the start of a third, read in pieces.
    line.line = {0x13, 0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC, 0xFF, 0xFF, 0x02, 0x02, 0x00, 0xFB, 0xFF, 0xFF};
    Bytes buf(5);
    ASSERT_TRUE(port.read_exact(buf));
    buf.resize(10);
    ASSERT_TRUE(port.read_exact(buf));
  }  // what was left of the third goes out as it is
  const std::vector<std::pair<bool, Bytes>> expected{
      {true, {0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB}}, {false, {0x13}}, {false, {0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC}},
      {false, {0xFF, 0xFF, 0x02, 0x02, 0x00, 0xFB}}, {false, {0xFF, 0xFF}}};
  EXPECT_EQ(seen.packets, expected);
}

}  // namespace
}  // namespace velmora::control_loop
