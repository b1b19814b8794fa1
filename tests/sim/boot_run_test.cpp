// peim-sim --boot on Debian's OVMF IA-32 image, run as a process: the whole
// PEI phase from the SEC stand-in to the DXE core's entry, the tap's
// attribution, fault injection, coverage, and the ways a boot stops.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "test_support.h"

namespace {

const char kOvmf[] = "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";

bool HaveOvmf() { return std::ifstream(kOvmf).good(); }

simtest::ToolRun Boot(std::vector<std::string> extra) {
  std::vector<std::string> args = {"--boot", kOvmf, "--platform", "q35"};
  args.insert(args.end(), extra.begin(), extra.end());
  return simtest::RunTool(args);
}

// The "Dispatch" part's PEIM names, in order.
std::vector<std::string> DispatchedNames(const std::string &out) {
  std::vector<std::string> names;
  std::istringstream in(out.substr(out.find("\nDispatch")));
  std::string line;
  std::regex item(R"(^  \d+\. (\S+) at 0x[0-9A-F]{8} \((in place|loaded)\):)");
  std::getline(in, line);
  while (std::getline(in, line) && !line.empty()) {
    std::smatch m;
    if (std::regex_search(line, m, item)) names.push_back(m[1]);
  }
  return names;
}

TEST(BootRun, ReachesTheDxeCoreWithEveryPeimDispatchedInOrder) {
  if (!HaveOvmf()) GTEST_SKIP() << "no " << kOvmf;
  simtest::ToolRun r = Boot({"-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  // The order the firmware's own core dispatches them: those before memory
  // in place, then, once PlatformPei installed memory, the shadowed PcdPeim
  // and the others loaded into memory, DxeIpl first (it only needs memory).
  std::vector<std::string> expected = {
      "PcdPeim",        "ReportStatusCodeRouterPei", "StatusCodeHandlerPei", "PlatformPei",
      "PcdPeim",        "DxeIpl",                    "S3Resume2Pei",         "FaultTolerantWritePei",
      "PeiVariable",    "SmmAccessPei",              "CpuMpPei",             "TpmMmioSevDecryptPei",
      "Tcg2ConfigPei",  "TcgPei",                    "Tcg2Pei",              "Tcg2PlatformPei"};
  EXPECT_EQ(DispatchedNames(r.out), expected);
  // The entry the run ended at is the one DxeIpl recorded in the DXE core's
  // module HOB: two independent views of the same hand-off.
  std::smatch entry, hob;
  ASSERT_TRUE(std::regex_search(r.out, entry,
                                std::regex(R"(the DXE core entered at (0x[0-9A-F]{8}) \(DxeCore\+)")));
  ASSERT_TRUE(std::regex_search(r.out, hob, std::regex(R"(gEfiHobMemoryAllocModuleGuid, module \S+ entry (0x[0-9A-F]{8}))")));
  EXPECT_EQ(entry[1], hob[1]);
  // The HOB list starts with the handoff HOB and ends with its end marker.
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(HOB list at (0x[0-9A-F]{8})\n  \1  handoff: boot mode BOOT_WITH_FULL_CONFIGURATION)")));
  EXPECT_NE(r.out.find("  end of list\n"), std::string::npos);
  // PlatformPei installed permanent memory, which the core then uses.
  EXPECT_NE(r.out.find("allocated permanent memory 0x0AF78000, 0x4000000 bytes"), std::string::npos);
}

TEST(BootRun, TemporaryRamMigrationWithAndWithoutSecsPpi) {
  if (!HaveOvmf()) GTEST_SKIP() << "no " << kOvmf;
  struct Case {
    std::vector<std::string> args;
    const char *locate;
    bool migrated;
  } cases[] = {
      {{}, "LocatePpi(gEfiTemporaryRamSupportPpiGuid instance 0) -> EFI_SUCCESS, PPI 0x0081FF80",
       true},
      {{"--no-migration-ppi"},
       "LocatePpi(gEfiTemporaryRamSupportPpiGuid instance 0) -> EFI_NOT_FOUND", false},
  };
  for (const Case &c : cases) {
    simtest::ToolRun r = Boot(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(c.locate), std::string::npos) << (c.migrated ? "with" : "without");
    EXPECT_EQ(r.out.find("TemporaryRamMigration: 0x10000 bytes") != std::string::npos, c.migrated);
  }
}

TEST(BootRun, EventsAreAttributedToTheImageHoldingTheCaller) {
  if (!HaveOvmf()) GTEST_SKIP() << "no " << kOvmf;
  simtest::ToolRun r = Boot({});
  ASSERT_EQ(r.status, 0) << r.err;
  // PlatformPei's InstallPeiMemory, its fw_cfg selector writes, SmmAccessPei
  // reading the host bridge's id: each by its own image, not the core.
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n +\d+  PlatformPei\+0x[0-9A-F]+ +InstallPeiMemory\(0x0AF78000, 0x4000000 bytes\) -> EFI_SUCCESS\n)")));
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n +\d+  PlatformPei\+0x[0-9A-F]+ +OUT 16 port 0x0510 <- 0x)")));
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n +\d+  SmmAccessPei\+0x[0-9A-F]+ +IN  16 PCI 00:00\.0 \+0x02 -> 0x29C0\n)")));
  // MP initialisation reads the local APIC's base from its MSR.
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n +\d+  CpuMpPei\+0x[0-9A-F]+ +RDMSR 0x0000001B IA32_APIC_BASE -> 0x00000000FEE00900\n)")));
  // No event of a PEIM is left without its image.
  EXPECT_FALSE(std::regex_search(r.out, std::regex(R"(\n +\d+  0x[0-9A-F]{8} )")));
}

TEST(BootRun, FailInjectsIntoOnePeimsCallsOnly) {
  if (!HaveOvmf()) GTEST_SKIP() << "no " << kOvmf;
  // S3Resume2Pei's one InstallPpi fails; the boot goes on (nothing needs
  // its PPI before DXE) and nobody else's InstallPpi is touched.
  simtest::ToolRun r = Boot({"--fail", "InstallPpi@S3Resume2Pei:EFI_OUT_OF_RESOURCES"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(S3Resume2Pei\+0x[0-9A-F]+ +InstallPpi\(gEfiPeiS3Resume2PpiGuid = 0x[0-9A-F]+\) -> EFI_OUT_OF_RESOURCES \(injected\))")));
  EXPECT_EQ(r.out.find("installed gEfiPeiS3Resume2PpiGuid"), std::string::npos);
  EXPECT_NE(r.out.find("installed gEfiPeiMmAccessPpiGuid"), std::string::npos);
  size_t injected = 0;
  for (size_t at = 0; (at = r.out.find("(injected)", at)) != std::string::npos; at++) injected++;
  EXPECT_EQ(injected, 1u);
  // A failure no call matches is not a test of anything: the run says so.
  simtest::ToolRun never = Boot({"-q", "--fail", "GetBootMode@NoSuchPeim"});
  EXPECT_EQ(never.status, 1);
  EXPECT_NE(never.err.find("[fail-not-fired] --fail GetBootMode@NoSuchPeim never fired"),
            std::string::npos);
}

TEST(BootRun, StopsWithANamedReason) {
  if (!HaveOvmf()) GTEST_SKIP() << "no " << kOvmf;
  struct Case {
    std::vector<std::string> args;
    int status;
    const char *err;
  } cases[] = {
      {{"--budget", "100000"}, 1, "[budget] still in the PEI phase after 100000 instructions"},
      // PlatformPei without its memory asserts and spins: the time limit ends it.
      {{"--fail", "InstallPeiMemory@PlatformPei", "--time-limit", "2"}, 1, "[time-limit]"},
      {{"--fail", "NoSuchService"}, 2, "'NoSuchService' is not a PEI service"},
      {{"--fail", "CpuIo"}, 2, "'CpuIo' is not a PEI service"},
      {{"--fail", "LocatePpi:NOT_A_STATUS"}, 2, "unknown status 'NOT_A_STATUS'"},
      {{"--platform", "usb"}, 2, "a boot runs on q35 only"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("-q");
    simtest::ToolRun r = Boot(args);
    EXPECT_EQ(r.status, c.status) << c.err << "\n" << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

TEST(BootRun, BadFirmwareImages) {
  // Not a firmware image: exit 2; a firmware image the stand-in cannot hand
  // over: exit 1; each with one named line.
  std::vector<uint8_t> ovmf;
  if (HaveOvmf()) {
    std::ifstream in(kOvmf, std::ios::binary);
    ovmf.assign(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<uint8_t> noise(0x4000);
  for (size_t i = 0; i < noise.size(); i++) noise[i] = uint8_t(i * 7 + 3);
  struct Case {
    std::string name;
    std::vector<uint8_t> bytes;
    int status;
    const char *err;
  } cases[] = {
      {"empty.fd", {}, 2, "not a firmware image"},
      {"odd-size.fd", std::vector<uint8_t>(1000, 0xFF), 2, "not a firmware image"},
      {"noise.fd", noise, 2, "not a firmware image"},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  if (!ovmf.empty()) {
    // The compressed main volume damaged inside its LZMA stream.
    std::vector<uint8_t> damaged = ovmf;
    for (size_t i = 0x200; i < 0x1200; i++) damaged[i] ^= 0x5A;
    all.push_back({"damaged-main.fd", damaged, 1, "cannot be unpacked"});
    // The main volume's image file made a raw file: no volume to unpack.
    std::vector<uint8_t> raw = ovmf;
    raw[0x78 + 18] = 0x01;  // file type of the file at 0x78
    all.push_back({"no-pei-core.fd", raw, 1, "no PEI core"});
  }
  for (const Case &c : all) {
    std::string path = simtest::ScratchFile("boot-" + c.name, c.bytes);
    simtest::ToolRun r = simtest::RunTool({"--boot", path, "--platform", "q35", "-q"});
    EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.name << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.name << ": " << r.err;
  }
}

TEST(BootRun, CoverageHasOneModuleForEveryImageThatRan) {
  if (!HaveOvmf()) GTEST_SKIP() << "no " << kOvmf;
  std::string path = simtest::ScratchFile("boot.drcov", {});
  simtest::ToolRun r = Boot({"-q", "--coverage", path});
  ASSERT_EQ(r.status, 0) << r.err;
  std::ifstream in(path, std::ios::binary);
  std::string file((std::istreambuf_iterator<char>(in)), {});
  std::smatch m;
  ASSERT_TRUE(std::regex_search(file, m, std::regex(R"(Module Table: version 2, count (\d+)\n)")));
  size_t modules = std::stoul(m[1]);
  // Every image the report lists (16 dispatches, two cores, the DXE core).
  EXPECT_EQ(modules, 19u);
  std::vector<uint32_t> sizes;
  std::regex row(R"(\n (\d+), 0x([0-9a-f]{8}), 0x([0-9a-f]{8}), 0x[0-9a-f]{8}, 0x00000000, 0x00000000, (\S+))");
  for (auto it = std::sregex_iterator(file.begin(), file.end(), row); it != std::sregex_iterator(); ++it)
    sizes.push_back(uint32_t(std::stoul((*it)[3], nullptr, 16) - std::stoul((*it)[2], nullptr, 16)));
  ASSERT_EQ(sizes.size(), modules);
  ASSERT_TRUE(std::regex_search(file, m, std::regex(R"(BB Table: (\d+) bbs\n)")));
  size_t blocks = std::stoul(m[1]);
  size_t start = m.position(0) + m.length(0);
  ASSERT_EQ(file.size() - start, blocks * 8);
  std::vector<size_t> perModule(modules);
  for (size_t i = 0; i < blocks; i++) {
    uint32_t offset;
    uint16_t size, id;
    memcpy(&offset, file.data() + start + 8 * i, 4);
    memcpy(&size, file.data() + start + 8 * i + 4, 2);
    memcpy(&id, file.data() + start + 8 * i + 6, 2);
    ASSERT_LT(id, modules);
    EXPECT_LE(uint64_t(offset) + size, sizes[id]) << "block " << i << " of module " << id;
    perModule[id]++;
  }
  // Every image that ran instructions has blocks (the DXE core's entry
  // block is where the run stops, before it runs).
  size_t withBlocks = 0;
  for (size_t n : perModule) withBlocks += n > 0;
  EXPECT_EQ(withBlocks, modules - 1);
}

TEST(BootRun, JsonCarriesTheSameDispatch) {
  if (!HaveOvmf()) GTEST_SKIP() << "no " << kOvmf;
  simtest::ToolRun text = Boot({"-q"});
  simtest::ToolRun json = Boot({"-q", "--format", "json"});
  ASSERT_EQ(json.status, 0) << json.err;
  std::vector<std::string> names;
  std::regex item(R"x(\{"name": "([^"]+)", "base": )x");
  for (auto it = std::sregex_iterator(json.out.begin(), json.out.end(), item);
       it != std::sregex_iterator(); ++it)
    names.push_back((*it)[1]);
  EXPECT_EQ(names, DispatchedNames(text.out));
  EXPECT_NE(json.out.find("\"reached_dxe\": true"), std::string::npos);
  EXPECT_EQ(json.out.find("\"trace\""), std::string::npos);  // --quiet
}

}  // namespace

namespace {

TEST(BootRun, HelpAndUnknownOptions) {
  // --help anywhere, even where --boot's value is due, prints the boot's
  // usage; an unknown option is bad input, one line, exit 2.
  simtest::ToolRun help = simtest::RunTool({"--boot", "--help"});
  EXPECT_EQ(help.status, 0) << help.err;
  EXPECT_EQ(help.out.rfind("Usage: peim-sim --boot FIRMWARE.fd --platform q35", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("--fail SERVICE[@PEIM][:STATUS]"), std::string::npos);
  simtest::ToolRun bad = simtest::RunTool({"--boot", kOvmf, "--platform", "q35", "--bogus"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--bogus"), std::string::npos) << bad.err;
  EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1) << bad.err;
}

}  // namespace
