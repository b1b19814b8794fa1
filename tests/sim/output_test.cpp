// peim-sim's views of a run, on the module image run as a process: the PCI
// trace (--trace pci), the event filters (--only) and the register dump
// (--dump).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using simtest::RunTool;

int Count(const std::vector<std::string> &lines, const std::string &what) {
  int n = 0;
  for (const std::string &l : lines) n += l.find(what) != std::string::npos;
  return n;
}

TEST(SimOutput, PciTraceIsOneLinePerConfigurationAccess) {
  auto ports = RunTool({USB_PEIM_IMAGE});
  auto pci = RunTool({"--trace", "pci", USB_PEIM_IMAGE});
  ASSERT_EQ(ports.status, 0) << ports.err;
  ASSERT_EQ(pci.status, 0) << pci.err;
  std::vector<std::string> a = simtest::TraceLines(ports.out), b = simtest::TraceLines(pci.out);
  int addressWrites = Count(a, "CONFIG_ADDRESS <- PCI");
  int dataAccesses = 0;
  std::regex data(R"(IO +(in|out)\d+ +0x0CF[C-F] +0x[0-9A-F]+ +PCI )");
  for (const std::string &l : a) dataAccesses += std::regex_search(l, data);
  ASSERT_GT(addressWrites, 0);
  ASSERT_GT(dataAccesses, 0);
  // The CONFIG_ADDRESS writes go; each data access becomes one PCI line.
  EXPECT_EQ(Count(b, "CONFIG_ADDRESS"), 0);
  EXPECT_EQ(b.size(), a.size() - size_t(addressWrites));
  std::regex line(R"(^ +(\d+) +\+0x[0-9A-F]{4} +(?:PciUpdateAt<\d+>\+0x[0-9A-F]+ +)?PCI +(rd|wr)(8|16|32) +00:[0-9A-F]{2}\.[0-7] @0x[0-9A-F]{2} +0x[0-9A-F]+)");
  int pciLines = 0;
  for (const std::string &l : b) pciLines += std::regex_search(l, line);
  EXPECT_EQ(pciLines, dataAccesses);
  // The same event keeps its number and its value in both views.
  std::smatch m;
  for (const std::string &l : b) {
    if (!std::regex_search(l, m, line)) continue;
    size_t number = std::stoul(m[1]);
    ASSERT_LE(number, a.size());
    EXPECT_NE(a[number - 1].find(" 0x0CF"), std::string::npos) << a[number - 1] << "\n" << l;
  }
  // The summary counts every access alike.
  EXPECT_EQ(ports.out.substr(ports.out.find("Summary")), pci.out.substr(pci.out.find("Summary")));
}

struct FilterCase {
  const char *name;
  std::vector<std::string> only;
  // Every line shown must hold one of these.
  std::vector<std::string> each;
  // Lines that must not be shown.
  const char *never;
};

class SimOutputFilter : public testing::TestWithParam<FilterCase> {};

TEST_P(SimOutputFilter, ShowsOnlyTheSelectedEvents) {
  const FilterCase &c = GetParam();
  std::vector<std::string> args;
  for (const std::string &o : c.only) args.insert(args.end(), {"--only", o});
  args.push_back(USB_PEIM_IMAGE);
  auto all = RunTool({USB_PEIM_IMAGE});
  auto some = RunTool(args);
  ASSERT_EQ(some.status, 0) << some.err;
  std::vector<std::string> full = simtest::TraceLines(all.out), shown = simtest::TraceLines(some.out);
  ASSERT_FALSE(shown.empty()) << some.out;
  EXPECT_LT(shown.size(), full.size());
  size_t selected = 0;
  for (const std::string &l : full) {
    bool any = false;
    for (const std::string &w : c.each) any |= l.find(w) != std::string::npos;
    selected += any;
  }
  // Exactly the lines of the full trace that hold the selection, unchanged.
  EXPECT_EQ(shown.size(), selected);
  for (const std::string &l : shown) {
    bool any = false;
    for (const std::string &w : c.each) any |= l.find(w) != std::string::npos;
    EXPECT_TRUE(any) << l;
    EXPECT_EQ(l.find(c.never), std::string::npos) << l;
    size_t number = std::stoul(l);
    ASSERT_LE(number, full.size());
    EXPECT_EQ(full[number - 1], l);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SimOutputFilter,
    testing::Values(
        FilterCase{"service", {"service"}, {"PEI   "}, "IO    "},
        FilterCase{"one_service", {"service:LocatePpi"}, {"PEI   LocatePpi ("}, "InstallPpi"},
        FilterCase{"pci_function", {"pci:00:12.2"}, {"PCI 00:12.2 "}, "PCI 00:13.0"},
        FilterCase{"mmio_range", {"mmio:0xFED80000-0xFED80FFF"}, {"chipset 0xFED8"}, "EHCI"},
        FilterCase{"two_kinds", {"service:InstallPpi", "mmio"}, {"PEI   InstallPpi", "MMIO  "},
                   "IO    "}),
    [](const testing::TestParamInfo<FilterCase> &i) { return std::string(i.param.name); });

TEST(SimOutput, DumpShowsTheTouchedRegistersAsTheRunLeftThem) {
  auto r = RunTool({"--dump", "--only", "pci:00:12.2", "--trace", "pci", USB_PEIM_IMAGE});
  ASSERT_EQ(r.status, 0) << r.err;
  size_t at = r.out.find("Registers at the end");
  ASSERT_NE(at, std::string::npos) << r.out;
  std::string dump = r.out.substr(at);
  EXPECT_NE(dump.find("PCI 00:12.2 ("), std::string::npos) << dump;
  EXPECT_NE(dump.find("configuration space"), std::string::npos) << dump;
  // The last write to the Command register of 00:12.2 is what row 0 holds.
  std::vector<std::string> lines = simtest::TraceLines(r.out);
  std::string lastCommand;
  std::regex command(R"(PCI +wr8 +00:12\.2 @0x04 +0x([0-9A-F]{2}))");
  std::smatch m;
  for (const std::string &l : lines)
    if (std::regex_search(l, m, command)) lastCommand = m[1];
  ASSERT_FALSE(lastCommand.empty()) << r.out;
  size_t fn = dump.find("PCI 00:12.2 (");
  size_t row = dump.find("    00000000 ", fn);
  ASSERT_NE(row, std::string::npos) << dump;
  EXPECT_EQ(dump.substr(row + 14 + 3 * 4, 2), lastCommand) << dump;
  auto plain = RunTool({USB_PEIM_IMAGE});
  EXPECT_EQ(plain.out.find("Registers at the end"), std::string::npos);
}

TEST(SimOutput, BadViewOptionsAreRefused) {
  struct Case {
    std::vector<std::string> args;
    const char *message;
  } cases[] = {
      {{"--trace", "mmio"}, "--trace takes pci or ports"},
      {{"--only", "disk"}, "unknown kind 'disk'"},
      {{"--only", "pci:12.2"}, "bad PCI function"},
      {{"--only", "io:0x10000"}, "--only io:0x10000"},
      {{"--only", "mmio:0x20-0x10"}, "--only mmio:0x20-0x10"},
      {{"--only", "console:1"}, "console takes nothing"},
      {{"--only", "pci:"}, "nothing after ':'"},
      {{"--dump=1"}, "--dump takes no value"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back(USB_PEIM_IMAGE);
    auto r = RunTool(args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

}  // namespace
