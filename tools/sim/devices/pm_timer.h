// The ACPI power-management timer: a 24-bit counter at 3.579545 MHz. Its
// time is the instructions executed, at kInstructionsPerSecond, so that a
// delay loop polling it ends after a fixed number of instructions and two
// runs read the same values.
#ifndef TOOLS_SIM_DEVICES_PM_TIMER_H_
#define TOOLS_SIM_DEVICES_PM_TIMER_H_

#include <cstdint>

namespace peimsim {

constexpr uint64_t kPmTimerHz = 3579545;
// The emulated processor's speed for the devices' clocks: 100 MHz, one
// instruction each cycle.
constexpr uint64_t kInstructionsPerSecond = 100000000;
constexpr uint32_t kPmTimerMask = 0xFFFFFF;

inline uint32_t PmTimerValue(uint64_t instructions) {
  // 128-bit free: instructions stay below 2^44, so the product fits.
  return uint32_t(instructions * kPmTimerHz / kInstructionsPerSecond) & kPmTimerMask;
}

}  // namespace peimsim

#endif  // TOOLS_SIM_DEVICES_PM_TIMER_H_
