// pe-compact run as the build runs it: on the linked image and map it writes
// what the build delivers, and on every kind of bad input or usage it exits
// with status 2, one line on stderr naming the file and the problem, and
// writes nothing at all.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

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

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string Scratch(const std::string &name) {
  mkdir(PE_COMPACT_SCRATCH_DIR, 0755);
  return std::string(PE_COMPACT_SCRATCH_DIR) + "/" + name;
}

ToolRun RunTool(const char *tool, const std::vector<std::string> &args) {
  return testtool::RunTool(tool, args, PE_COMPACT_SCRATCH_DIR);
}

uint32_t Get32(const std::string &b, size_t o) {
  return uint32_t(uint8_t(b[o])) | uint32_t(uint8_t(b[o + 1])) << 8 |
         uint32_t(uint8_t(b[o + 2])) << 16 | uint32_t(uint8_t(b[o + 3])) << 24;
}
void Put32(std::string &b, size_t o, uint32_t v) {
  for (int i = 0; i < 4; i++) b[o + i] = char(v >> (8 * i));
}

// Inputs by name: the linked image and map, damaged copies, other files.
std::string Input(const std::string &name) {
  const std::string image = ReadText(LINKED_IMAGE);
  const size_t opt = Get32(image, 0x3C) + 24;
  const size_t table = opt + (uint8_t(image[opt - 4]) | uint8_t(image[opt - 3]) << 8);
  if (name == "LINKED") return LINKED_IMAGE;
  if (name == "LINKED_MAP") return LINKED_MAP;
  if (name == "OTHER_MAP") return TESTBED_MAP;
  if (name == "TE") return MODULE_TE;
  if (name == "MISSING") return Scratch("no-such-file.efi");
  if (name == "DIR") {
    mkdir(Scratch("a-directory").c_str(), 0755);
    return Scratch("a-directory");
  }
  std::string bytes;
  if (name == "TRUNCATED") {
    bytes = image.substr(0, 300);
  } else if (name == "WRITABLE") {
    bytes = image;
    Put32(bytes, table + 36, Get32(bytes, table + 36) | 0x80000000u);
  } else if (name == "BAD_TE") {
    bytes = ReadText(MODULE_TE);
    bytes[6] = 8;  // StrippedSize 8
    bytes[7] = 0;
  } else if (name == "SHIFTED_MAP") {
    // The map of the image as if loaded elsewhere.
    bytes = ReadText(LINKED_MAP);
    const std::string from = "Preferred load address is 0000000000000000";
    const size_t at = bytes.find(from);
    if (at != std::string::npos)
      bytes.replace(at, from.size(), from.substr(0, from.size() - 3) + "100");
  } else {
    return name;  // a literal path
  }
  const std::string path = Scratch(name);
  WriteBytes(path, bytes);
  return path;
}

// The outputs of a run; removed before each.
const char *const kOutputs[] = {"out.efi", "out.map", "out.te"};

std::vector<std::string> Arguments(const std::vector<std::string> &names) {
  std::vector<std::string> args;
  for (const std::string &n : names) {
    if (n.rfind("OUT:", 0) == 0) args.push_back(Scratch(n.substr(4)));
    else if (n.empty() || n[0] == '-') args.push_back(n);
    else args.push_back(Input(n));
  }
  return args;
}

struct Case {
  const char *name;
  std::vector<std::string> args;  // names for Input(), OUT:name, or options
  const char *message;            // part of the one stderr line
};

const Case kBad[] = {
    {"no image", {"-o", "OUT:out.efi"}, "no image given"},
    {"no output", {"LINKED"}, "no output given"},
    {"--map without --map-out", {"LINKED", "-o", "OUT:out.efi", "--map", "LINKED_MAP"},
     "--map needs --map-out"},
    {"--map-out without --map", {"LINKED", "-o", "OUT:out.efi", "--map-out", "OUT:out.map"},
     "--map-out needs --map"},
    {"unknown option", {"LINKED", "--out", "OUT:out.efi"}, "unknown option '--out'"},
    {"-o without its file", {"LINKED", "-o"}, "--output needs a file"},
    {"--te= empty", {"LINKED", "-o", "OUT:out.efi", "--te="}, "--te needs a file"},
    {"-o twice", {"LINKED", "-o", "OUT:out.efi", "-o", "OUT:out.te"}, "--output given twice"},
    {"two images", {"LINKED", "LINKED", "-o", "OUT:out.efi"}, "more than one image"},
    {"one output named twice", {"LINKED", "-o", "OUT:out.efi", "--te", "OUT:out.efi"},
     "named as two outputs"},
    {"image missing", {"MISSING", "-o", "OUT:out.efi"}, "no-such-file.efi: cannot open"},
    {"image is a directory", {"DIR", "-o", "OUT:out.efi"}, "a-directory: is a directory"},
    {"image truncated", {"TRUNCATED", "-o", "OUT:out.efi", "--te", "OUT:out.te"},
     "TRUNCATED: truncated PE image"},
    {"malformed TE image", {"BAD_TE", "-o", "OUT:out.efi"},
     "BAD_TE: StrippedSize 0x8 at file offset 0x6 is below the 40-byte TE header"},
    {"a TE image", {"TE", "-o", "OUT:out.efi"}, "a TE image: the writer reads an image as"},
    {"writable section", {"WRITABLE", "-o", "OUT:out.efi", "--te", "OUT:out.te"},
     "WRITABLE: section .text is writable"},
    {"another image's map",
     {"LINKED", "-o", "OUT:out.efi", "--map", "OTHER_MAP", "--map-out", "OUT:out.map"},
     "the map does not belong to the image"},
    {"a map with another load address",
     {"LINKED", "-o", "OUT:out.efi", "--map", "SHIFTED_MAP", "--map-out", "OUT:out.map"},
     "SHIFTED_MAP: load address 0x100 is not the image's base 0x0"},
    {"the map where the image goes",
     {"LINKED", "-o", "OUT:out.efi", "--map", "LINKED_MAP", "--map-out", "OUT:out.efi"},
     "named as two outputs"},
    {"output in a missing folder",
     {"LINKED", "-o", "OUT:out.efi", "--te", "OUT:none/out.te"}, "none/out.te"},
    {"output is a directory", {"LINKED", "-o", "OUT:out.efi", "--te", "DIR"}, "a-directory"},
};

TEST(PeCompactCli, RefusesBadInputAndUsageOnOneLineWritingNothing) {
  for (const Case &c : kBad) {
    SCOPED_TRACE(c.name);
    for (const char *o : kOutputs) unlink(Scratch(o).c_str());
    const ToolRun r = RunTool(PE_COMPACT, Arguments(c.args));
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_EQ(r.err.rfind("pe-compact: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    for (const char *o : kOutputs) EXPECT_FALSE(Exists(Scratch(o))) << o << " was written";
  }
}

// What the build runs, in a scratch folder: the outputs are the delivered
// files byte for byte, pe-check passes them, and the writer run again on its
// own output writes the same bytes.
TEST(PeCompactCli, WritesWhatTheBuildDelivers) {
  for (const char *o : kOutputs) unlink(Scratch(o).c_str());
  ToolRun r = RunTool(PE_COMPACT, Arguments({"LINKED", "--map", "LINKED_MAP", "-o", "OUT:out.efi",
                                         "--map-out", "OUT:out.map", "--te", "OUT:out.te"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(ReadText(Scratch("out.efi")), ReadText(MODULE_IMAGE));
  EXPECT_EQ(ReadText(Scratch("out.map")), ReadText(MODULE_MAP));
  EXPECT_EQ(ReadText(Scratch("out.te")), ReadText(MODULE_TE));
  for (const char *o : {"out.efi", "out.te"}) {
    r = RunTool(PE_CHECK, {"--map", Scratch("out.map"), Scratch(o)});
    EXPECT_EQ(r.status, 0) << r.err;
  }
  r = RunTool(PE_COMPACT, {Scratch("out.efi"), "--map=" + Scratch("out.map"), "--output=" +
                       Scratch("again.efi"), "--map-out=" + Scratch("again.map")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadText(Scratch("again.efi")), ReadText(MODULE_IMAGE));
  EXPECT_EQ(ReadText(Scratch("again.map")), ReadText(MODULE_MAP));
}

TEST(PeCompactCli, ExplainsItself) {
  const ToolRun r = RunTool(PE_COMPACT, {"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("usage: pe-compact LINKED.efi -o OUT.efi"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Exit status: 0 written; 2"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.rfind("pe-compact " USB_PEIM_VERSION "\n\n", 0), 0u) << r.out;
  const ToolRun version = RunTool(PE_COMPACT, {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "pe-compact " USB_PEIM_VERSION "\n");
}

}  // namespace
