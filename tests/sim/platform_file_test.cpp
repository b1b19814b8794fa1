// The platform description parser: what a file declares lands where the
// chipset model reads it, and every malformed or out-of-bounds line is
// refused as FILE:LINE: problem.
#include <gtest/gtest.h>

#include <string>

#include "platform_file.h"

namespace peimsim {
namespace {

uint32_t Config32(const FunctionDescription &f, uint32_t offset) {
  return uint32_t(f.config[offset]) | f.config[offset + 1] << 8 | f.config[offset + 2] << 16 |
         uint32_t(f.config[offset + 3]) << 24;
}

TEST(PlatformFile, ContentsLandWhereDeclared) {
  const std::string text =
      "# a comment line\n"
      "console 0x3F8   # trailing comment\r\n"
      "mmio 0xFEC00000 0x20 \"ioapic\"\n"
      "regs 0xFEC00000 0x10/32 = 0x12345678 writable 0xFFFF0000\n"
      "pci 01:1f.7 \"NIC 0\" bar0=0x40\n"
      "\t config 01:1F.7 0x00/32 = 0xABCD8086\n"
      "config 01:1f.7 0x10/32 = 0xFEB0001F\n"
      "config 01:1f.7 0x04/16 = 0x0002 writable 0x0006\n"
      "config 01:1f.7 0x80..0x83 = 0x5A writable 0xF0\n"
      "regs 01:1f.7 0x3C/8 = 0x77 writable 0\n"
      "pci 00:00.0 \"host bridge\"\n";
  PlatformDescription d;
  std::string error;
  ASSERT_TRUE(ParsePlatform(text, "t.platform", d, error)) << error;
  EXPECT_TRUE(d.console);
  EXPECT_EQ(d.consolePort, 0x3F8);
  ASSERT_EQ(d.regions.size(), 1u);
  EXPECT_EQ(d.regions[0].name, "ioapic");
  EXPECT_EQ(d.regions[0].base, 0xFEC00000u);
  ASSERT_EQ(d.regions[0].regs.size(), 0x20u);
  EXPECT_EQ(d.regions[0].regs[0x10], 0x78);
  EXPECT_EQ(d.regions[0].regs[0x13], 0x12);
  EXPECT_EQ(d.regions[0].regsWriteMask[0x11], 0x00);
  EXPECT_EQ(d.regions[0].regsWriteMask[0x12], 0xFF);
  EXPECT_EQ(d.regions[0].regsWriteMask[0x00], 0xFF);  // storage by default

  ASSERT_EQ(d.functions.size(), 2u);
  const FunctionDescription &nic = d.functions[0];
  EXPECT_EQ(nic.name, "NIC 0");
  EXPECT_EQ(nic.bus, 1);
  EXPECT_EQ(nic.device, 0x1F);
  EXPECT_EQ(nic.function, 7);
  EXPECT_FALSE(nic.ehci);
  EXPECT_EQ(nic.barSize, 0x40u);
  EXPECT_EQ(Config32(nic, 0), 0xABCD8086u);
  // BAR0's size and type bits read 0 and cannot be written.
  EXPECT_EQ(Config32(nic, 0x10), 0xFEB00000u);
  EXPECT_EQ(nic.configWriteMask[0x10], 0xC0);
  EXPECT_EQ(nic.configWriteMask[0x13], 0xFF);
  EXPECT_EQ(nic.config[0x04], 0x02);
  EXPECT_EQ(nic.configWriteMask[0x04], 0x06);
  EXPECT_EQ(nic.configWriteMask[0x05], 0x00);
  EXPECT_EQ(nic.configWriteMask[0x08], 0x00);  // configuration space is read-only by default
  for (int r = 0x80; r <= 0x83; r++) {
    EXPECT_EQ(nic.config[r], 0x5A);
    EXPECT_EQ(nic.configWriteMask[r], 0xF0);
  }
  ASSERT_EQ(nic.regs.size(), 0x40u);
  EXPECT_EQ(nic.regs[0x3C], 0x77);
  EXPECT_EQ(nic.regsWriteMask[0x3C], 0);
  EXPECT_EQ(d.functions[1].barSize, 0u);
  EXPECT_TRUE(d.functions[1].regs.empty());
}

TEST(PlatformFile, DefaultIsTheUsbChipset) {
  PlatformDescription d;
  std::string error;
  ASSERT_TRUE(ParsePlatform(DefaultPlatformText(), kDefaultPlatformName, d, error)) << error;
  ASSERT_EQ(d.functions.size(), 7u);
  int ehci = 0;
  for (const FunctionDescription &f : d.functions) ehci += f.ehci;
  EXPECT_EQ(ehci, 3);
  EXPECT_EQ(d.functions[0].name, "EHCI 0");
  EXPECT_EQ(d.functions[6].name, "OHCI 3");
  ASSERT_EQ(d.regions.size(), 1u);
  EXPECT_EQ(d.regions[0].base, 0xFED803EDu);
  EXPECT_EQ(d.regions[0].size, 5u);
  EXPECT_TRUE(d.console);
  EXPECT_EQ(d.consolePort, 0x402);
  EXPECT_EQ(DefaultPlatform().functions.size(), 7u);
}

TEST(PlatformFile, BadLinesAreRefusedWithTheirLine) {
  const std::string pci = "pci 00:12.2 \"EHCI 0\" ehci bar0=0x100\n";
  const std::string mmio = "mmio 0xFED80000 0x100 \"chipset\"\n";
  struct Case {
    std::string text;
    std::string error;  // the message, up to the number reader's own explanation
  };
  const Case kCases[] = {
      {"bogus 1\n", "p:1: unknown statement 'bogus' (pci, config, mmio, regs, console, device, "
                     "config-write, processor, ram, fwcfg, fwcfg-file or field)"},
      {"\n\npci 00:12.2\n", "p:3: expected pci BB:DD.F \"NAME\" [ehci] [bar0=SIZE]"},
      {"pci 00:20.0 \"x\"\n",
       "p:1: bad PCI function '00:20.0' (expected BB:DD.F in hex, e.g. 00:12.2)"},
      {"pci 00:12.8 \"x\"\n",
       "p:1: bad PCI function '00:12.8' (expected BB:DD.F in hex, e.g. 00:12.2)"},
      {"pci 00:12.2 x\n", "p:1: expected a \"quoted name\", not 'x'"},
      {"pci 00:12.2 \"\"\n", "p:1: a name has 1 to 32 characters"},
      {"pci 00:12.2 \"" + std::string(33, 'n') + "\"\n", "p:1: a name has 1 to 32 characters"},
      {"pci 00:12.2 \"open\n", "p:1: a name's closing quote is missing"},
      {"pci 00:12.2 \"a\"b\n", "p:1: blank expected after a quoted name"},
      {pci + pci, "p:2: PCI function 00:12.2 is declared twice"},
      {"pci 00:12.2 \"x\" ehci ehci\n",
       "p:1: unexpected 'ehci' (pci takes ehci and bar0=SIZE, each once)"},
      {"pci 00:12.2 \"x\" bar0=0x30\n",
       "p:1: bar0 size 0x30 is not a power of two from 16 to 65536"},
      {"pci 00:12.2 \"x\" bar0=8\n", "p:1: bar0 size 8 is not a power of two from 16 to 65536"},
      {"pci 00:12.2 \"x\" bar0=0x20000\n",
       "p:1: bar0 size: '0x20000' is out of range"},
      {"config 00:12.2 0x00/32 = 1\n",
       "p:1: PCI function 00:12.2 is not declared (a pci line must come first)"},
      {pci + "config 00:12.2 0x00 = 1\n",
       "p:2: register '0x00' needs a width (OFFSET/8, /16 or /32) or a range FIRST..LAST"},
      {pci + "config 00:12.2 0x00/24 = 1\n", "p:2: width '24' is not 8, 16 or 32"},
      {pci + "config 00:12.2 0xFE/32 = 1\n",
       "p:2: register 0xFE/32 lies outside the 256-byte space"},
      {pci + "config 00:12.2 0xFFFFFFFF/32 = 1\n",
       "p:2: register 0xFFFFFFFF/32 lies outside the 256-byte space"},
      {pci + "config 00:12.2 0x40..0x100 = 1\n",
       "p:2: register 0x40..0x100 lies outside the 256-byte space"},
      {pci + "config 00:12.2 0x80..0x40 = 1\n", "p:2: range 0x80..0x40 ends before it starts"},
      {pci + "config 00:12.2 0x40..0x4F = 0x100\n",
       "p:2: value (one byte, repeated over the range): '0x100' is out of range"},
      {pci + "config 00:12.2 0x04/16 = 0x10000\n",
       "p:2: value: '0x10000' is out of range"},
      {pci + "config 00:12.2 0x04/16 = -1\n", "p:2: value: '-1' is not a number"},
      {pci + "config 00:12.2 0x04/16 0\n", "p:2: expected REGISTER = VALUE [writable MASK]"},
      {pci + "config 00:12.2 0x04/16 = 0 mask 1\n",
       "p:2: expected REGISTER = VALUE [writable MASK]"},
      {pci + "config 00:12.2 0x10/32 = 0 writable 0xFFFFFFFF\n",
       "p:2: the writable bits of BAR0 follow from bar0=SIZE"},
      {"pci 00:12.2 \"x\"\nregs 00:12.2 0/8 = 1\n",
       "p:2: PCI function 00:12.2 has no register file (give it bar0=SIZE)"},
      {pci + "regs 00:12.2 0xFD/32 = 1\n", "p:2: register 0xFD/32 lies outside the 256-byte space"},
      {"regs 0xFED80000 0/8 = 1\n",
       "p:1: no register block starts at 0xFED80000 (an mmio line must come first)"},
      {"mmio 0x1000 4 \"low\"\n",
       "p:1: register block 0x00001000+4 lies outside the device window 0xC0000000-0xFEFFFFFF"},
      {"mmio 0xFEFFFFFE 4 \"edge\"\n",
       "p:1: register block 0xFEFFFFFE+4 lies outside the device window 0xC0000000-0xFEFFFFFF"},
      {"mmio 0xFED80000 0 \"empty\"\n", "p:1: a register block has at least one byte"},
      {mmio + "mmio 0xFED800FF 1 \"b\"\n",
       "p:2: register block 0xFED800FF overlaps \"chipset\" at 0xFED80000"},
      {mmio + "regs 0xFED80000 0xFF/16 = 1\n",
       "p:2: register 0xFF/16 lies outside the 256-byte space"},
      {"field config 00:12.2 0x04/16 \"Command\"\n",
       "p:1: PCI function 00:12.2 is not declared (a pci line must come first)"},
      {pci + "field status 00:12.2 0x04/16 \"Command\"\n",
       "p:2: expected field config|regs BB:DD.F|*|ADDRESS OFFSET/WIDTH \"NAME\""},
      {pci + "field config 0xFED80000 0x04/16 \"Command\"\n",
       "p:2: a configuration register belongs to a PCI function (BB:DD.F or *)"},
      {pci + "field config * 0x04..0x05 \"Command\"\n",
       "p:2: a named register is OFFSET/8, /16 or /32, not a range"},
      {pci + "field config * 0xFF/16 \"Command\"\n",
       "p:2: register 0xFF/16 lies outside the 256-byte space"},
      {pci + "field config * 0x04/16 \"Command\" MEM=16\n",
       "p:2: field MEM: bit: '16' is out of range"},
      {pci + "field config * 0x04/16 \"Command\" LT=3:7\n",
       "p:2: field LT: bits 3:7 are HI:LO, the high one first"},
      {pci + "field config * 0x04/16 \"Command\" MEM=1 BM=1\n", "p:2: field BM overlaps MEM"},
      {pci + "field config * 0x04/16 \"Command\" MEM=1 MEM=2\n", "p:2: field MEM is named twice"},
      {pci + "field config * 0x04/16 \"Command\" 1BAD=1\n",
       "p:2: bit field '1BAD=1' is not NAME=BIT or NAME=HI:LO"},
      {pci + "field config * 0x04/16 \"Command\" MEM\n",
       "p:2: bit field 'MEM' is not NAME=BIT or NAME=HI:LO"},
      {pci + "field config * 0x04/16 \"Command\"\nfield config * 0x05/8 \"High\"\n",
       "p:3: register \"High\" overlaps \"Command\" of line 2"},
      {"pci 00:12.2 \"x\"\nfield regs 00:12.2 0/8 \"R\"\n",
       "p:2: PCI function 00:12.2 has no register file (give it bar0=SIZE)"},
      {mmio + "field regs 0xFED80000 0xFF/16 \"R\"\n",
       "p:2: register 0xFF/16 lies outside the 256-byte space"},
      {"console\n", "p:1: expected console PORT"},
      {"console 0x10000\n", "p:1: console port: '0x10000' is out of range"},
      {"console 0xCFC\n",
       "p:1: the console port may not overlap the PCI configuration ports 0xCF8-0xCFF"},
      {"console 0x402\nconsole 0x403\n", "p:2: a second console"},
      {"pci 00:12.2 \"x\x01\"\n", "p:1: byte 0x01 is not printable ASCII"},
      {"# caf\xC3\xA9\n", "p:1: byte 0xC3 is not printable ASCII"},
      {std::string(2000, ' ') + "\n", "p:1: line longer than 1024 bytes"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.text.substr(0, 80));
    PlatformDescription d;
    d.console = true;  // untouched on failure
    std::string error;
    EXPECT_FALSE(ParsePlatform(c.text, "p", d, error));
    EXPECT_EQ(error.substr(0, c.error.size()), c.error);
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_TRUE(d.console);
  }
}

TEST(PlatformFile, BoundsOnFunctionsAndBlocks) {
  std::string functions, blocks;
  for (size_t i = 0; i <= kMaxPlatformFunctions; i++) {
    char line[64];
    snprintf(line, sizeof line, "pci %02zX:%02zX.%zu \"f\"\n", i / 256, i / 8 % 32, i % 8);
    functions += line;
  }
  for (size_t i = 0; i <= kMaxPlatformRegions; i++) {
    char line[64];
    snprintf(line, sizeof line, "mmio 0x%08zX 0x10 \"r\"\n", 0xD0000000 + 0x100 * i);
    blocks += line;
  }
  PlatformDescription d;
  std::string error;
  EXPECT_FALSE(ParsePlatform(functions, "p", d, error));
  EXPECT_EQ(error, "p:65: more than 64 PCI functions");
  EXPECT_FALSE(ParsePlatform(blocks, "p", d, error));
  EXPECT_EQ(error, "p:17: more than 16 register blocks");
  EXPECT_FALSE(ParsePlatform(std::string(kMaxPlatformFileBytes + 1, '\n'), "p", d, error));
  EXPECT_EQ(error, "p: larger than 1048576 bytes");
}

TEST(PlatformFile, ReadsOnlyRegularFiles) {
  PlatformDescription d;
  std::string error;
  EXPECT_FALSE(ReadPlatformFile("/", d, error));
  EXPECT_NE(error.find("/: "), std::string::npos) << error;
  EXPECT_FALSE(ReadPlatformFile("/dev/zero", d, error));
  EXPECT_FALSE(ReadPlatformFile("/nonexistent/x.platform", d, error));
}

}  // namespace
}  // namespace peimsim
