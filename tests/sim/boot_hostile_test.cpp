// peim-sim --boot on firmware images of our own: one volume at the top of
// the flash whose PEI core is a few instructions, each doing what a PEI
// core must not (or what the processor model must carry out), run as a
// process. Every one ends with its named reason, exit 1, one line.
#include <gtest/gtest.h>

#include <cstring>

#include "ffs.h"
#include "fv_tree.h"
#include "test_support.h"

namespace {

// A 64 KiB flash image: one volume holding a PEI core file whose PE32
// (the code at .text) is linked where it lies, as SEC expects.
std::vector<uint8_t> FirmwareWithCore(const std::vector<uint8_t> &code) {
  fv::VolumeParams params;
  params.length = 0x10000;
  fv::Bytes volume = fv::MakeEmptyVolume(params);
  volume.resize(0x10000, 0xFF);
  uint16_t headerLength;
  memcpy(&headerLength, volume.data() + 48, 2);
  size_t filesStart = (headerLength + 7) & ~size_t(7);
  const uint32_t flashBase = 0xFFFF0000;
  std::vector<uint8_t> image = simtest::BuildImage(code);
  // A raw section first puts the image's data on a 64-byte boundary.
  size_t before = filesStart + 24 + 4 + 4;  // file header, raw header, PE32 header
  size_t pad = (0x40 - before % 0x40) % 0x40;
  pe::Image pe;
  std::string error;
  EXPECT_TRUE(pe::Parse(image, pe, error)) << error;
  EXPECT_TRUE(pe::RebaseFile(pe, uint32_t(flashBase + before + pad), error)) << error;
  fv::Bytes body;
  fv::AppendSection(body, fv::MakeSection(fv::kSecRaw, fv::Bytes(pad, 0)));
  fv::AppendSection(body,
                    fv::MakeSection(fv::kSecPe32, fv::Bytes(pe.bytes.begin(), pe.bytes.end())));
  fv::Bytes file = fv::MakeFile(fv::Guid::Parse("52C05B14-0B98-496C-BC3B-04B50211D680"),
                                fv::kFilePeiCore, 0, body, true);
  memcpy(volume.data() + filesStart, file.data(), file.size());
  return std::vector<uint8_t>(volume.begin(), volume.end());
}

TEST(BootHostile, EachEndsWithItsNamedReason) {
  struct Case {
    const char *name;
    std::vector<uint8_t> code;
    const char *err;
    std::vector<std::string> args = {};
  } cases[] = {
      {"jump-outside", {0xB8, 0x00, 0x00, 0x50, 0x00, 0xFF, 0xE0},
       "[execute-outside] jumps to 0x00500000 (RAM), outside any image"},
      {"spin", {0xEB, 0xFE}, "[budget] still in the PEI phase after 100000 instructions",
       {"--budget", "100000"}},
      {"spin-time", {0xEB, 0xFE}, "[time-limit]", {"--time-limit", "1"}},
      {"returns", {0xC3}, "[core-returned] the PEI core returned to SEC"},
      {"hlt", {0x90, 0xF4},
       "[processor-control] HLT at 0xFFFF0281 (52C05B14-0B98-496C-BC3B-04B50211D680+0x201) "
       "is not on "
       "the allowed list"},
      {"paging", {0x0F, 0x20, 0xC0, 0x0D, 0x00, 0x00, 0x00, 0x80, 0x0F, 0x22, 0xC0},
       "[paging] MOV to CR0 0x80000011"},
      {"apic-moved",
       {0xB9, 0x1B, 0x00, 0x00, 0x00, 0xB8, 0x00, 0x00, 0xD0, 0xFE, 0x31, 0xD2, 0x0F, 0x30},
       "[processor-control] WRMSR 0x1B"},
      {"int3", {0xCC}, "[cpu-exception] CPU exception 3"},
      {"flash-write", {0xC7, 0x05, 0x00, 0x00, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00},
       "[unmapped] write to read-only memory: 4 bytes at 0xFFFF0000"},
      {"unclaimed-port", {0xE4, 0x99}, "[unclaimed-port] IN from port 0x0099"},
      // RDMSR of the APIC base, carried out on the processor model: with
      // QEMU's value it jumps to 0x00600000 (a stop that says it was read),
      // with any other it returns.
      {"apic-base-read",
       {0xB9, 0x1B, 0x00, 0x00, 0x00, 0x0F, 0x32, 0x3D, 0x00, 0x09, 0xE0, 0xFE, 0x75, 0x07, 0xB8,
        0x00, 0x00, 0x60, 0x00, 0xFF, 0xE0, 0xC3},
       "[execute-outside] jumps to 0x00600000"},
      // CPUID answered as QEMU's qemu32 model: "GenuineIntel" in EBX.
      {"cpuid", {0x31, 0xC0, 0x0F, 0xA2, 0x81, 0xFB, 0x47, 0x65, 0x6E, 0x75, 0x75, 0x07, 0xB8, 0x00,
                 0x00, 0x70, 0x00, 0xFF, 0xE0, 0xC3},
       "[execute-outside] jumps to 0x00700000"},
  };
  for (const Case &c : cases) {
    std::string path = simtest::ScratchFile(std::string("boot-core-") + c.name + ".fd",
                                            FirmwareWithCore(c.code));
    std::vector<std::string> args = {"--boot", path, "--platform", "q35", "-q"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    simtest::ToolRun r = simtest::RunTool(args);
    EXPECT_EQ(r.status, 1) << c.name << ": " << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.name << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.name << ": " << r.err;
  }
}

}  // namespace
