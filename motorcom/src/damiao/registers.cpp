#include "motorcom/damiao/registers.hpp"

#include <algorithm>
#include <array>
#include <bit>

namespace motorcom::damiao {
namespace {

constexpr bool RW = true;
constexpr bool RO = false;
constexpr RegisterKind F = RegisterKind::Float;
constexpr RegisterKind U = RegisterKind::Uint32;

constexpr std::array<RegisterInfo, 53> kRegisters{{
    {"UV_Value", "Under-voltage protection value", 0, RW, F},
    {"KT_Value", "Torque coefficient", 1, RW, F},
    {"OT_Value", "Over-temperature protection", 2, RW, F},
    {"OC_Value", "Over-current protection", 3, RW, F},
    {"ACC", "Acceleration", 4, RW, F},
    {"DEC", "Deceleration", 5, RW, F},
    {"MAX_SPD", "Maximum speed", 6, RW, F},
    {"MST_ID", "Feedback (master) CAN id", 7, RW, U},
    {"ESC_ID", "Receive (motor) CAN id", 8, RW, U},
    {"TIMEOUT", "Timeout alarm (1 unit = 50 us)", 9, RW, U},
    {"CTRL_MODE", "Control mode 1=MIT 2=POS_VEL 3=VEL 4=FORCE_POS", 10, RW, U},
    {"Damp", "Viscous damping coefficient", 11, RO, F},
    {"Inertia", "Moment of inertia", 12, RO, F},
    {"hw_ver", "Hardware version (reserved)", 13, RO, U},
    {"sw_ver", "Software version", 14, RO, U},
    {"SN", "Serial number (reserved)", 15, RO, U},
    {"NPP", "Motor pole pairs", 16, RO, U},
    {"Rs", "Phase resistance", 17, RO, F},
    {"Ls", "Phase inductance", 18, RO, F},
    {"Flux", "Flux linkage", 19, RO, F},
    {"Gr", "Gear reduction ratio", 20, RO, F},
    {"PMAX", "Position mapping range", 21, RW, F},
    {"VMAX", "Speed mapping range", 22, RW, F},
    {"TMAX", "Torque mapping range", 23, RW, F},
    {"I_BW", "Current loop bandwidth", 24, RW, F},
    {"KP_ASR", "Speed loop Kp", 25, RW, F},
    {"KI_ASR", "Speed loop Ki", 26, RW, F},
    {"KP_APR", "Position loop Kp", 27, RW, F},
    {"KI_APR", "Position loop Ki", 28, RW, F},
    {"OV_Value", "Over-voltage protection", 29, RW, F},
    {"GREF", "Gear torque efficiency", 30, RW, F},
    {"Deta", "Speed loop damping", 31, RW, F},
    {"V_BW", "Speed loop filter bandwidth", 32, RW, F},
    {"IQ_c1", "Current loop enhancement", 33, RW, F},
    {"VL_c1", "Speed loop enhancement", 34, RW, F},
    {"can_br", "CAN baud rate code (0..4)", 35, RW, U},
    {"sub_ver", "Sub-version number", 36, RO, U},
    {"u_off", "U-phase offset", 50, RO, F},
    {"v_off", "V-phase offset", 51, RO, F},
    {"k1", "Compensation factor 1", 52, RO, F},
    {"k2", "Compensation factor 2", 53, RO, F},
    {"m_off", "Output-shaft angle offset", 54, RO, F},
    {"dir", "Direction", 55, RO, F},
    {"m_off_motor", "Motor-side angle offset", 56, RO, F},
    {"Imax", "Driver board max current", 59, RO, F},
    {"VBus", "Power supply voltage", 60, RO, F},
    {"Tpcb", "Driver board temperature", 61, RO, F},
    {"Tmtr", "Motor temperature", 62, RO, F},
    {"Iu_off", "U-phase current offset", 63, RO, F},
    {"Iv_off", "V-phase current offset", 64, RO, F},
    {"Iw_off", "W-phase current offset", 65, RO, F},
    {"p_m", "Motor position", 80, RO, F},
    {"xout", "Output shaft position", 81, RO, F},
}};

}  // namespace

std::string_view kind_name(RegisterKind kind) { return kind == RegisterKind::Float ? "Float" : "Uint32"; }

RegisterValue RegisterValue::from_float(float v) { return {RegisterKind::Float, std::bit_cast<std::uint32_t>(v)}; }

float RegisterValue::as_float() const { return std::bit_cast<float>(bits); }

const RegisterInfo* lookup(std::uint8_t id) {
  const auto* it = std::find_if(kRegisters.begin(), kRegisters.end(), [id](const RegisterInfo& r) { return r.id == id; });
  return it == kRegisters.end() ? nullptr : it;
}

}  // namespace motorcom::damiao
