#include "x86_length.h"

namespace peimsim {
namespace {

enum : uint8_t {
  kNone = 0,     // no operand bytes
  kModRm = 1,    // ModRM (+ SIB + displacement)
  kIb = 2,       // 8-bit immediate
  kIz = 4,       // 16/32-bit immediate (operand size)
  kIw = 8,       // 16-bit immediate
  kMoffs = 16,   // address-size offset
  kPtr = 32,     // far pointer
  kGroup3 = 64,  // F6/F7: an immediate only for /0 and /1
  kBad = 128,
};

// One-byte opcodes, 32-bit mode. Prefix bytes are handled before lookup.
uint8_t OneByte(uint8_t op) {
  if (op < 0x40) {
    switch (op & 7) {
      case 0: case 1: case 2: case 3: return kModRm;
      case 4: return kIb;
      case 5: return kIz;
      default: return kNone;  // push/pop segment, daa/das/aaa/aas
    }
  }
  if (op < 0x62) return kNone;  // inc/dec/push/pop reg, pusha/popa
  if (op <= 0x63) return kModRm;
  if (op == 0x68) return kIz;
  if (op == 0x69) return kModRm | kIz;
  if (op == 0x6A) return kIb;
  if (op == 0x6B) return kModRm | kIb;
  if (op <= 0x6F) return kNone;
  if (op <= 0x7F) return kIb;
  if (op == 0x81) return kModRm | kIz;
  if (op <= 0x83) return kModRm | kIb;
  if (op <= 0x8F) return kModRm;
  if (op == 0x9A) return kPtr;
  if (op <= 0x9F) return kNone;
  if (op <= 0xA3) return kMoffs;
  if (op == 0xA8) return kIb;
  if (op == 0xA9) return kIz;
  if (op <= 0xAF) return kNone;
  if (op <= 0xB7) return kIb;
  if (op <= 0xBF) return kIz;
  if (op <= 0xC1) return kModRm | kIb;
  if (op == 0xC2 || op == 0xCA) return kIw;
  if (op == 0xC4 || op == 0xC5) return kModRm;
  if (op == 0xC6) return kModRm | kIb;
  if (op == 0xC7) return kModRm | kIz;
  if (op == 0xC8) return kIw | kIb;
  if (op == 0xCD) return kIb;
  if (op <= 0xCF) return kNone;
  if (op <= 0xD3) return kModRm;
  if (op <= 0xD5) return kIb;
  if (op <= 0xD7) return kNone;
  if (op <= 0xDF) return kModRm;
  if (op <= 0xE7) return kIb;
  if (op <= 0xE9) return kIz;
  if (op == 0xEA) return kPtr;
  if (op == 0xEB) return kIb;
  if (op <= 0xEF) return kNone;
  if (op <= 0xF5) return kNone;
  if (op <= 0xF7) return kModRm | kGroup3;
  if (op <= 0xFD) return kNone;
  return kModRm;
}

uint8_t TwoByte(uint8_t op) {
  if (op <= 0x03 || op == 0x0D) return kModRm;
  if (op <= 0x0F) return kNone;
  if (op <= 0x2F) return kModRm;
  if (op <= 0x37) return kNone;
  if (op == 0x38) return kModRm;  // three-byte map, handled by the caller
  if (op == 0x3A) return kModRm | kIb;
  if (op <= 0x3F) return kBad;
  if (op <= 0x6F) return kModRm;
  if (op <= 0x73) return kModRm | kIb;
  if (op == 0x77) return kNone;
  if (op <= 0x7F) return kModRm;
  if (op <= 0x8F) return kIz;
  if (op <= 0x9F) return kModRm;
  if (op <= 0xA2 || op == 0xA8 || op == 0xA9) return kNone;
  if (op == 0xA4 || op == 0xAC || op == 0xBA || op == 0xC2 || (op >= 0xC4 && op <= 0xC6))
    return kModRm | kIb;
  if (op >= 0xC8 && op <= 0xCF) return kNone;
  return kModRm;
}

// The two-byte opcodes that a PEI module has no business executing: they
// change paging, the processor's mode, its descriptor tables or MSRs, and
// the emulated platform would go on with a view of memory it cannot check.
const char *SystemInstruction(uint8_t op2, uint8_t modrm) {
  static const char *const kMovCr[8] = {"MOV to CR0", "MOV to CR1", "MOV to CR2", "MOV to CR3",
                                        "MOV to CR4", "MOV to CR5", "MOV to CR6", "MOV to CR7"};
  uint8_t mod = modrm >> 6, reg = (modrm >> 3) & 7;
  switch (op2) {
    case 0x00: return reg == 2 ? "LLDT" : reg == 3 ? "LTR" : nullptr;
    case 0x01:
      if (mod == 3) return nullptr;  // VMX, MONITOR, XGETBV, SWAPGS, RDTSCP
      return reg == 2 ? "LGDT" : reg == 3 ? "LIDT" : reg == 6 ? "LMSW" : reg == 7 ? "INVLPG" : nullptr;
    case 0x06: return "CLTS";
    case 0x08: return "INVD";
    case 0x22: return kMovCr[reg];
    case 0x23: return "MOV to a debug register";
    case 0x30: return "WRMSR";
    default: return nullptr;
  }
}

}  // namespace

X86Instruction DecodeX86(const uint8_t *code, size_t available) {
  X86Instruction r;
  size_t i = 0;
  bool opSize16 = false, addrSize16 = false;
  for (; i < available && i < 15; i++) {
    uint8_t b = code[i];
    if (b == 0x66) opSize16 = true;
    else if (b == 0x67) addrSize16 = true;
    else if (b != 0xF0 && b != 0xF2 && b != 0xF3 && b != 0x2E && b != 0x36 && b != 0x3E &&
             b != 0x26 && b != 0x64 && b != 0x65)
      break;
  }
  if (i >= available) return r;
  uint8_t op = code[i++];
  uint8_t kind;
  bool registerOnly = false;  // MOV to or from CRn/DRn: the mod bits are ignored
  if (op == 0x0F) {
    if (i >= available) return r;
    uint8_t op2 = code[i++];
    if (op2 == 0x38) {
      if (i >= available) return r;
      i++;
    }
    kind = TwoByte(op2);
    registerOnly = op2 >= 0x20 && op2 <= 0x23;
    r.system = SystemInstruction(op2, i < available ? code[i] : 0);
  } else {
    kind = OneByte(op);
    r.port = (op >= 0xE4 && op <= 0xE7) || (op >= 0xEC && op <= 0xEF) || (op >= 0x6C && op <= 0x6F);
    if (op == 0xF4) r.system = "HLT";
  }
  if (kind & kBad) return r;
  if (kind & kModRm) {
    if (i >= available) return r;
    uint8_t modrm = code[i++];
    uint8_t mod = modrm >> 6, rm = modrm & 7, reg = (modrm >> 3) & 7;
    if ((kind & kGroup3) && reg <= 1) kind |= op == 0xF6 ? kIb : kIz;
    if (mod != 3 && !registerOnly) {
      if (addrSize16) {
        if (mod == 0 && rm == 6) i += 2;
        else if (mod == 1) i += 1;
        else if (mod == 2) i += 2;
      } else {
        if (rm == 4) {
          if (i >= available) return r;
          uint8_t sib = code[i++];
          if (mod == 0 && (sib & 7) == 5) i += 4;
        }
        if (mod == 0 && rm == 5) i += 4;
        else if (mod == 1) i += 1;
        else if (mod == 2) i += 4;
      }
    }
  }
  if (kind & kIb) i += 1;
  if (kind & kIw) i += 2;
  if (kind & kIz) i += opSize16 ? 2 : 4;
  if (kind & kMoffs) i += addrSize16 ? 2 : 4;
  if (kind & kPtr) i += opSize16 ? 4 : 6;
  if (i > available || i > 15) return r;
  r.length = uint32_t(i);
  return r;
}

}  // namespace peimsim
