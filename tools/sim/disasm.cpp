#include "disasm.h"

#include <capstone/capstone.h>

namespace peimsim {
namespace {

// One Capstone handle per thread, opened on first use, with the operand
// details on (the opcode bytes and ModRM tell MOV to CRn from other MOVs).
class Engine {
 public:
  Engine() {
    if (cs_open(CS_ARCH_X86, CS_MODE_32, &handle_) != CS_ERR_OK) {
      handle_ = 0;
      return;
    }
    cs_option(handle_, CS_OPT_DETAIL, CS_OPT_ON);
    insn_ = cs_malloc(handle_);
  }
  ~Engine() {
    if (insn_) cs_free(insn_, 1);
    if (handle_) cs_close(&handle_);
  }
  Engine(const Engine &) = delete;
  Engine &operator=(const Engine &) = delete;

  // The instruction at code, or null.
  const cs_insn *Decode(const uint8_t *code, size_t available, uint32_t address) {
    if (!insn_ || !code || available == 0) return nullptr;
    if (available > kMaxInstructionBytes) available = kMaxInstructionBytes;
    const uint8_t *at = code;
    uint64_t pc = address;
    return cs_disasm_iter(handle_, &at, &available, &pc, insn_) ? insn_ : nullptr;
  }

 private:
  csh handle_ = 0;
  cs_insn *insn_ = nullptr;
};

Engine &ThreadEngine() {
  thread_local Engine engine;
  return engine;
}

// The instructions a PEI module has no business executing: they change
// paging, the processor's mode, its descriptor tables or MSRs, and the
// emulated platform would go on with a view of memory it cannot check.
const char *SystemInstruction(const cs_insn &insn) {
  switch (insn.id) {
    case X86_INS_LLDT: return "LLDT";
    case X86_INS_LTR: return "LTR";
    case X86_INS_LGDT: return "LGDT";
    case X86_INS_LIDT: return "LIDT";
    case X86_INS_LMSW: return "LMSW";
    case X86_INS_INVLPG: return "INVLPG";
    case X86_INS_CLTS: return "CLTS";
    case X86_INS_INVD: return "INVD";
    case X86_INS_WRMSR: return "WRMSR";
    case X86_INS_HLT: return "HLT";
    default: break;
  }
  // MOV to CRn is 0F 22 /r, MOV to DRn 0F 23 /r; the ModRM mod bits are
  // ignored by the processor, so the reg field alone names the register.
  const cs_x86 &x = insn.detail->x86;
  if (x.opcode[0] == 0x0F && x.opcode[1] == 0x22) {
    static const char *const kMovCr[8] = {"MOV to CR0", "MOV to CR1", "MOV to CR2",
                                          "MOV to CR3", "MOV to CR4", "MOV to CR5",
                                          "MOV to CR6", "MOV to CR7"};
    return kMovCr[(x.modrm >> 3) & 7];
  }
  if (x.opcode[0] == 0x0F && x.opcode[1] == 0x23) return "MOV to a debug register";
  return nullptr;
}

bool PortInstruction(unsigned id) {
  switch (id) {
    case X86_INS_IN: case X86_INS_OUT: case X86_INS_INSB: case X86_INS_INSW:
    case X86_INS_INSD: case X86_INS_OUTSB: case X86_INS_OUTSW: case X86_INS_OUTSD:
      return true;
    default:
      return false;
  }
}

}  // namespace

// The length of a hint NOP (0F 0D and 0F 18-0F 1F with a ModRM operand:
// prefetches and reserved NOPs), which the processor runs as NOPs in every
// form but the disassembler does not read in all of them (0F 1F C0, "nop
// eax"); 0 for anything else. Without it the rest of its block would go
// unread, and an instruction behind it unchecked.
uint32_t HintNopLength(const uint8_t *code, size_t available) {
  size_t i = 0;
  bool address16 = false;
  auto prefix = [](uint8_t b) {
    return b == 0x26 || b == 0x2E || b == 0x36 || b == 0x3E || b == 0x64 || b == 0x65 ||
           b == 0x66 || b == 0x67 || b == 0xF0 || b == 0xF2 || b == 0xF3;
  };
  for (; i < available && i < kMaxInstructionBytes && prefix(code[i]); i++)
    address16 |= code[i] == 0x67;
  if (i + 3 > available || code[i] != 0x0F) return 0;
  uint8_t op = code[i + 1], modrm = code[i + 2];
  if (op != 0x0D && (op < 0x18 || op > 0x1F)) return 0;
  i += 3;
  uint8_t mod = modrm >> 6, rm = modrm & 7;
  if (address16) {
    i += mod == 1 ? 1 : mod == 2 || (mod == 0 && rm == 6) ? 2 : 0;
  } else {
    if (mod != 3 && rm == 4) {
      if (i >= available) return 0;
      uint8_t sib = code[i++];
      if (mod == 0 && (sib & 7) == 5) i += 4;
    }
    i += mod == 1 ? 1 : mod == 2 || (mod == 0 && rm == 5) ? 4 : 0;
  }
  return i <= available && i <= kMaxInstructionBytes ? uint32_t(i) : 0;
}

X86Instruction DecodeX86(const uint8_t *code, size_t available) {
  X86Instruction r;
  const cs_insn *insn = ThreadEngine().Decode(code, available, 0);
  if (!insn) {
    r.length = code ? HintNopLength(code, available) : 0;
    return r;
  }
  r.length = insn->size;
  r.port = PortInstruction(insn->id);
  r.system = SystemInstruction(*insn);
  return r;
}

std::string DisassembleX86(const uint8_t *code, size_t available, uint32_t address) {
  const cs_insn *insn = ThreadEngine().Decode(code, available, address);
  if (!insn) return "";
  std::string text = insn->mnemonic;
  if (insn->op_str[0]) text += std::string(" ") + insn->op_str;
  return text;
}

}  // namespace peimsim
