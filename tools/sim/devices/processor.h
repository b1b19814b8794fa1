// The processor as QEMU's default IA-32 model (qemu32) answers under TCG:
// CPUID leaves as it returns them (GenuineIntel, family 6 model 6 stepping
// 3, no MTRRs, "QEMU Virtual CPU version 2.5+"; a leaf it does not have
// answers as its highest basic leaf, 4, does), and the MSRs PEI reads and
// writes carried out on a model: the APIC base, feature control, the MTRRs,
// PAT, the TSC (the instructions executed), BIOS signature, misc enable; an
// MSR it does not know reads 0 and takes writes, as TCG's does. The values
// were read from qemu-system-i386 7.2 with devices/qemu-probe/probe.asm.
#ifndef TOOLS_SIM_DEVICES_PROCESSOR_H_
#define TOOLS_SIM_DEVICES_PROCESSOR_H_

#include <unicorn/unicorn.h>

#include <cstdint>
#include <map>
#include <string>

namespace peimsim {

struct CpuidResult {
  uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

class Processor {
 public:
  static constexpr uint32_t kApicBase = 0x1B, kFeatureControl = 0x3A, kTsc = 0x10,
                            kBiosSignature = 0x8B, kMtrrCap = 0xFE, kMiscEnable = 0x1A0,
                            kPat = 0x277, kMtrrDefType = 0x2FF;
  static constexpr uint64_t kApicBaseValue = 0xFEE00900;  // enabled, BSP

  // The architectural name of an MSR the model answers ("IA32_APIC_BASE"),
  // "" for others.
  static const char *MsrName(uint32_t msr);

  Processor();
  CpuidResult Cpuid(uint32_t leaf, uint32_t subleaf) const;
  // Carries out a CPUID the engine stopped at: leaf and subleaf from EAX and
  // ECX, the answer into EAX, EBX, ECX and EDX.
  void AnswerCpuid(uc_engine *uc) const;
  // The MSR's value; known is false for one the model has no entry for.
  uint64_t ReadMsr(uint32_t msr, uint64_t instructions, bool &known) const;
  // False with a reason when the write would change what the platform
  // cannot follow (moving or disabling the local APIC).
  bool WriteMsr(uint32_t msr, uint64_t value, std::string &why);
  // CR0's cache-disable and not-write-through bits as the program set them
  // (MOV to CR0 that changes only these is carried out here).
  uint32_t cacheBits = 0;

 private:
  std::map<uint32_t, uint64_t> msrs_;
};

}  // namespace peimsim

#endif  // TOOLS_SIM_DEVICES_PROCESSOR_H_
