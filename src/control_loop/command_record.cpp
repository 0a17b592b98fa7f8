#include "control_loop/command_record.hpp"

#include <span>

#include "common/json.hpp"
#include "controller/controller.hpp"

namespace velmora::control_loop {
namespace {

using controller::VelmoraMotorController;

// Neck goals as the loop sends them: within the joints' safety ranges.
template <class Arg>
typename Arg::Value as_sent(typename Arg::Value v) {
  if constexpr (std::is_same_v<Arg, arg::NeckGoals>) {
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = VelmoraMotorController::limited_neck_goal(i, v[i]);
  } else if constexpr (arg::NeckArg<Arg>) {
    v = VelmoraMotorController::limited_neck_goal(Arg::index, v);
  }
  return v;
}

template <class Value>
void value(std::string& out, const Value& v) {
  if constexpr (std::is_same_v<Value, double>) {
    json::number(out, v);
  } else if constexpr (std::is_same_v<Value, bool>) {
    json::boolean(out, v);
  } else if constexpr (std::is_same_v<Value, Bytes>) {
    json::numbers(out, std::span<const std::uint8_t>(v));
  } else {
    json::numbers(out, std::span<const double>(v));
  }
}

struct Name {
  template <JointCommand Command>
  std::string_view operator()(const Command&) const {
    return Command::python_name;
  }
  std::string_view operator()(const cmd::ReadRawBytes&) const { return "async_read_raw_bytes"; }
  std::string_view operator()(const cmd::WriteRawBytes&) const { return "async_write_raw_bytes"; }
  std::string_view operator()(const cmd::WriteRawPacket&) const { return "write_raw_packet"; }
};

struct Arguments {
  std::string& out;
  template <JointCommand Command>
  void operator()(const Command& c) const {
    using Arg = typename Command::Argument;
    if constexpr (!arg::is_none<Arg>) {
      json::key(out, Command::parameter);
      value(out, as_sent<Arg>(c.v));
    }
  }
  void operator()(const cmd::ReadRawBytes& c) const {
    raw_target(c.id, c.address);
    out += ", ";
    json::key(out, "length");
    json::number(out, std::int64_t{c.length});
  }
  void operator()(const cmd::WriteRawBytes& c) const {
    raw_target(c.id, c.address);
    out += ", ";
    json::key(out, "data");
    json::numbers(out, std::span<const std::uint8_t>(c.data));
  }
  void operator()(const cmd::WriteRawPacket& c) const {
    json::key(out, "data");
    json::hex(out, c.packet);
  }
  void raw_target(std::uint8_t id, std::uint8_t address) const {
    json::key(out, "id");
    json::number(out, std::int64_t{id});
    out += ", ";
    json::key(out, "addr");
    json::number(out, std::int64_t{address});
  }
};

}  // namespace

std::string_view command_name(const MotorCommand& command) { return std::visit(Name{}, command); }

std::string command_arguments(const MotorCommand& command) {
  std::string out = "{";
  std::visit(Arguments{out}, command);
  out += '}';
  return out;
}

}  // namespace velmora::control_loop
