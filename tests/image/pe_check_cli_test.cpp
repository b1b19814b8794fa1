// pe-check run as the build runs it, on the delivered image and map and on
// every kind of bad input: each is refused with exit status 2 and one line
// on stderr naming the file, the line (in a map) and the problem; an image
// that is well formed but breaks the image rules fails with status 1 and
// names each fault.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tool_run.h"

namespace {

using testtool::ReadText;
using testtool::ToolRun;

void WriteBytes(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Scratch(const std::string &name) {
  mkdir(PE_CHECK_SCRATCH_DIR, 0755);
  return std::string(PE_CHECK_SCRATCH_DIR) + "/" + name;
}

ToolRun RunPeCheck(const std::vector<std::string> &args) {
  return testtool::RunTool(PE_CHECK, args, PE_CHECK_SCRATCH_DIR);
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

uint32_t Get32(const std::string &b, size_t o) {
  return uint32_t(uint8_t(b[o])) | uint32_t(uint8_t(b[o + 1])) << 8 |
         uint32_t(uint8_t(b[o + 2])) << 16 | uint32_t(uint8_t(b[o + 3])) << 24;
}
void Put32(std::string &b, size_t o, uint32_t v) {
  for (int i = 0; i < 4; i++) b[o + i] = char(v >> (8 * i));
}

// Inputs the table refers to by name, made from the delivered image and map.
std::string Input(const std::string &name) {
  const std::string image = ReadText(MODULE_IMAGE), map = ReadText(MODULE_MAP);
  const size_t pe = Get32(image, 0x3C);
  const size_t sectionTable = pe + 24 + (Get32(image, pe + 20) & 0xFFFF);
  if (name == "IMAGE") return MODULE_IMAGE;
  if (name == "MAP") return MODULE_MAP;
  if (name == "TE") return MODULE_TE;
  if (name == "LINKED_IMAGE") return LINKED_IMAGE;
  if (name == "LINKED_MAP") return LINKED_MAP;
  if (name == "OTHER_MAP") return TESTBED_MAP;
  if (name == "DIR") {
    mkdir(Scratch("a-directory").c_str(), 0755);
    return Scratch("a-directory");
  }
  if (name == "MISSING") return Scratch("no-such-file.efi");
  if (name == "DEVICE") return "/dev/null";
  std::string bytes;
  if (name == "TRUNCATED_IMAGE") {
    bytes = image.substr(0, 100);
  } else if (name == "STAMPED_IMAGE") {
    bytes = image;
    Put32(bytes, pe + 8, 0x5F5E0FF);  // TimeDateStamp
  } else if (name == "WRITABLE_IMAGE") {
    bytes = image;
    Put32(bytes, sectionTable + 36, Get32(bytes, sectionTable + 36) | 0x80000000);
  } else if (name == "MAP_WITHOUT_SYMBOLS") {
    bytes = map.substr(0, map.find("  Address"));
  } else if (name == "MAP_WITH_DATA") {
    // A contribution of writable data folded into .text: the empty .data row
    // given 4 bytes.
    bytes = map;
    const size_t row = bytes.find("00000000H .data");
    if (row != std::string::npos) bytes.replace(row, 9, "00000004H");
  } else if (name == "TABLE_NOT_AT_END") {
    // The compact image's .text grown by 4 bytes after its relocation table
    // (and SizeOfImage with it).
    bytes = image;
    Put32(bytes, sectionTable + 8, Get32(bytes, sectionTable + 8) + 4);
    Put32(bytes, pe + 24 + 56, Get32(bytes, pe + 24 + 56) + 8);
  } else if (name == "TE_WITH_DEBUG") {
    // A TE image with a debug directory (its second one).
    bytes = ReadText(MODULE_TE);
    Put32(bytes, 32, Get32(bytes, 24));
    Put32(bytes, 36, 4);
  } else if (name == "TE_STRIPPED_39") {
    bytes = ReadText(MODULE_TE);
    bytes[6] = 39;
    bytes[7] = 0;
  } else if (name == "TE_SECTION_IN_HEADERS") {
    // The section's RVA moved into the TE header and section table.
    bytes = ReadText(MODULE_TE);
    Put32(bytes, 40 + 12, Get32(bytes, 40 + 12) - 0x20);
  } else if (name == "TE_BASE_WRAPS") {
    bytes = ReadText(MODULE_TE);
    Put32(bytes, 16, 0xFFFFFF00);
  } else if (name == "TE_TRUNCATED") {
    bytes = ReadText(MODULE_TE);
    bytes.resize(bytes.size() - 16);
  } else {
    return std::string(ROBUSTNESS_DATA_DIR) + "/" + name;
  }
  const std::string path = Scratch(name);
  WriteBytes(path, bytes);
  return path;
}

struct Case {
  const char *name;
  std::vector<std::string> args;  // names for Input(), or literal options
  int status;
  // Exit 2: the one stderr line contains this. Exit 1: some fault line does.
  // Exit 0: stdout contains this.
  const char *expected;
};

// Arguments starting with '-' are passed as they are; the rest go through Input().
std::vector<std::string> Arguments(const std::vector<std::string> &names) {
  std::vector<std::string> args;
  for (const std::string &n : names) {
    if (n.rfind("--map=", 0) == 0 && n.size() > 6) args.push_back("--map=" + Input(n.substr(6)));
    else if (n.empty() || n[0] == '-') args.push_back(n);
    else args.push_back(Input(n));
  }
  return args;
}

const Case kCases[] = {
    // Good input.
    {"delivered image", {"--map", "MAP", "IMAGE"}, 0, " bytes = headers "},
    {"map as --map=FILE", {"--map=MAP", "IMAGE"}, 0, " bytes = headers "},
    {"options end at --", {"--map", "MAP", "--", "IMAGE"}, 0, " bytes = headers "},
    {"delivered TE image", {"--map", "MAP", "TE"}, 0,
     " bytes = headers 80 + code "},
    {"linked image, .text and .reloc", {"--map", "LINKED_MAP", "LINKED_IMAGE"}, 0,
     " bytes = headers 448 + code "},
    {"help", {"--help"}, 0, "Exit status: 0 the image passes; 1 the image breaks a rule"},
    {"help, short", {"-h"}, 0, "usage: pe-check [--map FILE.map] IMAGE.efi"},
    {"help names the version", {"--help"}, 0, "pe-check " USB_PEIM_VERSION "\n\nusage: "},
    {"version", {"--version"}, 0, "pe-check " USB_PEIM_VERSION "\n"},
    // Without a map: what the image shows is checked, code and data counted together.
    {"delivered image without a map", {"IMAGE"}, 0,
     " + code and read-only data "},
    {"TE image without a map", {"TE"}, 0, "not checked"},

    // Malformed numbers in the map: the file, the line and the problem.
    {"map: load address not a number", {"--map", "F2-map-bad-base.map", "IMAGE"}, 2,
     "F2-map-bad-base.map:1: load address 'zzzz' is not a hexadecimal number"},
    {"map: section number not a number", {"--map", "F2-map-bad-section.map", "IMAGE"}, 2,
     "F2-map-bad-section.map:8: section number 'zzzz' is not a hexadecimal number"},
    {"map: symbol address not a number", {"--map", "F2-map-bad-symbol-address.map", "IMAGE"}, 2,
     "F2-map-bad-symbol-address.map:15: symbol address 'zz' is not a hexadecimal number"},
    {"map: load address beyond 64 bits", {"--map", "F2-map-base-overflow.map", "IMAGE"}, 2,
     "F2-map-base-overflow.map:5: load address '1FFFFFFFFFFFFFFFFF' is out of range"},
    {"map: load address empty", {"--map", "F2-map-empty-base.map", "IMAGE"}, 2,
     "F2-map-empty-base.map:1: load address is missing"},
    {"map: length beyond 64 bits", {"--map", "F2-map-length-overflow.map", "IMAGE"}, 2,
     "F2-map-length-overflow.map:8: length 'FFFFFFFFFFFFFFFFFFFF' is out of range"},

    // Maps that lack what the checks need.
    {"map without contributions", {"--map", "F20-map-without-contributions.map", "IMAGE"}, 2,
     "F20-map-without-contributions.map: no contributions table"},
    {"map without load address", {"--map", "F20-map-minimal.map", "IMAGE"}, 2,
     "F20-map-minimal.map: no load address"},
    {"map without symbols", {"--map", "MAP_WITHOUT_SYMBOLS", "IMAGE"}, 2,
     "MAP_WITHOUT_SYMBOLS: no symbol table"},
    {"another image's map", {"--map", "OTHER_MAP", "IMAGE"}, 2, "the map does not belong to"},

    // Inputs that are not files, or not images.
    {"image is a directory", {"--map", "MAP", "DIR"}, 2, "a-directory: is a directory"},
    {"map is a directory", {"--map", "DIR", "IMAGE"}, 2, "a-directory: is a directory"},
    {"image is a device", {"--map", "MAP", "DEVICE"}, 2, "/dev/null: is a character device"},
    {"image missing", {"--map", "MAP", "MISSING"}, 2, "no-such-file.efi: cannot open"},
    {"image truncated", {"--map", "MAP", "TRUNCATED_IMAGE"}, 2,
     "TRUNCATED_IMAGE: truncated PE image"},
    {"TE image with StrippedSize 39", {"--map", "MAP", "TE_STRIPPED_39"}, 2,
     "TE_STRIPPED_39: StrippedSize 0x27 at file offset 0x6 is below the 40-byte TE header"},
    {"TE image with a section in its headers", {"--map", "MAP", "TE_SECTION_IN_HEADERS"}, 2,
     "TE_SECTION_IN_HEADERS: section 1 (.text) at RVA"},
    {"TE image wrapping past 4 GiB", {"--map", "MAP", "TE_BASE_WRAPS"}, 2,
     "TE_BASE_WRAPS: image of"},
    {"TE image cut short", {"--map", "MAP", "TE_TRUNCATED"}, 2,
     "lies outside the file after the headers"},
    {"image with SizeOfImage 0", {"--map", "MAP", "F16-sizeofimage0.efi"}, 2,
     "F16-sizeofimage0.efi: SizeOfImage 0x0 is not between 1 and 0x4000000 bytes"},

    // Bad usage.
    {"unknown option", {"--mpa", "MAP", "IMAGE"}, 2, "unknown option '--mpa'"},
    {"--map without its file", {"IMAGE", "--map"}, 2, "--map needs a file"},
    {"--map= without its file", {"--map=", "IMAGE"}, 2, "--map needs a file"},
    {"--map twice", {"--map", "MAP", "--map", "MAP", "IMAGE"}, 2, "--map given twice"},
    {"no image", {"--map", "MAP"}, 2, "no image given"},
    {"two images", {"--map", "MAP", "IMAGE", "IMAGE"}, 2, "more than one image"},

    // Well-formed inputs that break the image rules.
    {"time stamp set", {"--map", "MAP", "STAMPED_IMAGE"}, 1,
     "time stamp is not 0 (build is not reproducible)"},
    {"writable .text", {"--map", "MAP", "WRITABLE_IMAGE"}, 1, "section .text is writable"},
    {"writable .text without a map", {"WRITABLE_IMAGE"}, 1, "section .text is writable"},
    {"time stamp set, without a map", {"STAMPED_IMAGE"}, 1, "time stamp is not 0"},
    {"writable data in the map", {"--map", "MAP_WITH_DATA", "IMAGE"}, 1,
     "image holds .data (4 bytes): only code and read-only data may be linked in"},
    {"relocation table inside the code", {"--map", "MAP", "TABLE_NOT_AT_END"}, 1,
     "relocation table is neither in .reloc nor at the end of .text"},
    {"TE image with a debug directory", {"--map", "MAP", "TE_WITH_DEBUG"}, 1,
     "image has a debug directory"},
    {"the map of the image as linked", {"--map", "LINKED_MAP", "IMAGE"}, 2,
     "the map does not belong to"},
};

TEST(PeCheckCli, EachInputGetsItsStatusAndMessage) {
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    const ToolRun r = RunPeCheck(Arguments(c.args));
    ASSERT_EQ(r.status, c.status) << "stdout:\n" << r.out << "stderr:\n" << r.err;
    const std::vector<std::string> err = Lines(r.err);
    if (c.status == 0) {
      EXPECT_EQ(r.err, "");
      EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
    } else if (c.status == 2) {
      // Refused: one line, nothing on stdout.
      EXPECT_EQ(r.out, "");
      ASSERT_EQ(err.size(), 1u) << r.err;
      EXPECT_EQ(err[0].rfind("pe-check: ", 0), 0u) << err[0];
      EXPECT_NE(err[0].find(c.expected), std::string::npos) << err[0];
    } else {
      ASSERT_GE(err.size(), 2u) << r.err;
      bool named = false;
      for (const std::string &line : err) named = named || line.find(c.expected) != std::string::npos;
      EXPECT_TRUE(named) << r.err;
      EXPECT_NE(err.back().find("violates the PEI image rules"), std::string::npos) << r.err;
    }
  }
}

}  // namespace
