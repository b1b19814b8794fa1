// peim-sim --boot: the command line of a whole PEI phase.
#ifndef TOOLS_SIM_BOOT_BOOT_MAIN_H_
#define TOOLS_SIM_BOOT_BOOT_MAIN_H_

namespace peimsim::boot {

// Whether the command line asks for a boot (--boot anywhere).
bool WantsBoot(int argc, const char *const *argv);
// Runs it: 0 when the DXE core's entry was reached, 1 when the phase
// stopped before (the reason on stderr), 2 for bad input.
int BootMain(int argc, const char *const *argv);

}  // namespace peimsim::boot

#endif  // TOOLS_SIM_BOOT_BOOT_MAIN_H_
