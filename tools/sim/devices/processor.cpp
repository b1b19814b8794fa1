#include "processor.h"

#include <cstdio>

namespace peimsim {
namespace {

struct Leaf {
  uint32_t leaf, subleaf;
  CpuidResult r;
};

// qemu-system-i386 -cpu qemu32 (its default), TCG, one processor.
const Leaf kLeaves[] = {
    {0x00000000, 0, {0x00000004, 0x756E6547, 0x6C65746E, 0x49656E69}},
    {0x00000001, 0, {0x00000663, 0x00000800, 0x80000001, 0x0781ABFD}},
    {0x00000002, 0, {0x00000001, 0x00000000, 0x0000004D, 0x002C307D}},
    {0x00000003, 0, {0, 0, 0, 0}},
    {0x00000004, 0, {0x00000121, 0x01C0003F, 0x0000003F, 0x00000001}},
    {0x00000004, 1, {0x00000122, 0x01C0003F, 0x0000003F, 0x00000001}},
    {0x00000004, 2, {0x00000143, 0x03C0003F, 0x00000FFF, 0x00000001}},
    {0x00000004, 3, {0x00000163, 0x03C0003F, 0x00003FFF, 0x00000006}},
    {0x40000000, 0, {0x40000001, 0x54474354, 0x43544743, 0x47435447}},
    {0x40000001, 0, {0, 0, 0, 0}},
    {0x80000000, 0, {0x80000004, 0x756E6547, 0x6C65746E, 0x49656E69}},
    {0x80000001, 0, {0x00000663, 0, 0, 0}},
    {0x80000002, 0, {0x554D4551, 0x72695620, 0x6C617574, 0x55504320}},
    {0x80000003, 0, {0x72657620, 0x6E6F6973, 0x352E3220, 0x0000002B}},
    {0x80000004, 0, {0, 0, 0, 0}},
};

// Leaves whose answer depends on ECX.
bool HasSubleaves(uint32_t leaf) { return leaf == 4; }

}  // namespace

const char *Processor::MsrName(uint32_t msr) {
  struct Name {
    uint32_t msr;
    const char *name;
  };
  static const Name kNames[] = {
      {kTsc, "IA32_TIME_STAMP_COUNTER"}, {0x17, "IA32_PLATFORM_ID"},
      {kApicBase, "IA32_APIC_BASE"},     {kFeatureControl, "IA32_FEATURE_CONTROL"},
      {kBiosSignature, "IA32_BIOS_SIGN_ID"}, {kMtrrCap, "IA32_MTRRCAP"},
      {0x179, "IA32_MCG_CAP"},           {kMiscEnable, "IA32_MISC_ENABLE"},
      {kPat, "IA32_PAT"},                {kMtrrDefType, "IA32_MTRR_DEF_TYPE"},
      {0x250, "IA32_MTRR_FIX64K_00000"}, {0x258, "IA32_MTRR_FIX16K_80000"},
      {0x259, "IA32_MTRR_FIX16K_A0000"},
  };
  for (const Name &n : kNames)
    if (n.msr == msr) return n.name;
  if (msr >= 0x200 && msr < 0x210) return msr % 2 ? "IA32_MTRR_PHYSMASK" : "IA32_MTRR_PHYSBASE";
  if (msr >= 0x268 && msr < 0x270) return "IA32_MTRR_FIX4K";
  return "";
}

Processor::Processor() {
  msrs_[kApicBase] = kApicBaseValue;
  msrs_[kFeatureControl] = 0;
  msrs_[0x17] = 0;                       // platform id
  msrs_[kBiosSignature] = 0x100000000ull;  // microcode revision 1
  msrs_[kMtrrCap] = 0;                   // no MTRRs
  msrs_[0x179] = 0;                      // MCG_CAP
  msrs_[kMiscEnable] = 1;                // fast strings
  msrs_[kPat] = 0x0007040600070406ull;
  msrs_[kMtrrDefType] = 0;
  for (uint32_t m = 0x200; m < 0x210; m++) msrs_[m] = 0;
  for (uint32_t m : {0x250u, 0x258u, 0x259u}) msrs_[m] = 0;
  for (uint32_t m = 0x268; m < 0x270; m++) msrs_[m] = 0;
}

CpuidResult Processor::Cpuid(uint32_t leaf, uint32_t subleaf) const {
  bool known = false;
  for (const Leaf &l : kLeaves) known |= l.leaf == leaf;
  // A leaf it does not have answers as the highest basic leaf does.
  uint32_t asked = known ? leaf : 4;
  for (const Leaf &l : kLeaves)
    if (l.leaf == asked && (!HasSubleaves(asked) || l.subleaf == subleaf)) return l.r;
  return CpuidResult();  // leaf 4 past its last cache
}

uint64_t Processor::ReadMsr(uint32_t msr, uint64_t instructions, bool &known) const {
  if (msr == kTsc) {
    known = true;
    return instructions;
  }
  auto it = msrs_.find(msr);
  known = it != msrs_.end();
  return known ? it->second : 0;
}

bool Processor::WriteMsr(uint32_t msr, uint64_t value, std::string &why) {
  if (msr == kApicBase && (value & ~0x100ull) != (kApicBaseValue & ~0x100ull)) {
    char b[128];
    snprintf(b, sizeof b, "WRMSR IA32_APIC_BASE 0x%llX: moving or disabling the local APIC",
             (unsigned long long)value);
    why = b;
    return false;
  }
  if (msr == kApicBase) value = (value & ~0x100ull) | (kApicBaseValue & 0x100);  // BSP is read-only
  // MTRRcap is read-only; the microcode revision is the processor's.
  if (msr == kMtrrCap || msr == kBiosSignature) return true;
  msrs_[msr] = value;
  return true;
}

}  // namespace peimsim

namespace peimsim {

void Processor::AnswerCpuid(uc_engine *uc) const {
  uint32_t leaf = 0, subleaf = 0;
  uc_reg_read(uc, UC_X86_REG_EAX, &leaf);
  uc_reg_read(uc, UC_X86_REG_ECX, &subleaf);
  CpuidResult r = Cpuid(leaf, subleaf);
  uc_reg_write(uc, UC_X86_REG_EAX, &r.eax);
  uc_reg_write(uc, UC_X86_REG_EBX, &r.ebx);
  uc_reg_write(uc, UC_X86_REG_ECX, &r.ecx);
  uc_reg_write(uc, UC_X86_REG_EDX, &r.edx);
}

}  // namespace peimsim
