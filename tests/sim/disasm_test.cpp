// The Capstone-backed decoder: lengths and classes that the block walk relies
// on (a wrong length hides the port or processor-control instruction after
// it), and the text shown in violations and the --disasm column.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "disasm.h"

namespace peimsim {
namespace {

struct Case {
  const char *what;
  std::vector<uint8_t> bytes;
  uint32_t length;
  bool port;
  const char *system;  // null: not a processor-control instruction
  const char *text;    // at address 0x1000
};

const Case kCases[] = {
    {"load from an absolute address", {0xA1, 0xFC, 0xFF, 0xFF, 0xFF}, 5, false, nullptr,
     "mov eax, dword ptr [0xfffffffc]"},
    {"store through a base and displacement", {0x89, 0x48, 0x20}, 3, false, nullptr,
     "mov dword ptr [eax + 0x20], ecx"},
    {"SIB with a 32-bit displacement", {0x8B, 0x04, 0x25, 0x78, 0x56, 0x34, 0x12}, 7, false,
     nullptr, "mov eax, dword ptr [0x12345678]"},
    {"call through memory", {0xFF, 0x50, 0x20}, 3, false, nullptr, "call dword ptr [eax + 0x20]"},
    {"relative call", {0xE8, 0xFB, 0xFF, 0xFF, 0xFF}, 5, false, nullptr, "call 0x1000"},
    {"operand-size prefix shortens the immediate", {0x66, 0xC7, 0x00, 0x34, 0x12}, 5, false,
     nullptr, "mov word ptr [eax], 0x1234"},
    {"out dx, eax", {0xEF}, 1, true, nullptr, "out dx, eax"},
    {"in al, dx", {0xEC}, 1, true, nullptr, "in al, dx"},
    {"out imm8, al", {0xE6, 0x80}, 2, true, nullptr, "out 0x80, al"},
    {"16-bit in from an immediate port", {0x66, 0xE5, 0x71}, 3, true, nullptr, "in ax, 0x71"},
    {"rep outsb", {0xF3, 0x6E}, 2, true, nullptr, "rep outsb dx, byte ptr [esi]"},
    {"insd", {0x6D}, 1, true, nullptr, "insd dword ptr es:[edi], dx"},
    {"mov cr0, eax", {0x0F, 0x22, 0xC0}, 3, false, "MOV to CR0", "mov cr0, eax"},
    {"mov cr3, ecx", {0x0F, 0x22, 0xD9}, 3, false, "MOV to CR3", "mov cr3, ecx"},
    {"mov cr4, eax", {0x0F, 0x22, 0xE0}, 3, false, "MOV to CR4", "mov cr4, eax"},
    {"mov dr7, eax", {0x0F, 0x23, 0xF8}, 3, false, "MOV to a debug register", "mov dr7, eax"},
    // The processor ignores the ModRM mod bits of MOV to CRn and DRn.
    {"mov cr0 with mod 00", {0x0F, 0x22, 0x00}, 3, false, "MOV to CR0", "mov cr0, eax"},
    {"mov dr0 with mod 01", {0x0F, 0x23, 0x40}, 3, false, "MOV to a debug register",
     "mov dr0, eax"},
    {"xgetbv shares 0F 01 with lgdt", {0x0F, 0x01, 0xD0}, 3, false, nullptr, "xgetbv"},
    {"reading cr0 is allowed", {0x0F, 0x20, 0xC0}, 3, false, nullptr, "mov eax, cr0"},
    {"lgdt", {0x0F, 0x01, 0x15, 0x00, 0x10, 0x00, 0x00}, 7, false, "LGDT",
     "lgdt [0x1000]"},
    {"lidt", {0x0F, 0x01, 0x18}, 3, false, "LIDT", "lidt [eax]"},
    {"lldt", {0x0F, 0x00, 0xD0}, 3, false, "LLDT", "lldt ax"},
    {"ltr", {0x0F, 0x00, 0xD8}, 3, false, "LTR", "ltr ax"},
    {"lmsw", {0x0F, 0x01, 0xF0}, 3, false, "LMSW", "lmsw ax"},
    {"invlpg", {0x0F, 0x01, 0x38}, 3, false, "INVLPG", "invlpg byte ptr [eax]"},
    {"clts", {0x0F, 0x06}, 2, false, "CLTS", "clts"},
    {"invd", {0x0F, 0x08}, 2, false, "INVD", "invd"},
    {"wrmsr", {0x0F, 0x30}, 2, false, "WRMSR", "wrmsr"},
    {"rdmsr only reads", {0x0F, 0x32}, 2, false, nullptr, "rdmsr"},
    {"hlt", {0xF4}, 1, false, "HLT", "hlt"},
    {"sgdt only stores", {0x0F, 0x01, 0x00}, 3, false, nullptr, "sgdt [eax]"},
    {"ret", {0xC3}, 1, false, nullptr, "ret"},
    {"emms", {0x0F, 0x77}, 2, false, nullptr, "emms"},
    {"movq mm0, qword ptr", {0x0F, 0x6F, 0x06}, 3, false, nullptr, "movq mm0, qword ptr [esi]"},
};

TEST(Disasm, LengthsClassesAndText) {
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    X86Instruction insn = DecodeX86(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(insn.length, c.length);
    EXPECT_EQ(insn.port, c.port);
    EXPECT_EQ(std::string(insn.system ? insn.system : "-"), std::string(c.system ? c.system : "-"));
    EXPECT_EQ(DisassembleX86(c.bytes.data(), c.bytes.size(), 0x1000), c.text);
    // Trailing bytes after the instruction change nothing.
    std::vector<uint8_t> padded = c.bytes;
    padded.insert(padded.end(), 16, 0x90);
    EXPECT_EQ(DecodeX86(padded.data(), padded.size()).length, c.length);
  }
}

TEST(Disasm, CutShortOrInvalidBytesDoNotDecode) {
  const std::vector<std::vector<uint8_t>> kBad = {
      {},
      {0xA1, 0xFC, 0xFF},        // the address is cut off
      {0x0F},                    // an escape byte alone
      {0x66, 0x66},              // prefixes alone
      {0x0F, 0x0B + 0x00, 0x00}, // ud2 decodes...
  };
  for (size_t i = 0; i + 1 < kBad.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(DecodeX86(kBad[i].data(), kBad[i].size()).length, 0u);
    EXPECT_EQ(DisassembleX86(kBad[i].data(), kBad[i].size(), 0), "");
  }
  // ...as an instruction of its own, so that the walk goes on past it.
  EXPECT_EQ(DecodeX86(kBad.back().data(), kBad.back().size()).length, 2u);
  EXPECT_EQ(DecodeX86(nullptr, 4).length, 0u);
  // Sixteen prefixes make an instruction longer than the processor takes.
  std::vector<uint8_t> tooLong(16, 0x66);
  tooLong.push_back(0x90);
  EXPECT_EQ(DecodeX86(tooLong.data(), tooLong.size()).length, 0u);
}

// The hint NOPs (0F 0D, 0F 18-0F 1F) that the processor runs in every
// ModRM form but Capstone does not read in all of them: their length comes
// from the ModRM, SIB and displacement, so that the walk reaches the
// instruction after them; cut short, they do not decode.
TEST(Disasm, HintNopsGetTheirLengthFromTheirOperand) {
  const struct {
    const char *what;
    std::vector<uint8_t> bytes;
    uint32_t length;
  } kHints[] = {
      {"nop eax", {0x0F, 0x1F, 0xC0}, 3},
      {"prefetch [esp]", {0x0F, 0x0D, 0x04, 0x24}, 4},
      {"reserved NOP with SIB and disp8", {0x0F, 0x1E, 0x44, 0x24, 0x08}, 5},
      {"with a disp32", {0x0F, 0x1C, 0x80, 0x78, 0x56, 0x34, 0x12}, 7},
      {"SIB without base, disp32", {0x0F, 0x1B, 0x04, 0x25, 0x78, 0x56, 0x34, 0x12}, 8},
      {"16-bit addressing, disp16", {0x67, 0x0F, 0x1F, 0x06, 0x34, 0x12}, 6},
      {"segment prefix", {0x2E, 0x0F, 0x1A, 0xC0}, 4},
      {"cut short", {0x0F, 0x1F, 0x80, 0x00}, 0},
      {"no ModRM", {0x0F, 0x1F}, 0},
  };
  for (const auto &h : kHints) {
    SCOPED_TRACE(h.what);
    X86Instruction insn = DecodeX86(h.bytes.data(), h.bytes.size());
    EXPECT_EQ(insn.length, h.length);
    EXPECT_EQ(insn.system, nullptr);
    EXPECT_FALSE(insn.port);
  }
}

}  // namespace
}  // namespace peimsim
