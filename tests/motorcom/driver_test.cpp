#include <gtest/gtest.h>

#include <cerrno>
#include <limits>
#include <thread>

#include "motorcom/damiao/driver.hpp"
#include "scripted_bus.hpp"
#include "wire_vectors.hpp"

namespace {

using namespace std::chrono_literals;
using motorcom::CanError;
using motorcom::CanFrame;
using motorcom::CanId;
using motorcom::testing::frame;
using motorcom::testing::ScriptedBus;
using namespace motorcom::damiao;
using Data = std::vector<std::uint8_t>;

constexpr MitLimits kYawLimits{12.5F, 30.0F, 500.0F, 5.0F, 10.0F};

Damiao motor(std::uint16_t id) { return Damiao{20ms, kYawLimits, id, id}; }

const Data kFeedback{0x11, 0x80, 0x00, 0x7F, 0xF7, 0xFF, 0x1E, 0x20};

void expect_sent(const CanFrame& f, std::uint32_t id, const Data& data) {
  EXPECT_EQ(f.id, CanId::standard(id));
  EXPECT_EQ(f.data, data);
  EXPECT_FALSE(f.fd);
  EXPECT_FALSE(f.brs);
}

TEST(DamiaoCommands, FramesOnTheWire) {
  struct Case {
    const char* what;
    std::function<Result<MitFeedback>(const Damiao&, ScriptedBus&)> call;
    std::uint16_t motor;
    std::uint32_t id;
    Data data;
  };
  // The plain commands' frames are the shared vectors.
  const auto& commands = wire_vectors::all()["damiao_commands"];
  auto shared = [&](const char* name, std::function<Result<MitFeedback>(const Damiao&, ScriptedBus&)> call) {
    const auto& v = commands.named(name);
    return Case{name, std::move(call), v["motor"].as<std::uint16_t>(), v["can_id"].as<std::uint32_t>(),
                v["bytes"].bytes()};
  };
  const std::vector<Case> cases{
      shared("enable", [](auto& m, auto& b) { return m.enable(b); }),
      shared("disable", [](auto& m, auto& b) { return m.disable(b); }),
      shared("feedback request", [](auto& m, auto& b) { return m.request_feedback(b); }),
      {"MIT", [](auto& m, auto& b) { return m.control(b, MitCommand{1.0F, 0, 20, 1, 0}); }, 1, 0x001,
       {0x8A, 0x3C, 0x7F, 0xF0, 0xA3, 0x33, 0x37, 0xFF}},
      {"position-velocity", [](auto& m, auto& b) { return m.control(b, PosVel{1.0F, -2.0F}); }, 2, 0x102,
       {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0}},
      {"velocity", [](auto& m, auto& b) { return m.control(b, Vel{2.5F}); }, 3, 0x203, {0x00, 0x00, 0x20, 0x40, 0, 0, 0, 0}},
      {"force-position saturates", [](auto& m, auto& b) { return m.control(b, ForcePos{0.0F, 150.0F, 2.0F}); }, 1,
       0x301, {0, 0, 0, 0, 0x10, 0x27, 0x10, 0x27}},
      {"force-position scales", [](auto& m, auto& b) { return m.control(b, ForcePos{-1.0F, 12.5F, 0.25F}); }, 1, 0x301,
       {0x00, 0x00, 0x80, 0xBF, 0xE2, 0x04, 0xC4, 0x09}},
      {"force-position NaN", [](auto& m, auto& b) { return m.control(b, ForcePos{0.0F, std::numeric_limits<float>::quiet_NaN(), -1.0F}); }, 1, 0x301,
       {0, 0, 0, 0, 0, 0, 0, 0}},
      {"arbitration id cut to 11 bits",
       [](auto& m, auto& b) { return m.cmd_at_arbitration(b, 0xF812, {1, 2, 3, 4, 5, 6, 7, 8}); }, 1, 0x012,
       {1, 2, 3, 4, 5, 6, 7, 8}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedBus bus;
    bus.reply(frame(CanId::standard(c.motor), kFeedback));
    const auto r = c.call(motor(c.motor), bus);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    ASSERT_EQ(bus.sent.size(), 1U);
    expect_sent(bus.sent[0], c.id, c.data);
    ASSERT_EQ(bus.recv_timeouts.size(), 1U);
    EXPECT_LE(bus.recv_timeouts[0], 20ms);
    EXPECT_GT(bus.recv_timeouts[0], 15ms);
  }
}

TEST(DamiaoCommands, DecodesTheReplyOnTheMasterId) {
  ScriptedBus bus;
  const Damiao m{20ms, kYawLimits, 0x01, 0x11};
  bus.reply(frame(CanId::standard(0x01), Data(8, 0)));     // the command id, not the reply id
  bus.reply(frame(CanId::extended(0x11), Data(8, 0)));     // right value, wrong kind
  bus.reply(frame(CanId::standard(0x11), kFeedback));
  const auto r = m.enable(bus);
  ASSERT_TRUE(r.has_value()) << r.error().message();
  EXPECT_EQ(r->motor_id, 1);
  EXPECT_EQ(r->position, 0.00019073486328125F);
  EXPECT_EQ(r->temperature1, 30);
}

TEST(DamiaoCommands, Failures) {
  ScriptedBus silent;
  const auto timeout = motor(1).enable(silent);
  ASSERT_FALSE(timeout.has_value());
  EXPECT_EQ(timeout.error().kind(), Error::Kind::Transport);
  ASSERT_NE(timeout.error().can_error(), nullptr);
  EXPECT_EQ(timeout.error().can_error()->kind(), CanError::Kind::Timeout);
  EXPECT_EQ(timeout.error().message(), "transport error: timeout waiting for frame");

  ScriptedBus short_reply;
  short_reply.reply(frame(CanId::standard(2), {1, 2, 3, 4, 5, 6}));
  const auto r = motor(2).request_feedback(short_reply);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), Error::Kind::ShortFeedback);
  EXPECT_EQ(r.error().message(), "feedback payload too short: 6 bytes");

  ScriptedBus down;
  down.send_error = CanError::backend(ENETDOWN);
  const auto d = motor(1).control(down, MitCommand{0, 0, 0, 0, 0});
  ASSERT_FALSE(d.has_value());
  EXPECT_EQ(d.error().message(), "transport error: backend error: Network is down");
}

TEST(DamiaoReplies, EachRequestTakesOnlyARemoteFreeReplyOfItsOwnKind) {
  // A motor answers register reads on its feedback id: a late register reply
  // (01 00 33 0A: control mode) would decode as -12.48 rad.
  const Data control_mode{0x03, 0x00, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x00};
  CanFrame remote = frame(CanId::standard(3), {});
  remote.rtr = true;
  ScriptedBus feedback_bus;
  feedback_bus.reply(frame(CanId::standard(3), control_mode));
  feedback_bus.reply(frame(CanId::standard(3), {0x03, 0x00, 0x55, 0x0A, 1, 0, 0, 0}));  // a write echo
  feedback_bus.reply(remote);
  feedback_bus.reply(frame(CanId::standard(3), kFeedback));
  const auto fb = motor(3).request_feedback(feedback_bus);
  ASSERT_TRUE(fb.has_value()) << fb.error().message();
  EXPECT_NEAR(fb->position, 0.0F, 1e-3F);
  EXPECT_TRUE(feedback_bus.script.empty());

  ScriptedBus register_bus;
  register_bus.reply(frame(CanId::standard(3), kFeedback));                             // MIT feedback
  register_bus.reply(frame(CanId::standard(3), {0x03, 0x00, 0x33, 0x0A, 9, 0, 0}));      // 7 bytes
  register_bus.reply(frame(CanId::standard(3), {0x03, 0x00, 0x33, 0x0B, 9, 0, 0, 0}));   // other register
  register_bus.reply(frame(CanId::standard(3), {0x03, 0x00, 0x55, 0x0A, 9, 0, 0, 0}));   // a write echo
  register_bus.reply(frame(CanId::standard(3), {0x02, 0x00, 0x33, 0x0A, 9, 0, 0, 0}));   // another motor's
  register_bus.reply(remote);
  register_bus.reply(frame(CanId::extended(0x77), control_mode));  // the frame's own id is not checked
  const auto r = motor(3).read_register(register_bus, 10);
  ASSERT_TRUE(r.has_value()) << r.error().message();
  EXPECT_EQ(*r, RegisterValue::from_uint32(1));
  ASSERT_EQ(register_bus.sent.size(), 1U);
  expect_sent(register_bus.sent[0], 0x7FF, {0x03, 0x00, 0x33, 0x0A, 0, 0, 0, 0});
  EXPECT_TRUE(register_bus.script.empty());
}

TEST(DamiaoRegisters, SharedWireVectors) {
  auto value = [](const wire_vectors::Value& v) {
    const auto* info = lookup(v["register"].as<std::uint8_t>());
    EXPECT_NE(info, nullptr) << v["name"].text;
    return info != nullptr && info->kind == RegisterKind::Float ? RegisterValue::from_float(v["value"].as<float>())
                                                                : RegisterValue::from_uint32(v["value"].as<std::uint32_t>());
  };
  for (const auto& v : wire_vectors::all()["damiao_register_writes"].items) {
    ScriptedBus bus;
    ASSERT_TRUE(motor(v["motor"].as<std::uint16_t>()).write_register(bus, v["register"].as<std::uint8_t>(), value(v)));
    ASSERT_EQ(bus.sent.size(), 1U) << v["name"].text;
    expect_sent(bus.sent[0], v["can_id"].as<std::uint32_t>(), v["bytes"].bytes());
  }
  for (const auto& v : wire_vectors::all()["damiao_register_reads"].items) {
    ScriptedBus bus;
    const auto id = v["motor"].as<std::uint16_t>();
    bus.reply(frame(CanId::standard(id), v["reply"].bytes()));
    const auto r = motor(id).read_register(bus, v["register"].as<std::uint8_t>());
    ASSERT_TRUE(r.has_value()) << v["name"].text << ": " << r.error().message();
    EXPECT_EQ(*r, value(v)) << v["name"].text;
    ASSERT_EQ(bus.sent.size(), 1U) << v["name"].text;
    expect_sent(bus.sent[0], v["can_id"].as<std::uint32_t>(), v["bytes"].bytes());
  }
}

TEST(DamiaoRegisters, ReadGivesTheTableKind) {
  ScriptedBus bus;
  bus.reply(frame(CanId::standard(1), {0x01, 0x00, 0x33, 60, 0x00, 0x00, 0xC0, 0x41}));
  const auto r = motor(1).read_register(bus, 60);  // VBus
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->kind, RegisterKind::Float);
  EXPECT_EQ(r->as_float(), 24.0F);
}

TEST(DamiaoRegisters, ReadFailures) {
  ScriptedBus bus;
  const auto unknown = motor(1).read_register(bus, 40);
  ASSERT_FALSE(unknown.has_value());
  EXPECT_EQ(unknown.error().message(), "register 40 is not in the Damiao register table");
  EXPECT_TRUE(bus.sent.empty());

  bus.fail(CanError::backend(EBADF));
  const auto broken = motor(1).read_register(bus, 10);
  ASSERT_FALSE(broken.has_value());
  EXPECT_EQ(broken.error().kind(), Error::Kind::Transport);
  EXPECT_EQ(broken.error().can_error()->os_error(), EBADF);
}

TEST(DamiaoRegisters, ReadEndsAtItsDeadlineWhileOtherFramesArrive) {
  ScriptedBus bus;
  bus.endless = [](std::chrono::nanoseconds) -> motorcom::CanResult<CanFrame> {
    std::this_thread::sleep_for(1ms);
    return frame(CanId::standard(1), kFeedback);
  };
  const auto start = std::chrono::steady_clock::now();
  const auto r = motor(1).read_register(bus, 10);
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "transport error: timeout waiting for frame");
  EXPECT_GE(took, 20ms);
  EXPECT_LT(took, 200ms);
  for (auto t : bus.recv_timeouts) EXPECT_LE(t, 20ms);
}

TEST(DamiaoRegisters, Write) {
  ScriptedBus bus;
  ASSERT_TRUE(motor(1).write_register(bus, 27, RegisterValue::from_float(2.5F)).has_value());
  ASSERT_TRUE(motor(0x102).write_register(bus, 7, RegisterValue::from_uint32(0x11223344)).has_value());
  ASSERT_EQ(bus.sent.size(), 2U);
  expect_sent(bus.sent[0], 0x7FF, {0x01, 0x00, 0x55, 0x1B, 0x00, 0x00, 0x20, 0x40});
  expect_sent(bus.sent[1], 0x7FF, {0x02, 0x01, 0x55, 0x07, 0x44, 0x33, 0x22, 0x11});
  EXPECT_TRUE(bus.recv_timeouts.empty());  // no reply awaited
}

TEST(DamiaoRegisters, WriteRefusals) {
  ScriptedBus bus;
  const auto m = motor(1);
  EXPECT_EQ(m.write_register(bus, 11, RegisterValue::from_float(1)).error().message(), "register 11 is read-only");
  EXPECT_EQ(m.write_register(bus, 10, RegisterValue::from_float(1)).error().message(),
            "register 10: expected Uint32, got Float");
  EXPECT_EQ(m.write_register(bus, 27, RegisterValue::from_uint32(1)).error().message(),
            "register 27: expected Float, got Uint32");
  EXPECT_EQ(m.write_register(bus, 40, RegisterValue::from_uint32(1)).error().message(),
            "register 40 is not in the Damiao register table");
  EXPECT_TRUE(bus.sent.empty());

  bus.send_error = CanError::backend(ENETDOWN);
  const auto r = m.write_register(bus, 10, RegisterValue::from_uint32(1));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), Error::Kind::Transport);
}

Data mode_reply(std::uint8_t motor_id, std::uint8_t mode) { return {motor_id, 0x00, 0x33, 0x0A, mode, 0, 0, 0}; }

struct SleepLog {
  std::vector<std::chrono::milliseconds> calls;
  std::function<void(std::chrono::milliseconds)> fn() {
    return [this](std::chrono::milliseconds d) { calls.push_back(d); };
  }
};

TEST(EnsureControlMode, AlreadySetSendsOneRead) {
  ScriptedBus bus;
  SleepLog sleep;
  bus.reply(frame(CanId::standard(1), mode_reply(1, 1)));
  ASSERT_TRUE(motor(1).ensure_control_mode(bus, 1, sleep.fn()).has_value());
  ASSERT_EQ(bus.sent.size(), 1U);
  expect_sent(bus.sent[0], 0x7FF, {0x01, 0x00, 0x33, 0x0A, 0, 0, 0, 0});
  EXPECT_TRUE(sleep.calls.empty());
}

TEST(EnsureControlMode, WritesWaitsAndReadsBack) {
  ScriptedBus bus;
  SleepLog sleep;
  bus.reply(frame(CanId::standard(2), mode_reply(2, 2)));
  bus.reply(frame(CanId::standard(2), mode_reply(2, 1)));
  ASSERT_TRUE(motor(2).ensure_control_mode(bus, 1, sleep.fn()).has_value());
  ASSERT_EQ(bus.sent.size(), 3U);
  expect_sent(bus.sent[0], 0x7FF, {0x02, 0x00, 0x33, 0x0A, 0, 0, 0, 0});
  expect_sent(bus.sent[1], 0x7FF, {0x02, 0x00, 0x55, 0x0A, 0x01, 0, 0, 0});
  expect_sent(bus.sent[2], 0x7FF, {0x02, 0x00, 0x33, 0x0A, 0, 0, 0, 0});
  EXPECT_EQ(sleep.calls, std::vector<std::chrono::milliseconds>{100ms});
}

TEST(EnsureControlMode, ModeThatDoesNotTake) {
  ScriptedBus bus;
  SleepLog sleep;
  bus.reply(frame(CanId::standard(1), mode_reply(1, 2)));
  bus.reply(frame(CanId::standard(1), mode_reply(1, 2)));
  const auto r = motor(1).ensure_control_mode(bus, 1, sleep.fn());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), Error::Kind::ModeVerification);
  EXPECT_EQ(r.error().message(), "control mode verification failed: wrote 1, motor reports 2");
  EXPECT_EQ(bus.sent.size(), 3U);
}

TEST(EnsureControlMode, StopsAtTheFirstFailingStep) {
  ScriptedBus silent;
  SleepLog sleep;
  const auto first = motor(1).ensure_control_mode(silent, 1, sleep.fn());
  ASSERT_FALSE(first.has_value());
  EXPECT_EQ(first.error().message(), "transport error: timeout waiting for frame");
  EXPECT_EQ(silent.sent.size(), 1U);
  EXPECT_TRUE(sleep.calls.empty());

  ScriptedBus no_read_back;
  no_read_back.reply(frame(CanId::standard(1), mode_reply(1, 3)));
  const auto second = motor(1).ensure_control_mode(no_read_back, 1, sleep.fn());
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().kind(), Error::Kind::Transport);
  EXPECT_EQ(no_read_back.sent.size(), 3U);
}

TEST(DamiaoErrorText, RemainingTexts) {
  EXPECT_EQ(Error::unknown_register(200).can_error(), nullptr);
}

}  // namespace
