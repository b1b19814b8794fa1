// peim-sim's --platform, --disasm and the debug console, run as a process
// on small images of their own and on the module: what a described platform
// changes in the trace and the checks, and how bad descriptions are refused.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using simtest::RunTool;
using simtest::ScratchFile;
using simtest::ToolRun;

std::string Text(const std::string &name, const std::string &text) {
  return ScratchFile(name, std::vector<uint8_t>(text.begin(), text.end()));
}

// Code that reads the vendor and device ids of PCI 00:1F.3 and writes
// "hello\n" and "tail" (no line break) to the debug console, then returns 0.
std::vector<uint8_t> ConsoleAndConfigCode() {
  std::vector<uint8_t> c = {
      0xBA, 0xF8, 0x0C, 0x00, 0x00,  // mov edx, 0xCF8
      0xB8, 0x00, 0xFB, 0x00, 0x80,  // mov eax, 0x8000FB00 (00:1F.3 +0x00)
      0xEF,                          // out dx, eax
      0xB2, 0xFC,                    // mov dl, 0xFC
      0xED,                          // in eax, dx
      0x66, 0xBA, 0x02, 0x04,        // mov dx, 0x402
  };
  for (char ch : std::string("hello\ntail")) {
    c.push_back(0xB0);  // mov al, ch
    c.push_back(uint8_t(ch));
    c.push_back(0xEE);  // out dx, al
  }
  c.insert(c.end(), {0x31, 0xC0, 0xC3});  // xor eax, eax; ret
  return c;
}

const char kSmbusPlatform[] =
    "# one function, no register file\n"
    "console 0x402\n"
    "pci 00:1f.3 \"SMBus\"\n"
    "config 00:1f.3 0x00/32 = 0x1E221F1F\n";

bool EndsWith(const std::string &s, const std::string &end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

TEST(PlatformCli, DescribedFunctionAnswersAndConsoleShowsLines) {
  std::string image = ScratchFile("console.efi", simtest::BuildImage(ConsoleAndConfigCode()));
  std::string platform = Text("smbus.platform", kSmbusPlatform);
  ToolRun r = RunTool({"--platform", platform, image});
  std::vector<std::string> trace = simtest::TraceLines(r.out);
  ASSERT_EQ(trace.size(), 4u) << r.out;
  EXPECT_NE(trace[0].find("CONFIG_ADDRESS <- PCI 00:1F.3 +0x00"), std::string::npos);
  EXPECT_NE(trace[1].find("0x1E221F1F  PCI 00:1F.3 +0x00 VendorId/DeviceId (SMBus)"),
            std::string::npos)
      << trace[1];
  // The console's bytes come as lines, the last one flushed at the return.
  EXPECT_NE(trace[2].find("CON   \"hello\""), std::string::npos) << trace[2];
  EXPECT_NE(trace[3].find("CON   \"tail\""), std::string::npos) << trace[3];
  EXPECT_EQ(trace[2].find("  ; "), std::string::npos);  // no --disasm, no instruction column
  EXPECT_NE(r.out.find("violations    none"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("12 I/O port (1 in, 11 out)"), std::string::npos) << r.out;

  ToolRun json = RunTool({"--platform", platform, "--format", "json", image});
  EXPECT_NE(json.out.find("\"kind\": \"console\", \"text\": \"hello\""), std::string::npos)
      << json.out;

  // The built-in platform has no 00:1F.3: the same code reads all ones and
  // is told so, at the IN itself, with the instruction shown.
  ToolRun builtin = RunTool({image});
  EXPECT_EQ(builtin.status, 1);
  std::string in = "+0x" + std::string("020D");  // kCodeRva 0x200 + 13
  EXPECT_NE(builtin.out.find("0xFFFFFFFF  PCI 00:1F.3 +0x00 (absent function)"),
            std::string::npos);
  EXPECT_NE(builtin.out.find("    " + in + "    [absent-function]"), std::string::npos)
      << builtin.out;
  EXPECT_NE(builtin.out.find("a function that is not there (at "), std::string::npos);
  EXPECT_NE(builtin.out.find(": in eax, dx)"), std::string::npos) << builtin.out;
}

TEST(PlatformCli, DisasmColumnIsIgnoredByExpect) {
  std::string image = ScratchFile("console.efi", simtest::BuildImage(ConsoleAndConfigCode()));
  std::string platform = Text("smbus.platform", kSmbusPlatform);
  ToolRun r = RunTool({"--disasm", "--platform", platform, image});
  std::vector<std::string> trace = simtest::TraceLines(r.out);
  ASSERT_EQ(trace.size(), 4u) << r.out;
  EXPECT_TRUE(EndsWith(trace[0], "  ; out dx, eax")) << trace[0];
  EXPECT_TRUE(EndsWith(trace[1], "  ; in eax, dx")) << trace[1];
  EXPECT_TRUE(EndsWith(trace[2], "  ; out dx, al")) << trace[2];
  // A saved --disasm output serves as an expectation for a run without it,
  // and the other way round.
  std::string saved = Text("disasm.txt", r.out);
  EXPECT_EQ(RunTool({"--expect", saved, "--platform", platform, image}).status, 0);
  std::string plain = Text("plain.txt", RunTool({"--platform", platform, image}).out);
  EXPECT_EQ(RunTool({"--disasm", "--expect", plain, "--platform", platform, image}).status, 0);

  ToolRun json = RunTool({"--disasm", "--format", "json", "--platform", platform, image});
  EXPECT_NE(json.out.find("\"instruction\": \"in eax, dx\""), std::string::npos) << json.out;
}

std::string DefaultPlatformText() {
  std::string text;
  FILE *f = fopen(SIM_SOURCE_DIR "/platforms/usb-chipset.platform", "rb");
  for (int c; f && (c = fgetc(f)) != EOF;) text += char(c);
  if (f) fclose(f);
  return text;
}

// The lines of the trace holding every one of the words.
std::vector<std::string> Lines(const std::vector<std::string> &trace,
                               std::initializer_list<const char *> words) {
  std::vector<std::string> found;
  for (const std::string &l : trace) {
    bool all = true;
    for (const char *w : words) all = all && l.find(w) != std::string::npos;
    if (all) found.push_back(l);
  }
  return found;
}

// Registers named in the platform file show their names and the fields the
// access holds, decoded from the value read or written.
TEST(PlatformCli, NamedRegistersShowTheirFields) {
  // The built-in file names Command in every function: the module turns on
  // memory decoding in the EHCI functions, and bus mastering too in the OHCI
  // ones, with byte writes to the 16-bit register.
  std::vector<std::string> builtin = simtest::TraceLines(RunTool({"--no-map", USB_PEIM_IMAGE}).out);
  EXPECT_EQ(Lines(builtin, {"out8", "+0x04 Command[7:0] (EHCI", ") {MEM}"}).size(), 3u);
  EXPECT_EQ(Lines(builtin, {"out8", "+0x04 Command[7:0] (OHCI", ") {MEM BM}"}).size(), 4u);
  EXPECT_EQ(Lines(builtin, {"in8", "+0x04 Command[7:0] (", ") {}"}).size(), 7u);

  std::string text = DefaultPlatformText() +
                     // one function's own name for a register every function names
                     "field config 00:12.2 0x04/8 \"Cmd0\" M=1\n"
                     // two registers in one 16-bit access, a field in the upper one
                     "field config * 0x0C/8 \"CLS\"\n"
                     "field config * 0x0D/8 \"LT\" TIMER=7:0\n"
                     // an EHCI register the module clears and sets bits of
                     "field regs * 0xB4/32 \"PortX\" B6=6 B7=7 B12=12\n"
                     // the chipset word at 0xFED803F0 in the block at 0xFED803ED
                     "field regs 0xFED803ED 0x03/16 \"Word\" LOW=1:0 B2=2 B7=7 B8=8 B9=9\n";
  ASSERT_FALSE(text.empty());
  std::string file = Text("named.platform", text);
  ToolRun r = RunTool({"--no-map", "--platform", file, USB_PEIM_IMAGE});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> trace = simtest::TraceLines(r.out);
  EXPECT_EQ(Lines(trace, {"out8", "+0x04 Cmd0 (EHCI 0) {M}"}).size(), 1u);
  EXPECT_EQ(Lines(trace, {"out8", "+0x04 Command[7:0] (EHCI 1) {MEM}"}).size(), 1u);
  EXPECT_EQ(Lines(trace, {"out16", "0x4008", "+0x0C CLS/LT (EHCI 0) {TIMER=0x40}"}).size(), 1u);
  // 0xB4: bit 12 and 7 cleared, 6 set; then 12 set (read back with 6).
  std::vector<std::string> port = Lines(trace, {"EHCI 0 MMIO +0xB4 PortX"});
  ASSERT_EQ(port.size(), 4u) << r.out;
  EXPECT_NE(port[0].find("rd32   0xF00080B4  0x00000000  EHCI 0 MMIO +0xB4 PortX {}"),
            std::string::npos) << port[0];
  EXPECT_NE(port[1].find("wr32   0xF00080B4  0x00000040  EHCI 0 MMIO +0xB4 PortX {B6}"),
            std::string::npos) << port[1];
  EXPECT_NE(port[3].find("0x00001040  EHCI 0 MMIO +0xB4 PortX {B6 B12}"), std::string::npos)
      << port[3];
  EXPECT_EQ(Lines(trace, {"wr16", "0x0384", "chipset 0xFED803F0-F1 Word {LOW=0x0 B2 B7 B8 B9}"})
                .size(),
            1u);
  // A byte of the word: only the fields inside it.
  EXPECT_EQ(Lines(trace, {"0xFED803EF", "Word"}).size(), 0u);
  // JSON gives the register and every field it holds whole, set or not.
  ToolRun json = RunTool({"--no-map", "--format", "json", "--platform", file, USB_PEIM_IMAGE});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find("\"value\": 2, \"target\": \"PCI 00:12.2 +0x04 Cmd0 (EHCI 0) {M}\", "
                          "\"register\": \"Cmd0\", \"fields\": {\"M\": 1}"),
            std::string::npos);
  EXPECT_NE(json.out.find("\"register\": \"PortX\", \"fields\": {\"B6\": 1, \"B7\": 0, \"B12\": 1}"),
            std::string::npos);
  // --dump shows each named register the run touched at its final value.
  ToolRun dump = RunTool({"--no-map", "--dump", "--platform", file, USB_PEIM_IMAGE});
  ASSERT_EQ(dump.status, 0) << dump.err;
  std::string registers = dump.out.substr(dump.out.find("Registers at the end"));
  EXPECT_NE(registers.find("PCI 00:12.0 (OHCI 0) configuration space\n"), std::string::npos);
  EXPECT_NE(registers.find("    Command = 0x0006 {MEM BM}\n"), std::string::npos) << registers;
  EXPECT_NE(registers.find("    Cmd0 = 0x02 {M}\n"), std::string::npos) << registers;
  EXPECT_NE(registers.find("    PortX = 0x00001040 {B6 B12}\n"), std::string::npos) << registers;
  EXPECT_NE(registers.find("    Word = 0x0384 {LOW=0x0 B2 B7 B8 B9}\n"), std::string::npos)
      << registers;
}

TEST(PlatformCli, ModuleTraceOnTheBuiltInFileAndOnACopyOfIt) {
  // The built-in description, given as a file, makes the same run.
  ToolRun builtin = RunTool({USB_PEIM_IMAGE});
  ASSERT_EQ(builtin.status, 0) << builtin.err;
  std::string copy = ScratchFile("usb-chipset.platform", [] {
    std::vector<uint8_t> b;
    FILE *f = fopen(SIM_SOURCE_DIR "/platforms/usb-chipset.platform", "rb");
    for (int c; f && (c = fgetc(f)) != EOF;) b.push_back(uint8_t(c));
    if (f) fclose(f);
    return b;
  }());
  ToolRun described = RunTool({"--platform", copy, USB_PEIM_IMAGE});
  EXPECT_EQ(described.status, 0) << described.err;
  EXPECT_EQ(simtest::TraceLines(described.out), simtest::TraceLines(builtin.out));
  EXPECT_GT(simtest::TraceLines(builtin.out).size(), 100u);

  // Without the chipset's register block the module's first accesses are
  // unclaimed, each shown with its instruction.
  std::string noBlock = Text("no-block.platform", "pci 00:12.2 \"EHCI 0\" ehci bar0=0x100\n");
  ToolRun without = RunTool({"--platform", noBlock, USB_PEIM_IMAGE});
  EXPECT_EQ(without.status, 1);
  EXPECT_NE(without.out.find("which no device claims (at 0x"), std::string::npos);
  EXPECT_NE(without.out.find("[unclaimed-mmio]     read of 1 byte at 0xFED803EF, which no "
                             "device claims (at 0xFFFC"),
            std::string::npos)
      << without.out;
  EXPECT_NE(without.out.find(": mov al, byte ptr ["), std::string::npos) << without.out;
}

TEST(PlatformCli, BadDescriptionsAndOutputsAreBadInput) {
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string message;  // the whole stderr line
  };
  std::string bad = Text("bad.platform", "console 0x402\n\npci 00:1f.3 SMBus\n");
  std::string smbus = Text("smbus.platform", kSmbusPlatform);
  std::string dir = std::string(SIM_SCRATCH_DIR) + "/coverage-dir";
  mkdir(dir.c_str(), 0755);
  const Case kCases[] = {
      {"ParseError", {"--platform", bad, USB_PEIM_IMAGE},
       "peim-sim: " + bad + ":3: expected a \"quoted name\", not 'SMBus'\n"},
      {"MissingFile", {"--platform", bad + ".missing", USB_PEIM_IMAGE}, ""},
      {"Directory", {"--platform", SIM_SCRATCH_DIR, USB_PEIM_IMAGE}, ""},
      {"EmptyName", {"--platform=", USB_PEIM_IMAGE},
       "peim-sim: --platform: empty value after '='\n"},
      {"PresetOnAbsentFunction", {"--platform", smbus, "--pci", "00:12.2+0x40=1", USB_PEIM_IMAGE},
       "peim-sim: --pci 00:12.2+0x40=1: no modelled PCI function 00:12.2\n"},
      {"PresetOnDescribedFunction",
       {"--platform", smbus, "--pci", "00:1F.3+0x100=1", USB_PEIM_IMAGE},
       "peim-sim: --pci 00:1F.3+0x100=1: the 32-bit register at +0x100 lies outside the 256-byte "
       "configuration space\n"},
      {"NoBlockForMmio", {"--platform", smbus, "--mmio", "0xFED803EF=1", USB_PEIM_IMAGE},
       "peim-sim: --mmio 0xFED803EF=1: no chipset register at this address (the platform has "
       "none)\n"},
      {"CoverageIntoDirectory", {"--coverage", dir, USB_PEIM_IMAGE}, ""},
      {"DisasmWithValue", {"--disasm=1", USB_PEIM_IMAGE}, "peim-sim: --disasm takes no value\n"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    ToolRun r = RunTool(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    if (!c.message.empty()) {
      EXPECT_EQ(r.err, c.message);
    }
  }
}

}  // namespace
