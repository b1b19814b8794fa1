// peim-sim on bad and hostile input, run as a process: each case must end
// with its exit status (2 for input the tool refuses, 1 for an image that
// runs but is not sound) and one stderr line naming the problem, within
// bounded output and memory. The images are in tests/data/robustness/.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "test_support.h"

namespace {

using simtest::RunTool;
using simtest::ScratchFile;
using simtest::ToolRun;

struct BadCase {
  const char *name;
  // "@image" is the module image, "@data/NAME" a file of tests/data/robustness,
  // "@data2/NAME" one of tests/data/robustness2, "@dir" a directory, "@fifo"
  // a FIFO, "@empty" an empty file, "@quiet" a saved --quiet output, "@saved"
  // a saved text output, "@copy" a copy of the module image, "@platform" one
  // of G1-block.platform, "@g6a" the saved
  // output of G6-console-a.efi, "@map" the module's link map.
  std::vector<std::string> args;
  int status;
  std::vector<std::string> message;  // each appears in the one stderr line
  const char *output = "";           // status 1: appears on stdout
};
void PrintTo(const BadCase &c, std::ostream *os) { *os << c.name; }

// Bounds for a run that is stopped (status 1): whatever the budget, the
// trace keeps 50000 events, a few MiB of text.
constexpr size_t kMaxOutputBytes = 12u << 20;
constexpr long kMaxRssKb = 512 * 1024;

std::string Fifo() {
  std::string path = std::string(SIM_SCRATCH_DIR) + "/expect.fifo";
  if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) ADD_FAILURE() << "mkfifo " << path;
  return path;
}

std::string QuietOutput() {
  ToolRun saved = RunTool({"--quiet", USB_PEIM_IMAGE});
  EXPECT_EQ(saved.status, 0);
  return ScratchFile("quiet-output.txt", std::vector<uint8_t>(saved.out.begin(), saved.out.end()));
}

std::string SavedOutput(const std::string &name, const std::vector<std::string> &args) {
  ToolRun saved = RunTool(args);
  return ScratchFile(name, std::vector<uint8_t>(saved.out.begin(), saved.out.end()));
}

std::string Resolve(const std::string &arg) {
  if (arg == "@image") return USB_PEIM_IMAGE;
  if (arg == "@copy") return ScratchFile("module-copy.efi", simtest::ModuleBytes());
  if (arg == "@platform") {
    std::vector<uint8_t> text;
    std::string error;
    EXPECT_TRUE(pe::ReadFile(ROBUSTNESS2_DATA "/G1-block.platform", text, error)) << error;
    return ScratchFile("block-copy.platform", text);
  }
  if (arg == "@saved") return SavedOutput("saved-output.txt", {USB_PEIM_IMAGE});
  if (arg == "@g6a")
    return SavedOutput("g6-console-a.txt", {"--any-peim", ROBUSTNESS2_DATA "/G6-console-a.efi"});
  if (arg.rfind("@data2/", 0) == 0) return std::string(ROBUSTNESS2_DATA) + "/" + arg.substr(7);
  if (arg == "@map") return USB_PEIM_MAP;
  if (arg == "@dir") return SIM_SCRATCH_DIR;
  if (arg == "@fifo") return Fifo();
  if (arg == "@empty") return ScratchFile("empty.txt", {});
  if (arg == "@quiet") return QuietOutput();
  if (arg.rfind("@data/", 0) == 0) return std::string(ROBUSTNESS_DATA) + "/" + arg.substr(6);
  return arg;
}

const BadCase kCases[] = {
    // Register presets must lie inside their space at their width; offsets
    // near 4 GiB wrapped around the bounds check and wrote out of bounds.
    {"PciByteNear4GiB", {"--pci", "00:12.2+0xFFFFFFFF=0x12", "@image"}, 2,
     {"--pci 00:12.2+0xFFFFFFFF=0x12", "outside the 256-byte configuration space"}},
    {"PciDwordNear4GiB", {"--pci", "00:12.2+0xFFFFFFFD=0x12345678/32", "@image"}, 2,
     {"--pci 00:12.2+0xFFFFFFFD=0x12345678/32", "32-bit register at +0xFFFFFFFD"}},
    {"PciDwordPastTheEnd", {"--pci=00:12.2+0xFD=0/32", "@image"}, 2,
     {"--pci 00:12.2+0xFD=0/32", "outside"}},
    {"EhciMmioNear4GiB", {"--mmio", "00:12.2+0xFFFFFFFF=0x1", "@image"}, 2,
     {"--mmio 00:12.2+0xFFFFFFFF=0x1", "outside the 256-byte register file"}},
    {"OhciMmioDwordNear4GiB", {"--mmio", "00:14.5+0xFFFFFFFC=0x1/32", "@image"}, 2,
     {"--mmio 00:14.5+0xFFFFFFFC=0x1/32", "outside the 4096-byte register file"}},
    {"OhciMmioPastTheEnd", {"--mmio", "00:14.5+0x1000=1/8", "@image"}, 2,
     {"--mmio 00:14.5+0x1000=1/8", "outside"}},
    {"PciOffsetNegative", {"--pci", "00:12.2+-4=1", "@image"}, 2, {"--pci", "'-4'"}},
    {"PciFunctionWithBlank", {"--pci", " 0:12.2+4=1", "@image"}, 2, {"bad PCI function"}},

    // Inputs that are not regular files, or hold no trace.
    {"DirectoryAsImage", {"@dir"}, 2, {"is a directory"}},
    {"MissingImageWithANewline", {SIM_SCRATCH_DIR "/no\nsuch.efi"}, 2, {"no\\x0Asuch.efi", "cannot open"}},
    {"DirectoryAsExpect", {"--expect", "@dir", "@image"}, 2, {"--expect", "is a directory"}},
    {"DevZeroAsImage", {"/dev/zero"}, 2, {"/dev/zero", "character device"}},
    {"DevZeroAsExpect", {"--expect", "/dev/zero", "@image"}, 2, {"--expect", "character device"}},
    {"FifoAsExpect", {"--expect", "@fifo", "@image"}, 2, {"--expect", "FIFO"}},
    {"ExpectWithoutTrace", {"--expect", "@map", "@image"}, 2, {"--expect: no trace in"}},
    {"ExpectEmpty", {"--expect", "@empty", "@image"}, 2, {"no trace in"}},
    {"ExpectQuietOutput", {"--expect", "@quiet", "@image"}, 2, {"no trace in"}},
    {"ExpectImageItself", {"--expect=@image", "@image"}, 2, {"no trace in"}},

    // Images that run without end or misuse the platform: stopped, with
    // the reason, in bounded output and memory whatever the budget.
    {"PortLoopWithLargeBudget", {"--budget", "10000000", "@data/F13-port-loop.efi"}, 1,
     {"not clean", "[budget]"}, "trace truncated after 50000 events"},
    {"RepOutsdWithLargeBudget", {"--budget=3000000", "@data/F13-rep-outsd.efi"}, 1,
     {"not clean", "[budget]"}, "trace truncated after 50000 events"},
    {"PortLoopAsJson", {"--format", "json", "--budget", "10000000", "@data/F13-port-loop.efi"}, 1,
     {"[budget]"}, "\"trace_truncated\": true"},
    {"PagingAliasExec", {"@data/H-paging-alias-exec.efi"}, 1,
     {"[processor-control]", "MOV to CR3"}, "the run stops before it"},
    {"PagingCr0Cr3", {"@data/H-paging-cr0-cr3.efi"}, 1, {"[processor-control]"}},
    {"SlowConsumer256Calls", {"@data/H-slow-consumer-256-calls.efi"}, 1,
     {"[consumer-outputs]", "without writing ControllerType and BaseAddress"}},
    {"Spin", {"@data/H-spin.efi"}, 1, {"[budget]"}},
    // The same under the Foundation for any PEIM: the spin is named a dead
    // loop, the paging images still stop before the block that would page.
    {"SpinAnyPeim", {"--any-peim", "@data/H-spin.efi"}, 1, {"[dead-loop]"}},
    {"PagingAliasExecAnyPeim", {"--any-peim", "@data/H-paging-alias-exec.efi"}, 1,
     {"[processor-control]", "MOV to CR3"}},
    {"PortLoopAnyPeim", {"--any-peim", "--budget", "10000000", "@data/F13-port-loop.efi"}, 1,
     {"not clean"}},

    // Firmware input: hostile volumes and files are refused on one line or
    // not dispatched, never run into the reader's limits unbounded.
    {"LzmaBombVolume", {"--file", "58759340-0A30-4DFD-88F9-3E9274720402", "@data/F4-lzma-bomb-8x.fv"},
     2, {"F4-lzma-bomb-8x.fv"}},
    {"SectionCountBombVolume",
     {"--file", "58759340-0A30-4DFD-88F9-3E9274720402", "@data/F5-section-count-bomb.fv"}, 2,
     {"F5-section-count-bomb.fv"}},
    {"FileNotInVolume", {"--file", "58759340-0A30-4DFD-88F9-3E9274720402", "@data/pei.fv"}, 2,
     {"no file 58759340-0A30-4DFD-88F9-3E9274720402 in any of its volumes"}},
    {"VolumeAsLoneFile", {"@data/pei.fv"}, 2, {"nor a firmware file"}},
    {"FileWaitingForAPpi", {"@data/consumer.ffs"}, 1, {"not dispatchable", "not installed"}},

    // The command line.
    {"FailureThatNeverFires", {"--fail", "LocatePpi@2", "@image"}, 1,
     {"[fail-unused]", "LocatePpi was called once"}, "never took effect"},
    {"BootModeListsTheNames", {"--boot-mode=S3", "@image"}, 2,
     {"--boot-mode", "'S3'", "BOOT_ON_S3_RESUME", "BOOT_IN_RECOVERY_MODE"}},
    {"BudgetNotANumber", {"--budget=1e6", "@image"}, 2, {"--budget", "'1e6'"}},
    {"BudgetZero", {"--budget", "0", "@image"}, 2, {"--budget", "'0'", "out of range"}},
    {"BudgetTooLarge", {"--budget", "0x10000000001", "@image"}, 2, {"--budget", "out of range"}},
    {"BudgetEmptyAfterEquals", {"--budget=", "@image"}, 2, {"--budget", "empty value"}},
    {"BudgetMissing", {"@image", "--budget"}, 2, {"--budget needs a value"}},
    {"LoadAddressPast32Bits", {"--load-address", "0x1FFFC0240", "@image"}, 2,
     {"--load-address", "'0x1FFFC0240'", "out of range"}},
    {"RandomizeNegative", {"--randomize", "-1", "@image"}, 2, {"--randomize", "'-1'"}},
    {"RepeatWithSign", {"--repeat=+5", "@image"}, 2, {"--repeat", "'+5'"}},
    {"FailCallZero", {"--fail", "LocatePpi@0", "@image"}, 2, {"--fail LocatePpi@0", "call number"}},
    {"FailCallPast32Bits", {"--fail", "LocatePpi@4294967297", "@image"}, 2,
     {"--fail", "'4294967297'", "out of range"}},
    {"FailStatusWithBlank", {"--fail", "Stall: 7", "@image"}, 2, {"--fail", "unknown status ' 7'"}},
    {"FlagWithValue", {"--quiet=yes", "@image"}, 2, {"--quiet takes no value"}},
    {"FormatWithEquals", {"--format=xml", "@image"}, 2, {"--format", "'xml'"}},
    {"UnknownOptionWithValue", {"--frobnicate=1", "@image"}, 2, {"unknown option --frobnicate=1"}},
    {"TwoImages", {"@image", "@image"}, 2, {"more than one image"}},
    // An option's name where a value is due is not taken for the value.
    {"CoverageTakingAFlag", {"--coverage", "-q", "@image"}, 2,
     {"--coverage needs a value; '-q' is an option"}},
    {"PlatformTakingAFlag", {"--platform", "-q", "@image"}, 2,
     {"--platform needs a value; '-q' is an option"}},
    {"ExpectTakingAnOptionWithValue", {"--expect", "--budget=5", "@image"}, 2,
     {"--expect needs a value; '--budget=5' is an option"}},
    // Seconds are a count: the range is given in decimal, as --help has it.
    {"TimeLimitZero", {"--time-limit", "0", "@image"}, 2,
     {"--time-limit", "'0'", "(a whole number from 1 to 86400)"}},
    {"RepeatTooLarge", {"--repeat", "100000001", "@image"}, 2,
     {"--repeat", "(a whole number from 0 to 100000000)"}},

    // The coverage file never replaces what the run reads.
    {"CoverageOverTheImage", {"-q", "--coverage", "@copy", "@copy"}, 2,
     {"--coverage: the output is also an input"}},
    {"CoverageOverTheExpectation", {"-q", "--expect", "@saved", "--coverage", "@saved", "@image"},
     2, {"--coverage: the output is also an input"}},
    {"CoverageOverThePlatform",
     {"--platform", "@platform", "--coverage=@platform", "@image"}, 2,
     {"--coverage: the output is also an input"}},

    // A notify callback whose frame would go at an ESP in the device window
    // (EHCI 0's registers, a platform file's block): stopped, no host write.
    {"NotifyWithStackInEhciRegisters", {"--any-peim", "@data2/G1-devstack-ehci.efi"}, 1,
     {"[stack-outside]", "ESP 0xC00000A4"}, "not memory the module's stack may use"},
    {"NotifyWithStackInAPlatformBlock",
     {"--any-peim", "--platform", "@data2/G1-block.platform", "@data2/G1-devstack-block.efi"}, 1,
     {"[stack-outside]"}, "(device window)"},
    // CopyMem from registers reads them through the devices: the chipset
    // register's 0x80 (the console shows the copied byte, then the
    // processor's read), and nobody's address stops the run.
    {"CopyMemFromRegisters", {"--any-peim", "--mmio", "0xFED803EF=0x80", "@data2/G3-copymem-mmio.efi"},
     1, {"[unclaimed-mmio]", "0xD0000000"}, "CON   \"80 80\""},
    // Console text after a " ; " word is compared like the rest.
    {"ExpectComparesPastASemicolon", {"--any-peim", "--expect", "@g6a", "@data2/G6-console-b.efi"}, 1,
     {"the trace differs"}, "EHCI 1 FAILED"},
};

class RobustnessTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(RobustnessTest, EndsWithStatusAndOneLineNamingIt) {
  const BadCase &c = GetParam();
  std::vector<std::string> args;
  for (const std::string &a : c.args) {
    size_t eq = a.find("=@");
    args.push_back(eq == std::string::npos ? Resolve(a) : a.substr(0, eq + 1) + Resolve(a.substr(eq + 1)));
  }
  ToolRun r = RunTool(args);
  ASSERT_EQ(r.status, c.status) << r.err;
  ASSERT_FALSE(r.err.empty());
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  EXPECT_EQ(r.err.rfind("peim-sim: ", 0), 0u) << r.err;
  for (const std::string &part : c.message) EXPECT_NE(r.err.find(part), std::string::npos) << part << "\n" << r.err;
  if (c.status == 2) {
    EXPECT_EQ(r.out, "");
  } else {
    EXPECT_NE(r.out.find(c.output), std::string::npos) << c.output;
    EXPECT_LE(r.out.size(), kMaxOutputBytes);
  }
  EXPECT_LE(r.maxRssKb, kMaxRssKb);
}

INSTANTIATE_TEST_SUITE_P(BadInput, RobustnessTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<BadCase> &i) { return i.param.name; });

}  // namespace
