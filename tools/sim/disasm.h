// IA-32 instructions (32-bit code segment) decoded with Capstone: the length
// and class of an instruction, for walking a translated block to find its
// port instructions and the ones that change the processor's mode, paging or
// descriptor tables; and its text, for violations and the --disasm column.
//
// Decoding is done when a block is first translated and text is made only
// when a line is printed, so the per-dispatch cost is nil.
#ifndef TOOLS_SIM_DISASM_H_
#define TOOLS_SIM_DISASM_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace peimsim {

struct X86Instruction {
  uint32_t length = 0;  // 0: not decodable
  bool port = false;    // IN, OUT, INS or OUTS
  // What it is, when it changes state that belongs to the platform: control
  // and debug registers, descriptor tables, MSRs, caches, halt; else null.
  const char *system = nullptr;
};

// The longest IA-32 instruction.
constexpr size_t kMaxInstructionBytes = 15;

// Decodes the instruction at code (at most `available` bytes of it).
X86Instruction DecodeX86(const uint8_t *code, size_t available);

// The instruction at code in Intel syntax, lower case, as "mov eax, dword ptr
// [0xfffffffc]"; address is where it sits (for branch targets). Empty when
// the bytes do not decode.
std::string DisassembleX86(const uint8_t *code, size_t available, uint32_t address);

}  // namespace peimsim

#endif  // TOOLS_SIM_DISASM_H_
