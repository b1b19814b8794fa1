// peim-sim as a firmware engineer runs it: bad input, exit status, the
// trace layout, --expect, --format json, --quiet, --fail, register presets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>

#include "expect_json.h"
#include "test_support.h"

namespace {

using simtest::RunTool;
using simtest::ScratchFile;
using simtest::ToolRun;

uint32_t Get32(const std::vector<uint8_t> &b, size_t o) {
  return uint32_t(b[o]) | b[o + 1] << 8 | b[o + 2] << 16 | uint32_t(b[o + 3]) << 24;
}

// The module image with one field changed.
std::string Patched(const std::string &name, size_t (*where)(const std::vector<uint8_t> &),
                    uint32_t value, int width = 4) {
  std::vector<uint8_t> b = simtest::ModuleBytes();
  size_t at = where(b);
  for (int i = 0; i < width; i++) b[at + i] = uint8_t(value >> (8 * i));
  return ScratchFile(name, b);
}
size_t PeHeader(const std::vector<uint8_t> &b) { return Get32(b, 0x3C); }
size_t Machine(const std::vector<uint8_t> &b) { return PeHeader(b) + 4; }
size_t Magic(const std::vector<uint8_t> &b) { return PeHeader(b) + 24; }
size_t ImportSize(const std::vector<uint8_t> &b) { return PeHeader(b) + 24 + 96 + 8 + 4; }
size_t RelocSize(const std::vector<uint8_t> &b) { return PeHeader(b) + 24 + 96 + 8 * 5 + 4; }
size_t FirstSectionRaw(const std::vector<uint8_t> &b) {
  return PeHeader(b) + 24 + (b[PeHeader(b) + 20] | b[PeHeader(b) + 21] << 8) + 20;
}

struct BadInput {
  const char *name;
  std::vector<std::string> args;  // "@file" stands for the bad image made by BadFile
  const char *message;            // part of the one-line error
};
void PrintTo(const BadInput &b, std::ostream *os) { *os << b.name; }

// The bad images, made when a test needs one (not at test discovery).
std::string BadFile(const std::string &which) {
  std::vector<uint8_t> module = simtest::ModuleBytes();
  if (which == "@truncated")
    return ScratchFile("truncated.efi", std::vector<uint8_t>(module.begin(), module.begin() + 0x180));
  if (which == "@text") return ScratchFile("text.efi", {'h', 'e', 'l', 'l', 'o', '\n'});
  if (which == "@pe32plus") return Patched("pe32plus.efi", Magic, 0x020B, 2);
  if (which == "@x64") return Patched("x64.efi", Machine, 0x8664, 2);
  if (which == "@imports") return Patched("imports.efi", ImportSize, 0x28);
  if (which == "@outside") return Patched("outside.efi", FirstSectionRaw, 0x00100000);
  if (which == "@norelocs") return Patched("norelocs.efi", RelocSize, 0);
  return which;
}

const std::string kImage = USB_PEIM_IMAGE;
const BadInput kBadInputs[] = {
    {"MissingFile", {SIM_SCRATCH_DIR "/no-such.efi"}, "cannot open"},
    {"TruncatedFile", {"@truncated"}, "outside the file"},
    {"NotAPeFile", {"@text"}, "PE image"},
    {"Pe32Plus", {"@pe32plus"}, "PE32+"},
    {"NotIa32", {"@x64"}, "not an IA-32 image"},
    {"HasImports", {"@imports"}, "import table"},
    {"SectionOutsideTheFile", {"@outside"}, "outside the file"},
    {"NoRelocationsForTheBase", {"@norelocs"}, "no relocations"},
    {"MisalignedLoadAddress", {"--load-address", "0xFFFC0241", kImage}, "section alignment"},
    {"LoadAddressInRam", {"--load-address", "0x00100000", kImage}, "overlaps"},
    {"LoadAddressPast4GiB", {"--load-address", "0xFFFFFF00", kImage}, "4 GiB"},
    {"UnknownBootMode", {"--boot-mode", "BOOT_SOMETIMES", kImage}, "boot mode"},
    {"ValueTooWideForRegister", {"--pci", "00:12.2+0x04=0x1FF/8", kImage}, "8-bit"},
    {"FunctionNotModelled", {"--pci", "00:1F.0+0x40=1", kImage}, "no modelled PCI function"},
    {"NotAChipsetRegister", {"--mmio", "0xFED80000=1", kImage}, "no chipset register"},
    {"UnknownService", {"--fail", "InstallProtocol", kImage}, "unknown service"},
    {"UnknownStatus", {"--fail", "LocatePpi:EFI_MAYBE", kImage}, "unknown status"},
    {"BadFormat", {"--format", "xml", kImage}, "text or json"},
    {"BadRepeat", {"--repeat", "-1", kImage}, "--repeat"},
    {"UnknownOption", {"--frobnicate", kImage}, "unknown option"},
    {"NoImage", {"--quiet"}, "no image"},
    {"MissingExpectFile", {"--expect", SIM_SCRATCH_DIR "/no-such.txt", kImage}, "cannot open"},
};

class BadInputTest : public ::testing::TestWithParam<BadInput> {};

TEST_P(BadInputTest, GetsOneLineAndStatus2) {
  std::vector<std::string> args;
  for (const std::string &a : GetParam().args) args.push_back(a[0] == '@' ? BadFile(a) : a);
  ToolRun r = RunTool(args);
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(r.out, "");
  ASSERT_FALSE(r.err.empty());
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  EXPECT_EQ(r.err.rfind("peim-sim: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Cli, BadInputTest, ::testing::ValuesIn(kBadInputs),
                         [](const ::testing::TestParamInfo<BadInput> &i) { return i.param.name; });

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

TEST(Cli, DefaultRunIsCleanAndItsTraceIsAligned) {
  ToolRun r = RunTool({USB_PEIM_IMAGE});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const char *part : {"\nImage\n", "\nPlatform\n", "\nTrace\n", "\nConsumer\n", "\nSummary\n",
                           "loaded at     0xFFFC0240", "146 accesses", "GetUsbController (Id 3)",
                           "EFI_INVALID_PARAMETER", "result        clean"})
    EXPECT_NE(r.out.find(part), std::string::npos) << part;
  std::vector<std::string> trace = simtest::TraceLines(r.out);
  ASSERT_EQ(trace.size(), 151u);
  // Hardware lines: address, value and target each start in one column.
  size_t address = std::string::npos;
  int hardware = 0;
  for (const std::string &l : trace) {
    size_t kind = l.find(" IO ") != std::string::npos ? l.find(" IO ") : l.find(" MMIO ");
    if (kind == std::string::npos) continue;
    hardware++;
    size_t a = l.find("0x", kind);
    if (address == std::string::npos) address = a;
    ASSERT_EQ(a, address) << l;
    ASSERT_GT(l.size(), a + 25) << l;
    EXPECT_EQ(l.substr(a + 11, 3), " 0x") << l;  // value
    EXPECT_TRUE(l[a + 23] == ' ' && l[a + 24] != ' ') << l;  // target
  }
  EXPECT_EQ(hardware, 146);
  EXPECT_NE(r.out.find("PCI 00:13.2 +0x10 BAR0"), std::string::npos);
  EXPECT_NE(r.out.find("EHCI 1 MMIO +0xB4"), std::string::npos);
  EXPECT_NE(r.out.find("chipset 0xFED803EF"), std::string::npos);
}

TEST(Cli, ExpectMatchesAcrossLoadAddressesAndNamesTheFirstDifference) {
  ToolRun saved = RunTool({USB_PEIM_IMAGE});
  ASSERT_EQ(saved.status, 0);
  std::string good = ScratchFile("expected.txt", std::vector<uint8_t>(saved.out.begin(), saved.out.end()));
  ToolRun same = RunTool({"--expect", good, "--load-address", "0x40000000", USB_PEIM_IMAGE});
  EXPECT_EQ(same.status, 0) << same.out;
  EXPECT_NE(same.out.find("the trace matches"), std::string::npos);

  std::string changed = saved.out;
  size_t at = changed.find("0x00020F00");
  ASSERT_NE(at, std::string::npos);
  changed.replace(at, 10, "0x00020F01");
  size_t lineStart = changed.rfind('\n', at) + 1;
  std::string number = std::to_string(std::stoi(changed.substr(lineStart, 5)));
  std::string bad = ScratchFile("changed.txt", std::vector<uint8_t>(changed.begin(), changed.end()));
  ToolRun differs = RunTool({"--expect", bad, USB_PEIM_IMAGE});
  EXPECT_EQ(differs.status, 1);
  EXPECT_NE(differs.out.find("first difference at trace line " + number + ":"), std::string::npos)
      << differs.out;
  EXPECT_NE(differs.out.find("0x00020F01"), std::string::npos);
  EXPECT_EQ(differs.out.find("lines differ in all"), std::string::npos) << differs.out;
}

// Every differing line is listed, up to 20, with their count: a saved trace
// whose OR values differ in 2 and in 25 lines.
TEST(Cli, ExpectListsEveryDifferenceUpToTwenty) {
  ToolRun saved = RunTool({USB_PEIM_IMAGE});
  ASSERT_EQ(saved.status, 0);
  for (size_t changes : {2u, 25u}) {
    SCOPED_TRACE(changes);
    std::string changed = saved.out;
    std::vector<std::string> numbers;
    // The CONFIG_ADDRESS words of the trace, changed one line each.
    size_t at = 0;
    while (numbers.size() < changes && (at = changed.find("  0x8000", at)) != std::string::npos) {
      changed.replace(at + 2, 4, "0x9000");
      size_t lineStart = changed.rfind('\n', at) + 1;
      numbers.push_back(std::to_string(std::stoi(changed.substr(lineStart, 5))));
      at = changed.find('\n', at);
    }
    ASSERT_EQ(numbers.size(), changes);
    std::string bad = ScratchFile("changed-" + std::to_string(changes) + ".txt",
                                  std::vector<uint8_t>(changed.begin(), changed.end()));
    ToolRun differs = RunTool({"--expect", bad, USB_PEIM_IMAGE});
    EXPECT_EQ(differs.status, 1);
    EXPECT_NE(differs.out.find("first difference at trace line " + numbers[0] + ":"),
              std::string::npos)
        << differs.out;
    EXPECT_NE(differs.out.find(std::to_string(changes) + " lines differ in all"), std::string::npos)
        << differs.out;
    for (size_t i = 1; i < changes; i++) {
      const bool listed = differs.out.find(" line " + numbers[i] + ":\n") != std::string::npos;
      EXPECT_EQ(listed, i < 20) << "line " << numbers[i] << "\n" << differs.out;
    }
    EXPECT_EQ(differs.out.find("(the first 20 shown)") != std::string::npos, changes > 20);
  }
}

// Enough of JSON to say whether a text is one well-formed value.
class JsonChecker {
 public:
  explicit JsonChecker(const std::string &s) : s_(s) {}
  bool WholeValue() {
    Blank();
    if (!Value()) return false;
    Blank();
    return i_ == s_.size();
  }

 private:
  void Blank() {
    while (i_ < s_.size() && isspace((unsigned char)s_[i_])) i_++;
  }
  bool Literal(const char *word) {
    size_t n = strlen(word);
    if (s_.compare(i_, n, word) != 0) return false;
    i_ += n;
    return true;
  }
  bool String() {
    if (s_[i_] != '"') return false;
    for (i_++; i_ < s_.size(); i_++) {
      if (s_[i_] == '\\') i_++;
      else if (s_[i_] == '"') return ++i_, true;
      else if ((unsigned char)s_[i_] < 0x20) return false;
    }
    return false;
  }
  bool Number() {
    size_t start = i_;
    if (s_[i_] == '-') i_++;
    while (i_ < s_.size() && (isdigit((unsigned char)s_[i_]) || s_[i_] == '.')) i_++;
    return i_ > start;
  }
  bool Sequence(char close, bool object) {
    i_++;
    Blank();
    if (s_[i_] == close) return ++i_, true;
    for (;;) {
      Blank();
      if (object) {
        if (!String()) return false;
        Blank();
        if (s_[i_++] != ':') return false;
        Blank();
      }
      if (!Value()) return false;
      Blank();
      if (s_[i_] == close) return ++i_, true;
      if (s_[i_++] != ',') return false;
    }
  }
  bool Value() {
    if (i_ >= s_.size()) return false;
    char c = s_[i_];
    if (c == '{') return Sequence('}', true);
    if (c == '[') return Sequence(']', false);
    if (c == '"') return String();
    return Literal("true") || Literal("false") || Literal("null") || Number();
  }
  const std::string &s_;
  size_t i_ = 0;
};

size_t Count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

TEST(Cli, JsonIsOneObjectWithTheWholeRun) {
  ToolRun r = RunTool({"--format", "json", USB_PEIM_IMAGE});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(JsonChecker(r.out).WholeValue());
  EXPECT_EQ(r.out[0], '{');
  EXPECT_EQ(Count(r.out, "\"kind\": \"io\""), 104u);
  EXPECT_EQ(Count(r.out, "\"kind\": \"mmio\""), 42u);
  EXPECT_EQ(Count(r.out, "\"kind\": \"service\""), 5u);
  for (const char *field : {"\"image\": {", "\"platform\": {", "\"trace\": [", "\"consumer\": {",
                            "\"summary\": {", "\"violations\": []", "\"clean\": true",
                            "\"load_address\": 4294705728"})
    EXPECT_NE(r.out.find(field), std::string::npos) << field;

  ToolRun quiet = RunTool({"--format", "json", "--quiet", USB_PEIM_IMAGE});
  EXPECT_TRUE(JsonChecker(quiet.out).WholeValue());
  EXPECT_EQ(quiet.out.find("\"trace\""), std::string::npos);
  EXPECT_NE(quiet.out.find("\"hardware_accesses\": 146"), std::string::npos);
}

TEST(Cli, QuietRepeatAndHelp) {
  ToolRun quiet = RunTool({"--quiet", "--repeat", "20", USB_PEIM_IMAGE});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out.find("Trace"), std::string::npos);
  EXPECT_EQ(quiet.out.rfind("Summary\n", 0), 0u);
  EXPECT_NE(quiet.out.find("20 dispatches in"), std::string::npos);

  ToolRun help = RunTool({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char *part : {"--boot-mode", "--fail", "--pci", "--mmio", "--load-address", "--expect",
                           "--format", "--quiet", "00:14.5", "0xFED803ED-0xFED803F1", "0xFFFC0240",
                           "Exit status"})
    EXPECT_NE(help.out.find(part), std::string::npos) << part;
}

// Each value goes as --opt VALUE or as --opt=VALUE, to the same run.
TEST(Cli, ValuesGoWithASpaceOrAnEqualsSign) {
  ToolRun spaced = RunTool({"--format", "json", "--boot-mode", "BOOT_ON_S3_RESUME", "--budget",
                            "50000", "--pci", "00:12.2+0x04=0x04/8", USB_PEIM_IMAGE});
  ToolRun joined = RunTool({"--format=json", "--boot-mode=BOOT_ON_S3_RESUME", "--budget=50000",
                            "--pci=00:12.2+0x04=0x04/8", USB_PEIM_IMAGE});
  EXPECT_EQ(spaced.status, 0) << spaced.err;
  EXPECT_EQ(joined.status, 0) << joined.err;
  EXPECT_EQ(joined.out, spaced.out);
  EXPECT_NE(joined.out.find("\"boot_mode\": 17"), std::string::npos);
  EXPECT_NE(joined.out.find("\"registers_set\": 1"), std::string::npos);
}

TEST(Cli, HelpWinsOverEverythingElseOnTheLine) {
  ToolRun help = RunTool({"--budget=abc", "--frobnicate", "--help", "--pci"});
  EXPECT_EQ(help.status, 0) << help.err;
  EXPECT_EQ(help.err, "");
  for (const char *part : {"Usage: peim-sim", "--opt=VALUE", "Limits", "first 50000 events",
                           "trace truncated after", "1 to 2^40"})
    EXPECT_NE(help.out.find(part), std::string::npos) << part;
}

// What the consumer was not handed is null: the outputs of a refused call
// (the consumer's own sentinels), the status of a call that never came back.
TEST(Cli, JsonHasNoValuesTheRunWasNotHanded) {
  ToolRun r = RunTool({"--format", "json", USB_PEIM_IMAGE});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(JsonChecker(r.out).WholeValue());
  size_t id3 = r.out.find("{\"id\": 3,");
  ASSERT_NE(id3, std::string::npos);
  std::string refused = r.out.substr(id3, r.out.find('}', id3) - id3);
  EXPECT_NE(refused.find("\"status_name\": \"EFI_INVALID_PARAMETER\""), std::string::npos);
  EXPECT_NE(refused.find("\"type\": null, \"base\": null"), std::string::npos) << refused;
  for (const char *sentinel : {"3250700737", "3267543746"})  // 0xC1C1C1C1, 0xC2C2C2C2
    EXPECT_EQ(r.out.find(sentinel), std::string::npos) << sentinel;

  // GetUsbController spins past the budget: no status, no outputs.
  ToolRun stuck = RunTool({"--format", "json", "--budget", "100000",
                           ROBUSTNESS_DATA "/H-slow-consumer-256-calls.efi"});
  EXPECT_EQ(stuck.status, 1);
  EXPECT_TRUE(JsonChecker(stuck.out).WholeValue());
  EXPECT_NE(stuck.out.find("{\"id\": 0, \"returned\": false, \"status\": null, \"status_name\": "
                           "null, \"type\": null, \"base\": null"),
            std::string::npos)
      << stuck.out;

  // The entry spins: no entry status; nothing was found, so no PPI fields.
  ToolRun spin = RunTool({"--format", "json", ROBUSTNESS_DATA "/H-spin.efi"});
  EXPECT_EQ(spin.status, 1);
  EXPECT_TRUE(JsonChecker(spin.out).WholeValue());
  EXPECT_NE(spin.out.find("\"entry_returned\": false, \"entry_status\": null"), std::string::npos);
  EXPECT_NE(spin.out.find("\"found\": false, \"locate_status\": 2147483662, \"descriptor\": null"),
            std::string::npos);
}

bool ValidUtf8(const std::string &s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = s[i];
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; k++) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (s[i + k] & 0x3F);
    }
    if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n;
  }
  return true;
}

// A path may hold any byte. The JSON escapes control characters and puts
// U+FFFD for each byte that is not UTF-8, so it stays valid JSON in valid
// UTF-8; the text shows control characters and such bytes as \xNN.
TEST(Cli, AnyPathGivesValidJsonAndAOneLineHeader) {
  const std::string name = std::string("odd\x01\x1b[31m\x7f\xff\xfe") + "\xc3\xa9" +
                           "\xed\xa0\x80" + "\t.efi";
  std::string path = ScratchFile(name, simtest::ModuleBytes());
  ToolRun json = RunTool({"--format", "json", path});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_TRUE(JsonChecker(json.out).WholeValue());
  EXPECT_TRUE(ValidUtf8(json.out));
  EXPECT_NE(json.out.find("odd\\u0001\\u001b[31m\\u007f\\ufffd\\ufffd\xc3\xa9"
                          "\\ufffd\\ufffd\\ufffd\\u0009.efi\""),
            std::string::npos)
      << json.out.substr(0, 300);

  ToolRun text = RunTool({path});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(Lines(text.out).at(0), "peim-sim: " SIM_SCRATCH_DIR
                                   "/odd\\x01\\x1B[31m\\x7F\\xFF\\xFE\xc3\xa9\\xED\\xA0\\x80\\x09.efi");
}

// A trace cut at the limit compares like any other: the saved output of the
// same run matches, and one that goes on longer differs where it was cut.
TEST(Cli, ExpectComparesTruncatedTraces) {
  const std::string image = ROBUSTNESS_DATA "/F13-port-loop.efi";
  ToolRun saved = RunTool({"--budget", "200000", image});
  ASSERT_EQ(saved.status, 1) << saved.err;
  std::vector<std::string> trace = simtest::TraceLines(saved.out);
  ASSERT_EQ(trace.size(), 50001u);
  EXPECT_NE(trace.back().find("trace truncated after 50000 events; 49999 more"), std::string::npos)
      << trace.back();
  EXPECT_NE(saved.out.find("the first 50000 of 99999 events recorded"), std::string::npos);
  EXPECT_NE(saved.out.find("99999 accesses"), std::string::npos);
  std::string file = ScratchFile("truncated.txt", std::vector<uint8_t>(saved.out.begin(), saved.out.end()));
  ToolRun same = RunTool({"--expect", file, "--budget", "200000", image});
  EXPECT_EQ(same.status, 1);  // the budget still
  EXPECT_NE(same.out.find("the trace matches"), std::string::npos);
  ToolRun longer = RunTool({"--expect", file, "--budget", "300000", image});
  EXPECT_EQ(longer.status, 1);
  EXPECT_NE(longer.out.find("first difference at trace line 50001"), std::string::npos);
}

TEST(Cli, FailedServiceIsShownAndTheRunStaysClean) {
  ToolRun r = RunTool({"--fail", "AllocatePages:EFI_OUT_OF_RESOURCES@1", USB_PEIM_IMAGE});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("AllocatePages returns EFI_OUT_OF_RESOURCES on call 1"), std::string::npos);
  EXPECT_NE(r.out.find("=> EFI_OUT_OF_RESOURCES [injected]"), std::string::npos);
  EXPECT_NE(r.out.find("returned EFI_OUT_OF_RESOURCES"), std::string::npos);
  EXPECT_NE(r.out.find("0 accesses"), std::string::npos);
  EXPECT_NE(r.out.find("no PEI_USB_CONTROLLER_PPI installed"), std::string::npos);
}

TEST(Cli, RegisterPresetsReachTheTrace) {
  ToolRun r = RunTool({"--mmio", "0xFED803EF=0x80", "--pci", "00:12.2+0x04=0x04/8", "--mmio",
                       "00:13.2+0xB4=0x00001080", USB_PEIM_IMAGE});
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<std::string> trace = simtest::TraceLines(r.out);
  auto has = [&](const std::string &a, const std::string &b) {
    for (const std::string &l : trace)
      if (l.find(a) != std::string::npos && l.find(b) != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(has("wr8    0xFED803EF  0x80", "chipset"));
  EXPECT_TRUE(has("out8   0x0CFC      0x06", "00:12.2 +0x04 Command"));
  EXPECT_TRUE(has("rd32   0xF00090B4  0x00001080", "EHCI 1 MMIO +0xB4"));
  EXPECT_TRUE(has("wr32   0xF00090B4  0x00000040", "EHCI 1 MMIO +0xB4"));
}

TEST(Cli, ViolationsAreListedWithTheirOffsetAndGiveStatus1) {
  // mov eax, [0xF00080B4]: an EHCI register before anything set it up.
  std::string image = ScratchFile("unclaimed.efi", simtest::BuildImage({0xA1, 0xB4, 0x80, 0x00, 0xF0,
                                                                         0x31, 0xC0, 0xC3}));
  ToolRun r = RunTool({image});
  EXPECT_EQ(r.status, 1);
  bool listed = false;
  for (const std::string &l : Lines(r.out))
    listed |= l.find("+0x0200") != std::string::npos && l.find("[unclaimed-mmio]") != std::string::npos;
  EXPECT_TRUE(listed) << r.out;
  EXPECT_NE(r.out.find("result        NOT clean"), std::string::npos);
}

// ---- Service calls as data, the platform's presets, --expect of a JSON output ----

using peimsim::JsonValue;

JsonValue Parsed(const ToolRun &r) {
  JsonValue v;
  std::string error;
  EXPECT_TRUE(peimsim::ParseJson(r.out, v, error)) << error;
  return v;
}

// The text of a member (a number's digits, a string), "null", or "-" when it
// is missing.
std::string At(const JsonValue *v, const std::string &key) {
  const JsonValue *m = v ? v->Find(key) : nullptr;
  if (!m) return "-";
  return m->type == JsonValue::Type::kNull ? "null" : m->text;
}

// The field of that name in a service event's "args" or "outputs".
const JsonValue *FieldOf(const JsonValue &event, const std::string &list, const std::string &name) {
  const JsonValue *fields = event.Find(list);
  if (!fields) return nullptr;
  for (const JsonValue &f : fields->items)
    if (At(&f, "name") == name) return &f;
  return nullptr;
}

std::vector<const JsonValue *> ServiceEvents(const JsonValue &run) {
  std::vector<const JsonValue *> calls;
  if (const JsonValue *trace = run.Find("trace"))
    for (const JsonValue &e : trace->items)
      if (At(&e, "kind") == "service") calls.push_back(&e);
  return calls;
}

TEST(Cli, JsonServiceEventsCarryTheirArgumentsAndOutputsAsData) {
  ToolRun text = RunTool({USB_PEIM_IMAGE});
  ToolRun json = RunTool({"--format", "json", USB_PEIM_IMAGE});
  ASSERT_EQ(json.status, 0) << json.err;
  JsonValue run = Parsed(json);
  std::vector<const JsonValue *> calls = ServiceEvents(run);
  ASSERT_EQ(calls.size(), 5u);
  std::map<std::string, const JsonValue *> by;
  for (const JsonValue *c : calls) {
    by[At(c, "service")] = c;
    // The text beside the data is the text trace's.
    EXPECT_NE(text.out.find(At(c, "service") + " (" + At(c, "arguments") + ")  => "),
              std::string::npos)
        << At(c, "arguments");
  }
  const JsonValue &locate = *by.at("LocatePpi"), &allocate = *by.at("AllocatePages"),
                  &install = *by.at("InstallPpi");
  const JsonValue *guid = FieldOf(locate, "args", "Guid");
  EXPECT_EQ(At(guid, "kind"), "guid");
  EXPECT_EQ(At(guid, "guid"), "1F4C6F90-B06B-48D8-A201-BAE5F1CD7D56");
  EXPECT_EQ(At(guid, "guid_name"), "gEfiPeiStallPpiGuid");
  EXPECT_EQ(At(FieldOf(locate, "args", "Instance"), "value"), "0");
  EXPECT_EQ(At(FieldOf(locate, "args", "Descriptor"), "address"), "0");
  EXPECT_EQ(At(FieldOf(locate, "args", "Descriptor"), "where"), "null");
  EXPECT_EQ(At(FieldOf(locate, "args", "Ppi"), "where"), "stack");
  EXPECT_EQ(At(FieldOf(locate, "outputs", "Ppi"), "address"), std::to_string(0x00020100));
  EXPECT_EQ(FieldOf(locate, "outputs", "Descriptor"), nullptr);  // it was not asked for

  EXPECT_EQ(At(FieldOf(allocate, "args", "MemoryType"), "memory_type_name"), "EfiBootServicesData");
  EXPECT_EQ(At(FieldOf(allocate, "args", "Pages"), "value"), "1");
  const JsonValue *memory = FieldOf(allocate, "outputs", "Memory");
  EXPECT_EQ(At(memory, "kind"), "pointer");
  EXPECT_EQ(At(memory, "where"), "page 0x001FF000+0x0");
  EXPECT_EQ(At(&allocate, "results"), "Memory = 0x001FF000");
  EXPECT_EQ(At(memory, "address"), std::to_string(0x001FF000));
  // The PPI the module installs lies in that page.
  EXPECT_EQ(At(FieldOf(install, "args", "PpiList[0].Guid"), "guid_name"),
            "gPeiUsbControllerPpiGuid");
  EXPECT_EQ(At(FieldOf(install, "args", "PpiList[0].Ppi"), "address"), At(memory, "address"));
  EXPECT_EQ(At(FieldOf(install, "args", "PpiList[0].Flags"), "value"), std::to_string(0x80000010u));

  ToolRun s3 = RunTool({"--format", "json", "--boot-mode", "BOOT_ON_S3_RESUME", USB_PEIM_IMAGE});
  JsonValue resumed = Parsed(s3);
  ASSERT_EQ(ServiceEvents(resumed).size(), 1u) << s3.out;
  const JsonValue *mode = FieldOf(*ServiceEvents(resumed)[0], "outputs", "BootMode");
  EXPECT_EQ(At(mode, "kind"), "boot_mode");
  EXPECT_EQ(At(mode, "value"), "17");
  EXPECT_EQ(At(mode, "boot_mode_name"), "BOOT_ON_S3_RESUME");
}

TEST(Cli, JsonPlatformListsThePresetsAndTheSeed) {
  ToolRun plain = RunTool({"--format", "json", USB_PEIM_IMAGE});
  JsonValue plainRun = Parsed(plain);  // kept: platform points into it
  const JsonValue *platform = plainRun.Find("platform");
  ASSERT_NE(platform, nullptr);
  EXPECT_EQ(At(platform, "randomize_seed"), "null");
  EXPECT_EQ(JsonText(*platform->Find("presets")), "[]");

  ToolRun set = RunTool({"--format", "json", "--randomize", "7", "--pci", "00:12.2+0x04=0x04/8",
                         "--mmio", "0xFED803EF=0x80", "--mmio", "00:13.2+0xB4=0x1080",
                         USB_PEIM_IMAGE});
  JsonValue run = Parsed(set);
  platform = run.Find("platform");
  ASSERT_NE(platform, nullptr) << set.out;
  EXPECT_EQ(At(platform, "randomize_seed"), "7");
  EXPECT_EQ(At(platform, "registers_set"), "3");
  EXPECT_EQ(JsonText(*platform->Find("presets")),
            "[{\"space\": \"config\", \"function\": \"00:12.2\", \"offset\": 4, \"address\": null, "
            "\"width\": 8, \"value\": 4}, "
            "{\"space\": \"chipset\", \"function\": null, \"offset\": null, \"address\": " +
                std::to_string(0xFED803EFu) + ", \"width\": 8, \"value\": 128}, "
            "{\"space\": \"mmio\", \"function\": \"00:13.2\", \"offset\": 180, \"address\": null, "
            "\"width\": 32, \"value\": 4224}]");
}

TEST(Cli, ExpectTakesASavedJsonOutput) {
  ToolRun saved = RunTool({"--no-map", "--format", "json", USB_PEIM_IMAGE});
  ASSERT_EQ(saved.status, 0) << saved.err;
  // What a rebuild or the symbols change is not compared: every event's
  // index, offset and symbol here differ from the run's (which has the
  // symbols of the map beside the image).
  std::string moved = saved.out;
  for (size_t at = 0; (at = moved.find("{\"index\": ", at)) != std::string::npos; at += 20)
    moved.replace(at, 10, "{\"symbol\": \"Elsewhere+0x1\", \"index\": 9");
  for (size_t at = 0; (at = moved.find("\"offset\": ", at)) != std::string::npos; at += 10)
    if (isdigit((unsigned char)moved[at + 10])) moved.insert(at + 10, "7");
  std::string file = ScratchFile("expected.json", std::vector<uint8_t>(moved.begin(), moved.end()));
  ToolRun same = RunTool({"--expect", file, "--load-address", "0x40000000", USB_PEIM_IMAGE});
  EXPECT_EQ(same.status, 0) << same.out << same.err;
  EXPECT_NE(same.out.find("the trace matches"), std::string::npos) << same.out;
  ToolRun sameJson = RunTool({"--format", "json", "--expect", file, USB_PEIM_IMAGE});
  EXPECT_NE(sameJson.out.find("\"match\": true"), std::string::npos) << sameJson.out;

  // A preset EHCI register: the event that read it differs, and only it.
  JsonValue run = Parsed(saved);
  size_t event = 0;
  const JsonValue &trace = *run.Find("trace");
  for (size_t i = 0; i < trace.items.size() && !event; i++)
    if (At(&trace.items[i], "target") == "EHCI 1 MMIO +0xB4" && At(&trace.items[i], "op") == "read")
      event = i + 1;
  ASSERT_NE(event, 0u);
  ToolRun differs = RunTool({"--expect", file, "--mmio", "00:13.2+0xB4=0x00001080", USB_PEIM_IMAGE});
  EXPECT_EQ(differs.status, 1);
  EXPECT_NE(differs.out.find("first difference at trace event " + std::to_string(event) +
                             " (value):\n  expected: phase=entry kind=mmio op=read width=32 "
                             "address=0xF00090B4 value=0x0 target=\"EHCI 1 MMIO +0xB4\""),
            std::string::npos)
      << differs.out;
  EXPECT_NE(differs.out.find("\n  actual:   phase=entry kind=mmio op=read width=32 "
                             "address=0xF00090B4 value=0x1080 "),
            std::string::npos)
      << differs.out;
  EXPECT_EQ(differs.out.find("events differ in all"), std::string::npos) << differs.out;
  EXPECT_NE(differs.err.find("the trace differs from"), std::string::npos) << differs.err;
}

TEST(Cli, ExpectRefusesAMalformedOrTracelessJsonOutput) {
  ToolRun saved = RunTool({"--format", "json", USB_PEIM_IMAGE});
  ToolRun quiet = RunTool({"--format", "json", "--quiet", USB_PEIM_IMAGE});
  std::string cut = saved.out.substr(0, saved.out.size() / 2);
  struct Case {
    std::string name, text, message;
  } cases[] = {
      {"cut.json", cut, ": line "},
      {"quiet.json", quiet.out, "no trace in "},
      {"comma.json", "{\"trace\": [{},]}", ": line 1, column 15: expected a value, found ']'"},
      {"twice.json", "{\"trace\": [], \"trace\": []}", "line 1, column 15: the key \"trace\" a second"},
      {"deep.json", "{\"trace\": " + std::string(100, '[') + std::string(100, ']') + "}",
       "nested deeper than 64 levels"},
      {"surrogate.json", "{\"trace\": [{\"target\": \"\\ud800\"}]}", "high surrogate"},
      {"number.json", "{\"trace\": [{\"value\": 01}]}", "expected ',' or '}' in an object, found '1'"},
      {"events.json", "{\"trace\": [1]}", "its trace event 1 is not an object"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = ScratchFile(c.name, std::vector<uint8_t>(c.text.begin(), c.text.end()));
    ToolRun r = RunTool({"--expect", file, USB_PEIM_IMAGE});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--expect: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(file), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
}

}  // namespace
