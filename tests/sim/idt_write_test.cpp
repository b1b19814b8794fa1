// A PEIM that installs exception handlers writes the IDT's gates, as the CPU
// exception library does in CpuMpPei: with --any-peim that is its right. The
// services pointer below the IDT stays the Foundation's, and the module
// itself has no business in the IDT at all.
#include <gtest/gtest.h>

#include "test_support.h"

using namespace peimsim;

namespace {

struct IdtWrite {
  const char *name;
  int8_t displacement;  // from the IDT's base, as SIDT gives it
  bool anyPeim;
  bool allowed;
};
void PrintTo(const IdtWrite &c, std::ostream *os) { *os << c.name; }

class IdtWriteTest : public ::testing::TestWithParam<IdtWrite> {};

TEST_P(IdtWriteTest, OnlyAPeimWritesTheGates) {
  const IdtWrite &c = GetParam();
  const std::vector<uint8_t> code = {
      0x83, 0xEC, 0x08,                    // sub esp, 8
      0x0F, 0x01, 0x0C, 0x24,              // sidt [esp]
      0x8B, 0x44, 0x24, 0x02,              // mov eax, [esp+2] (the base)
      0xC7, 0x40, uint8_t(c.displacement), // mov dword [eax+disp], 0x12345678
      0x78, 0x56, 0x34, 0x12,
      0x83, 0xC4, 0x08,                    // add esp, 8
      0x31, 0xC0, 0xC3};                   // xor eax, eax; ret
  pe::Image image;
  std::string error;
  ASSERT_TRUE(pe::Parse(simtest::BuildImage(code), image, error)) << error;
  PlatformOptions options;
  options.anyPeim = c.anyPeim;
  Platform platform;
  ASSERT_TRUE(platform.Load(image, options, error)) << error;
  ASSERT_TRUE(platform.RunEntry().returned);
  std::string all;
  bool writeOutside = false;
  for (const Violation &v : platform.Violations()) {
    all += "[" + v.kind + "] " + v.message + "\n";
    writeOutside |= v.kind == "write-outside";
  }
  EXPECT_EQ(writeOutside, !c.allowed) << all;
  if (!c.allowed && c.displacement >= 0) {
    EXPECT_NE(all.find("(IDT+0x8)"), std::string::npos) << all;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Gates, IdtWriteTest,
    ::testing::Values(IdtWrite{"PeimWritesAGate", 8, true, true},
                      IdtWrite{"PeimWritesTheServicesPointer", -4, true, false},
                      IdtWrite{"ModuleWritesAGate", 8, false, false}),
    [](const ::testing::TestParamInfo<IdtWrite> &i) { return i.param.name; });

}  // namespace
