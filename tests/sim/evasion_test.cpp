// Checks a hostile image must not get around: code changed after its block
// was decoded (by the image itself or by a service), an instruction the
// disassembler cannot read hiding the one after it, code run outside the
// image's extent, and a repeated violation drowning the others. Each image
// is a few instructions of our own, run on the platform in process.
#include <gtest/gtest.h>

#include "test_support.h"

using namespace peimsim;

namespace {

constexpr uint32_t kWritableCode = 0xE0000020;  // code, read, write, execute: loaded in RAM

struct Evasion {
  const char *name;
  std::vector<uint8_t> code;
  std::vector<uint32_t> fixups;  // offsets in code of 32-bit RVAs to relocate
  uint32_t characteristics;
  bool anyPeim;
  const char *violation;  // a violation of this kind must be reported
  const char *message;    // and its message holds this
};
void PrintTo(const Evasion &e, std::ostream *os) { *os << e.name; }

// RVAs of the code's own bytes (the image's .text starts at kCodeRva).
constexpr uint8_t At(uint32_t offset, int byte) {
  return uint8_t((simtest::kCodeRva + offset) >> (8 * byte));
}

const Evasion kEvasions[] = {
    // The image runs a block of two NOPs, writes INVD (0F 08) over them and
    // runs the block again: same address, same size, other code.
    {"RewritesABlockItRan",
     {0xE8, 0x16, 0x00, 0x00, 0x00,                          // +0  call +27
      0xC6, 0x05, At(27, 0), At(27, 1), 0, 0, 0x0F,          // +5  mov byte [+27], 0x0F
      0xC6, 0x05, At(28, 0), At(28, 1), 0, 0, 0x08,          // +12 mov byte [+28], 0x08
      0xE8, 0x03, 0x00, 0x00, 0x00,                          // +19 call +27
      0x31, 0xC0, 0xC3,                                      // +24 xor eax, eax; ret
      0x90, 0x90, 0xC3},                                     // +27 nop; nop; ret
     {7, 14}, kWritableCode, false, "processor-control", "INVD"},
    // The same with CopyMem doing the write, which the emulator does not see.
    {"HasCopyMemRewriteABlockItRan",
     {0xE8, 0x20, 0x00, 0x00, 0x00,              // +0  call +37
      0x6A, 0x02,                                // +5  push 2
      0x68, At(40, 0), At(40, 1), 0, 0,          // +7  push +40 (INVD's bytes)
      0x68, At(37, 0), At(37, 1), 0, 0,          // +12 push +37
      0x8B, 0x44, 0x24, 0x14,                    // +17 mov eax, PeiServices
      0x8B, 0x00, 0xFF, 0x50, 0x50,              // +21 call CopyMem
      0x83, 0xC4, 0x0C,                          // +26 add esp, 12
      0xE8, 0x03, 0x00, 0x00, 0x00,              // +29 call +37
      0x31, 0xC0, 0xC3,                          // +34
      0x90, 0x90, 0xC3,                          // +37 nop; nop; ret
      0x0F, 0x08},                               // +40
     {8, 13}, kWritableCode, true, "processor-control", "INVD"},
    // NOP forms the disassembler cannot read (0F 1F C0 "nop eax", a
    // prefetch hint with a SIB byte) before an instruction it must find.
    {"LoadsAnIdtBehindAHintNop", {0x0F, 0x1F, 0xC0, 0x0F, 0x01, 0x18, 0x31, 0xC0, 0xC3}, {},
     0x60000020, false, "processor-control", "LIDT"},
    {"LoadsAGdtBehindAHintNop", {0x0F, 0x1F, 0xC0, 0x0F, 0x01, 0x10, 0x31, 0xC0, 0xC3}, {},
     0x60000020, false, "processor-control", "LGDT"},
    {"InvalidatesCachesBehindAPrefetchHint",
     {0x0F, 0x0D, 0x04, 0x24, 0x0F, 0x08, 0x31, 0xC0, 0xC3}, {}, 0x60000020, false,
     "processor-control", "INVD"},
    // Code outside SizeOfImage: the bytes before the image on its first
    // page, the bytes after it, and a block that runs off its end.
    {"JumpsBeforeTheImage", {0xB8, 0x00, 0x00, 0xFC, 0xFF, 0xFF, 0xE0}, {}, 0x60000020, false,
     "execute-outside", "outside the image"},
    {"JumpsPastTheImage", {0xB8, 0x40, 0x02, 0x00, 0x00, 0xFF, 0xE0}, {1}, 0x60000020, false,
     "execute-outside", "outside the image"},
    {"RunsOffTheEndOfTheImage",  // mov eax, esp; mov ecx, image+0x23E; jmp ecx
     {0x89, 0xE0, 0xB9, 0x3E, 0x02, 0x00, 0x00, 0xFF, 0xE1}, {3}, 0x60000020, false,
     "execute-outside", "outside the image"},
    // An image in RAM writes INVD; RET past its end and calls it.
    {"GeneratesCodePastTheImage",
     {0xC7, 0x05, 0x40, 0x02, 0x00, 0x00, 0x0F, 0x08, 0xC3, 0x00,  // mov dword [image+0x240], ...
      0xB8, 0x40, 0x02, 0x00, 0x00, 0xFF, 0xD0,                    // call image+0x240
      0x31, 0xC0, 0xC3},
     {2, 11}, kWritableCode, false, "execute-outside", "outside the image"},
};

class EvasionTest : public ::testing::TestWithParam<Evasion> {};

TEST_P(EvasionTest, IsStillReported) {
  const Evasion &c = GetParam();
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::Parse(simtest::BuildImage(c.code, c.fixups, c.characteristics), image, error))
      << error;
  PlatformOptions options;
  options.budget = 20000;
  options.anyPeim = c.anyPeim;
  options.coverage = true;
  Platform platform;
  ASSERT_TRUE(platform.Load(image, options, error)) << error;
  platform.RunEntry();
  std::string all;
  bool found = false;
  for (const Violation &v : platform.Violations()) {
    all += "[" + v.kind + "] " + v.message + "\n";
    found |= v.kind == c.violation && v.message.find(c.message) != std::string::npos;
  }
  EXPECT_TRUE(found) << "no [" << c.violation << "] naming " << c.message << " in:\n" << all;
  // Coverage describes the module: no block reaches past it.
  for (const CoveredBlock &b : platform.ImageCoverage().Blocks())
    EXPECT_LE(uint64_t(b.offset) + b.size, image.sizeOfImage)
        << "block at +" << b.offset << " of " << b.size << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Checks, EvasionTest, ::testing::ValuesIn(kEvasions),
                         [](const ::testing::TestParamInfo<Evasion> &i) { return i.param.name; });

// A REP STOSD of 1000 dwords outside the module's memory is one violation
// with its count, not 500 lines that stop the run; two instructions that
// each write outside stay two.
TEST(RepeatedViolations, FoldIntoOneLinePerInstruction) {
  const std::vector<uint8_t> code = {
      0x57,                          // push edi
      0xBF, 0x00, 0x00, 0x30, 0x00,  // mov edi, 0x00300000 (RAM nobody gave the module)
      0xB9, 0xE8, 0x03, 0x00, 0x00,  // mov ecx, 1000
      0x31, 0xC0, 0xF3, 0xAB,        // xor eax, eax; rep stosd
      0xA3, 0x00, 0x00, 0x31, 0x00,  // mov [0x00310000], eax
      0x5F, 0x31, 0xC0, 0xC3};       // pop edi; xor eax, eax; ret
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::Parse(simtest::BuildImage(code), image, error)) << error;
  PlatformOptions options;
  Platform platform;
  ASSERT_TRUE(platform.Load(image, options, error)) << error;
  EXPECT_TRUE(platform.RunEntry().returned);
  const std::vector<Violation> &v = platform.Violations();
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0].kind, "write-outside");
  EXPECT_EQ(v[0].count, 1000u);
  EXPECT_EQ(v[0].eip, platform.LoadAddress() + simtest::kCodeRva + 13);
  EXPECT_EQ(v[1].count, 1u);
  EXPECT_EQ(v[1].eip, platform.LoadAddress() + simtest::kCodeRva + 15);
}

}  // namespace
