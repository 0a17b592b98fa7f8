#include "common/log.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using velmora::log::Level;

struct Captured {
  Level level;
  std::string target;
  std::string message;
};

class CaptureSink final : public velmora::log::Sink {
 public:
  bool enabled(Level level, std::string_view) noexcept override { return level <= Level::Info; }
  void write(Level level, std::string_view target, std::string_view message, const char*, unsigned) noexcept override {
    records.push_back({level, std::string(target), std::string(message)});
  }
  std::vector<Captured> records;
};

TEST(LogFacade, OneSinkPerProcessAndLevelFilter) {
  static CaptureSink sink;
  static CaptureSink other;
  // Before a sink exists records vanish quietly.
  velmora::log::write(Level::Error, velmora::log::kControllerTarget, "dropped");
  ASSERT_TRUE(velmora::log::set_sink(&sink));
  EXPECT_FALSE(velmora::log::set_sink(&other));

  velmora::log::set_max_level(Level::Debug);
  velmora::log::write(Level::Warn, velmora::log::kControllerTarget, "kept");
  velmora::log::write(Level::Trace, velmora::log::kControllerTarget, "above the top filter");
  EXPECT_TRUE(velmora::log::enabled(Level::Info, velmora::log::kControlLoopTarget));
  EXPECT_FALSE(velmora::log::enabled(Level::Trace, velmora::log::kControlLoopTarget));

  ASSERT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(sink.records[0].level, Level::Warn);
  EXPECT_EQ(sink.records[0].target, "velmora_motor_controller::controller");
  EXPECT_EQ(sink.records[0].message, "kept");
  EXPECT_TRUE(other.records.empty());
}

}  // namespace
