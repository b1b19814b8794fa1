// peim-sim --platform q35 run as a process: OVMF's PEIMs reaching the q35
// devices, the processor model on crafted images, and what a guest that
// programs a device out of its range, or bad options, get.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "fv_tree.h"
#include "test_support.h"

namespace {

const char kOvmf[] = "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";
const char kVars[] = "/usr/share/OVMF/OVMF32_VARS_4M.fd";
const char kPlatformPei[] = "222C386D-5ABC-4FB4-B124-FBB82488ACF4";

bool HaveOvmf() { return std::ifstream(kOvmf).good() && std::ifstream(kVars).good(); }

simtest::ToolRun RunOvmfPeim(const std::string &guid) {
  return simtest::RunTool({"--any-peim", "--force", "--budget", "2000000", "--platform", "q35",
                           "--flash", kOvmf, "--vars", kVars, kOvmf, "--file", guid});
}

std::string WithoutTimings(const std::string &out) {
  // The summary's speed figures aside, two runs print the same.
  std::string s;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(at, end - at);
    if (line.find("per second") == std::string::npos) s += line + "\n";
    at = end + 1;
  }
  return s;
}

TEST(Q35Run, PlatformPeiReachesTheQ35DevicesAndReturns) {
  if (!HaveOvmf()) GTEST_SKIP() << "no OVMF IA-32 image";
  simtest::ToolRun r = RunOvmfPeim(kPlatformPei);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("entry         returned EFI_SUCCESS"), std::string::npos) << r.out;
  // Each device it needs, by the trace's names.
  for (const char *seen : {"PCI 00:00.0 +0x02 DeviceId (MCH)", "PCI 00:1F.0 +0xF0 (LPC)",
                           "fw_cfg selector (fw_cfg)", "fw_cfg DMA (fw_cfg)",
                           "CPU hotplug status (CPU hotplug)", "CMOS 0x0F (RTC/CMOS)"})
    EXPECT_NE(r.out.find(seen), std::string::npos) << "no access to " << seen;
  // Deterministic: the devices' clock is the instructions executed.
  simtest::ToolRun again = RunOvmfPeim(kPlatformPei);
  EXPECT_EQ(WithoutTimings(again.out), WithoutTimings(r.out));
}

TEST(Q35Run, WithoutTheQ35PlatformPlatformPeiStopsAtFwCfg) {
  if (!HaveOvmf()) GTEST_SKIP() << "no OVMF IA-32 image";
  simtest::ToolRun r = simtest::RunTool(
      {"--any-peim", "--force", "--quiet", "--budget", "2000000", kOvmf, "--file", kPlatformPei});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("[unclaimed-port]"), std::string::npos) << r.out;
}

std::string Image(const char *name, const std::vector<uint8_t> &code) {
  return simtest::ScratchFile(name, simtest::BuildImage(code));
}

TEST(Q35Run, ProcessorModelAnswersCpuidMsrsAndCacheControl) {
  // CPUID leaf 0 is GenuineIntel, IA32_APIC_BASE reads 0xFEE00900, a
  // WRMSR to MTRRdefType reads back, CR0.CD set and cleared around a
  // WBINVD; any wrong answer ends in UD2.
  std::string image = Image(
      "q35-processor.efi",
      {0x53, 0x31, 0xc0, 0x0f, 0xa2, 0x81, 0xfb, 0x47, 0x65, 0x6e, 0x75, 0x75, 0x40, 0xb9, 0x1b,
       0x00, 0x00, 0x00, 0x0f, 0x32, 0x3d, 0x00, 0x09, 0xe0, 0xfe, 0x75, 0x32, 0xb9, 0xff, 0x02,
       0x00, 0x00, 0xb8, 0x06, 0x0c, 0x00, 0x00, 0x31, 0xd2, 0x0f, 0x30, 0x31, 0xc0, 0x0f, 0x32,
       0x3d, 0x06, 0x0c, 0x00, 0x00, 0x75, 0x19, 0x0f, 0x20, 0xc0, 0x0d, 0x00, 0x00, 0x00, 0x40,
       0x0f, 0x22, 0xc0, 0x0f, 0x09, 0x25, 0xff, 0xff, 0xff, 0x9f, 0x0f, 0x22, 0xc0, 0x5b, 0x31,
       0xc0, 0xc3, 0x0f, 0x0b});
  simtest::ToolRun q35 = simtest::RunTool({"--any-peim", "--platform", "q35", image});
  EXPECT_EQ(q35.status, 0) << q35.out << q35.err;
  EXPECT_NE(q35.out.find("returned EFI_SUCCESS"), std::string::npos) << q35.out;
  // The default platform has no processor model: the emulator's own CPUID
  // is not QEMU's, and the image takes the other branch.
  simtest::ToolRun plain = simtest::RunTool({"--any-peim", image});
  EXPECT_EQ(plain.status, 1);
  EXPECT_NE(plain.out.find("[cpu-exception]"), std::string::npos) << plain.out;
}

TEST(Q35Run, GuestOutOfRangeGetsANamedViolation) {
  struct Case {
    const char *name;
    std::vector<uint8_t> code;
    const char *violation;
  } cases[] = {
      // MOV to CR0 clearing PE: more than the cache bits.
      {"q35-cr0.efi",
       {0x0f, 0x20, 0xc0, 0x83, 0xe0, 0xfe, 0x0f, 0x22, 0xc0, 0x31, 0xc0, 0xc3},
       "[processor-control]  MOV to CR0 "},
      // fw_cfg DMA access structure at 0x02000000, beyond RAM.
      {"q35-dma.efi",
       {0x66, 0xba, 0x14, 0x05, 0x31, 0xc0, 0xef, 0x66, 0xba, 0x18, 0x05, 0xb8, 0x02, 0x00, 0x00,
        0x00, 0xef, 0x31, 0xc0, 0xc3},
       "[fw-cfg-dma]         DMA access structure at 0x2000000, which is not RAM"},
      // PMBASE 0x0500 with ACPI_EN: the PM block over fw_cfg's ports.
      {"q35-pmbase.efi",
       {0x66, 0xba, 0xf8, 0x0c, 0xb8, 0x40, 0xf8, 0x00, 0x80, 0xef, 0x66, 0xba, 0xfc, 0x0c, 0xb8,
        0x01, 0x05, 0x00, 0x00, 0xef, 0x66, 0xba, 0xf8, 0x0c, 0xb8, 0x44, 0xf8, 0x00, 0x80, 0xef,
        0x66, 0xba, 0xfc, 0x0c, 0xb0, 0x80, 0xee, 0x31, 0xc0, 0xc3},
       "[device-range]       ACPI PM block enabled at PMBASE 0x0500-0x057F"},
  };
  for (const Case &c : cases) {
    simtest::ToolRun r = simtest::RunTool({"--any-peim", "--platform", "q35", Image(c.name, c.code)});
    EXPECT_EQ(r.status, 1) << c.name << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find(c.violation), std::string::npos) << c.name << "\n" << r.out;
  }
}

TEST(Q35Run, BadFlashOptionsAreRefused) {
  std::string odd = simtest::ScratchFile("odd.fd", std::vector<uint8_t>(100, 0xFF));
  std::string image = Image("q35-ret.efi", {0x31, 0xc0, 0xc3});
  std::string top = simtest::ScratchFile("top.fd", std::vector<uint8_t>(0x40000, 0xFF));
  struct Case {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{"--vars", odd, image}, "--vars " + odd + ": the variable store goes below"},
      {{"--flash", odd, image}, "--flash " + odd + ": a flash image is a whole number of 4 KiB"},
      {{"--flash", top, "--vars", odd, image}, "--vars " + odd + ": a flash image is"},
      // The image runs in place at 0xFFFC0240, inside a 256 KiB flash.
      {{"--flash", top, image}, "the image at 0xFFFC0000 overlaps the flash at 0xFFFC0000"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"--any-peim", "--platform", "q35"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    simtest::ToolRun r = simtest::RunTool(args);
    EXPECT_EQ(r.status, 2) << c.error << "\n" << r.out << r.err;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// How a run of one OVMF PEIM ended, as the table says it: "returned
// STATUS", or the first violation's tag and cause; its instructions and
// hardware accesses.
struct Outcome {
  std::string text, instructions, accesses;
  bool returnedClean = false;
};

Outcome Ended(const simtest::ToolRun &r) {
  Outcome o;
  std::istringstream lines(r.out);
  std::string entry, violation;
  for (std::string l; std::getline(lines, l);) {
    auto value = [&](const char *label) {
      std::string s = l.substr(std::string(label).size());
      return s.substr(s.find_first_not_of(' '));
    };
    if (l.rfind("  entry ", 0) == 0 && l.rfind("  entry only", 0) != 0) entry = value("  entry");
    if (l.rfind("  instructions ", 0) == 0) o.instructions = value("  instructions");
    if (l.rfind("  hardware ", 0) == 0) o.accesses = value("  hardware");
    if (violation.empty() && l.rfind("    +", 0) == 0 && l.find('[') != std::string::npos) {
      std::string v = l.substr(l.find('['));
      size_t close = v.find(']');
      std::string cause = v.substr(close + 1);
      cause.erase(0, cause.find_first_not_of(' '));
      violation = v.substr(0, close + 1) + " " + cause.substr(0, cause.find(','));
      violation = violation.substr(0, violation.find(" (at 0x"));
    }
  }
  o.instructions = o.instructions.substr(0, o.instructions.find(' '));
  o.accesses = o.accesses.substr(0, o.accesses.find(' '));
  o.returnedClean = r.status == 0 && entry.rfind("returned ", 0) == 0;
  o.text = entry.rfind("returned ", 0) == 0 ? entry.substr(0, entry.find(" (")) : violation;
  if (entry.rfind("returned ", 0) == 0 && !violation.empty()) o.text += "; " + violation;
  return o;
}

// Every PEIM of OVMF on the default platform and on q35 (with the image's
// own flash and variable store), side by side: the table in
// tools/sim/README.md's q35 section, written to the build directory; the
// test fails when the README's differs.
TEST(Q35Run, OvmfTableOnQ35MatchesTheReadme) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!HaveOvmf() || !pe::ReadFile(kOvmf, bytes, error)) GTEST_SKIP() << "no OVMF IA-32 image";
  fv::Image firmware(std::move(bytes));
  std::string table =
      "| PEIM | default platform | q35 | q35 instructions | q35 accesses |\n"
      "|---|---|---|---:|---:|\n";
  int rows = 0, clean = 0;
  for (const fv::Volume *v : firmware.AllVolumes()) {
    for (const fv::File &f : v->files) {
      if (f.type != 0x06 || f.deleted) continue;
      std::string guid = f.name.ToString();
      Outcome plain = Ended(simtest::RunTool({"--any-peim", "--force", "--quiet", "--budget",
                                              "2000000", kOvmf, "--file", guid}));
      simtest::ToolRun q35run = RunOvmfPeim(guid.c_str());
      Outcome q35 = Ended(q35run);
      EXPECT_FALSE(q35.text.empty()) << f.UiName() << ": no outcome\n" << q35run.out;
      // The default platform's outcome in short (its own table has the cause).
      std::string before =
          plain.text.rfind('[', 0) == 0 ? plain.text.substr(0, plain.text.find(']') + 1) : plain.text;
      table += "| " + f.UiName() + " | " + before + " | " + q35.text + " | " +
               q35.instructions + " | " + q35.accesses + " |\n";
      rows++;
      clean += q35.returnedClean;
    }
  }
  EXPECT_EQ(rows, 15);
  // On q35 the PEIMs return as on QEMU; what stops one is named.
  EXPECT_GE(clean, 12) << table;
  std::string written = SIM_SCRATCH_DIR "/ovmf-q35-table.md";
  std::ofstream(written, std::ios::binary) << table;
  std::ifstream in(SIM_SOURCE_DIR "/README.md", std::ios::binary);
  std::string readme((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string begin = "<!-- OVMF q35 table: begin -->\n", end = "<!-- OVMF q35 table: end -->\n";
  size_t b = readme.find(begin), e = readme.find(end);
  ASSERT_TRUE(b != std::string::npos && e != std::string::npos)
      << SIM_SOURCE_DIR "/README.md has no " << begin;
  b += begin.size();
  EXPECT_EQ(readme.substr(b, e - b), table)
      << "tools/sim/README.md's q35 table differs from this run's, written to " << written
      << ". If the change is meant: tests/sim/refresh-ovmf-table.sh " << written
      << " \"OVMF q35 table\"";
}

}  // namespace
