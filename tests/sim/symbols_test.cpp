// The trace names the function behind each event from the image's link map
// (--map, or the map beside the image), and a map of another build is never
// taken for this one's.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using simtest::RunTool;

std::string ReadText(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<uint8_t> Bytes(const std::string &text) { return {text.begin(), text.end()}; }

TEST(Symbols, EachEventIsNamedByTheFunctionThatMadeIt) {
  for (const char *image : {USB_PEIM_IMAGE, USB_PEIM_TE}) {
    SCOPED_TRACE(image);
    auto run = RunTool({image});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("symbols       " + std::string(USB_PEIM_MAP)), std::string::npos);
    std::regex line(R"(^ +\d+  \+0x[0-9A-F]{4}  (\S+) +(IO|MMIO|PEI) +(\S+) +(\S+))");
    int config = 0, services = 0;
    for (const std::string &l : simtest::TraceLines(run.out)) {
      std::smatch m;
      ASSERT_TRUE(std::regex_search(l, m, line)) << l;
      std::string function = m[1], kind = m[2], op = m[3], port = m[4];
      if (kind == "IO" && port.rfind("0x0CF", 0) == 0 && port != "0x0CF8") {
        // A configuration data access is made by the update of its width:
        // in8/out8 by PciUpdateAt<8>, and so on.
        std::string width = op.substr(op[0] == 'i' ? 2 : 3);
        EXPECT_EQ(function.substr(0, function.find('+')), "PciUpdateAt<" + width + ">") << l;
        config++;
      } else if (kind == "PEI") {
        EXPECT_EQ(function.rfind("UsbControllerPeimEntry+0x", 0), 0u) << l;
        services++;
      }
    }
    EXPECT_EQ(config, 52);
    EXPECT_EQ(services, 5);
    auto json = RunTool({"--format", "json", image});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("\"offset\": 880, \"symbol\": \"PciUpdateAt<8>+0x10\""),
              std::string::npos);
    // A violation names the function of its instruction: without the
    // chipset's block the first access is unclaimed.
    std::string noBlock = simtest::ScratchFile("no-block.platform",
                                               Bytes("pci 00:12.2 \"EHCI 0\" ehci bar0=0x100\n"));
    auto bad = RunTool({"--platform", noBlock, image});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("which no device claims (at 0xFFFC03E6 UsbControllerPeimEntry+0x8E: mov "),
              std::string::npos) << bad.out;
    // The consumer's function pointer is the PPI's member function.
    EXPECT_NE(run.out.find("(image+0x30F, GetEhciController)"), std::string::npos) << run.out;
  }
}

TEST(Symbols, AMapOfAnotherBuildIsNeverUsed) {
  std::string map = ReadText(USB_PEIM_MAP);
  ASSERT_FALSE(map.empty());
  std::vector<uint8_t> image = simtest::ModuleBytes();
  struct Case {
    const char *name, *from, *to, *why;
  } cases[] = {
      {"base", "Preferred load address is 0000000000000000",
       "Preferred load address is 0000000000010000", "is not within 4 GiB above the load address"},
      {"entry", "entry point at         0001:00000000", "entry point at         0001:00000010",
       "its entry point is not the image's (RVA 0x00000118)"},
      {"section", " 0001:00000300 00000030H .rdata", " 0001:00000300 00000300H .rdata",
       ".rdata ends at +0x600 of section 1, past the image's .text"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string bad = map;
    size_t at = bad.find(c.from);
    ASSERT_NE(at, std::string::npos);
    bad.replace(at, std::string(c.from).size(), c.to);
    std::string badMap = simtest::ScratchFile(std::string("other-") + c.name + ".map", Bytes(bad));
    // Asked for: bad input.
    auto asked = RunTool({"--map", badMap, USB_PEIM_IMAGE});
    EXPECT_EQ(asked.status, 2);
    EXPECT_NE(asked.err.find("--map " + badMap + ": "), std::string::npos) << asked.err;
    EXPECT_NE(asked.err.find(c.why), std::string::npos) << asked.err;
    // A fault the map's reader found keeps its whole line number.
    if (std::string(c.name) == "base") {
      std::smatch line;
      ASSERT_TRUE(std::regex_search(asked.err, line, std::regex(": line (\\d+): symbol address")))
          << asked.err;
      std::istringstream in(bad);
      std::string text;
      for (int n = 1; std::getline(in, text) && n < std::stoi(line[1]); n++) {
      }
      EXPECT_NE(text.find(" _"), std::string::npos) << "line " << line[1] << ": " << text;
    }
    // Found beside the image: left out, and the report says why.
    std::string copy = simtest::ScratchFile(std::string("other-") + c.name + ".efi", image);
    auto beside = RunTool({copy});
    EXPECT_EQ(beside.status, 0) << beside.err;
    EXPECT_NE(beside.out.find("symbols       none: " + badMap + " beside the image does not fit it"),
              std::string::npos) << beside.out;
    EXPECT_EQ(beside.out.find("PciUpdateAt"), std::string::npos);
  }
}

TEST(Symbols, ExpectationsIgnoreTheFunctionColumn) {
  auto with = RunTool({USB_PEIM_IMAGE});
  auto without = RunTool({"--no-map", USB_PEIM_IMAGE});
  ASSERT_EQ(with.status, 0);
  ASSERT_EQ(without.status, 0);
  EXPECT_EQ(without.out.find("PciUpdateAt"), std::string::npos);
  EXPECT_EQ(without.out.find("symbols "), std::string::npos);
  std::string savedWith = simtest::ScratchFile("symbols-with.txt", Bytes(with.out));
  std::string savedWithout = simtest::ScratchFile("symbols-without.txt", Bytes(without.out));
  EXPECT_EQ(RunTool({"--no-map", "--expect", savedWith, USB_PEIM_IMAGE}).status, 0);
  EXPECT_EQ(RunTool({"--expect", savedWithout, USB_PEIM_IMAGE}).status, 0);
  // A changed event still differs with the column present.
  auto changed = RunTool({"--pci", "00:12.2+0x04=0x06/16", "--expect", savedWithout, USB_PEIM_IMAGE});
  EXPECT_EQ(changed.status, 1);
  EXPECT_NE(changed.out.find("the trace differs"), std::string::npos) << changed.out;
}

}  // namespace
