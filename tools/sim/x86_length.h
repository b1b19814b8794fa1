// Length of an IA-32 instruction (32-bit code segment), enough to walk a
// translated block and find its port instructions and the instructions that
// change the processor's mode, paging or descriptor tables.
#ifndef TOOLS_SIM_X86_LENGTH_H_
#define TOOLS_SIM_X86_LENGTH_H_

#include <cstddef>
#include <cstdint>

namespace peimsim {

struct X86Instruction {
  uint32_t length = 0;  // 0: not decodable
  bool port = false;    // IN, OUT, INS or OUTS
  // What it is, when it changes state that belongs to the platform: control
  // and debug registers, descriptor tables, MSRs, caches, halt; else null.
  const char *system = nullptr;
};

X86Instruction DecodeX86(const uint8_t *code, size_t available);

}  // namespace peimsim

#endif  // TOOLS_SIM_X86_LENGTH_H_
