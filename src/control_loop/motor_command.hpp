#pragma once
// The nineteen commands Python can queue for the loop thread: the joint
// commands of joint_commands.def, and the three raw ones. The variant's index
// is the command's tag. A command owns its payload; the two that expect an
// answer carry the sending end of a single-use reply channel.

#include <array>
#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

#include "control_loop/joint_args.hpp"
#include "control_loop/reply_channel.hpp"
#include "control_loop/torso_position.hpp"

namespace velmora::control_loop {

using Bytes = std::vector<std::uint8_t>;

// The loop's torque state once a command succeeded.
enum class TorqueAfter : std::uint8_t { On, Off, Kept };
// What VelmoraMotorController's method of a joint command returns.
enum class Returns : std::uint8_t { Nothing, Positions, Position };

namespace cmd {
using namespace arg;

// One joint command: its Python name and parameter, its argument `v`, and
// what it is to the controller (run). The controller's operation holds the
// command's meaning and checks.
#define JOINT_COMMAND(Type, name, param, Arg, call, returns, torque, controller_doc, loop_doc)        \
  struct Type {                                                                                     \
    using Argument = Arg;                                                                           \
    static constexpr std::string_view python_name = #name;                                        \
    static constexpr std::string_view parameter = #param;                                         \
    static constexpr Returns result = Returns::returns;                                            \
    static constexpr TorqueAfter torque_after = TorqueAfter::torque;                               \
    static constexpr const char* controller_doc_text = controller_doc;                             \
    static constexpr const char* loop_doc_text = loop_doc;                                         \
    Argument::Value v;                                                                              \
    template <class Controller>                                                                     \
    auto run(Controller& c) const {                                                                 \
      return call;                                                                                  \
    }                                                                                               \
  };
#include "control_loop/joint_commands.def"
#undef JOINT_COMMAND

struct ReadRawBytes {
  std::uint8_t id;
  std::uint8_t address;
  std::uint8_t length;
  ReplySender<Bytes> reply;
};
struct WriteRawBytes {
  std::uint8_t id;
  std::uint8_t address;
  Bytes data;
};
struct WriteRawPacket {
  Bytes packet;
  ReplySender<Bytes> reply;
};
}  // namespace cmd

#define JOINT_COMMAND(Type, ...) cmd::Type,
using MotorCommand = std::variant<
#include "control_loop/joint_commands.def"
    cmd::ReadRawBytes, cmd::WriteRawBytes, cmd::WriteRawPacket>;
#undef JOINT_COMMAND

// The joint commands among them (those with an argument kind).
template <class Command>
concept JointCommand = requires { typename Command::Argument; };

static_assert(std::variant_size_v<MotorCommand> == 19);

}  // namespace velmora::control_loop
