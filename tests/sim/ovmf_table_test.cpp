// peim-sim on every PEIM of Debian's OVMF IA-32 firmware, as a platform
// engineer would run it: the built tool as a process, each PEIM by its file
// GUID in the firmware image (the earlier PEIMs its dependencies need are
// dispatched first), with a budget. The outcomes form the table in
// tools/sim/README.md; this test writes the table to the build directory
// and fails when the README's differs, saying how to refresh it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "fv_tree.h"
#include "test_support.h"

namespace {

const char kOvmf[] = "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";
const char kBegin[] = "<!-- OVMF table: begin -->\n";
const char kEnd[] = "<!-- OVMF table: end -->\n";

std::string ReadText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The value after a summary label ("  entry         returned ...").
std::string Field(const std::string &out, const std::string &label) {
  std::istringstream lines(out);
  for (std::string l; std::getline(lines, l);)
    if (l.rfind("  " + label + " ", 0) == 0) {
      size_t at = l.find_first_not_of(' ', 2 + label.size());
      return at == std::string::npos ? "" : l.substr(at);
    }
  return "";
}

struct Row {
  std::string name, outcome, instructions, accesses, installed, created, registered, absent;
};

// How many items a summary list holds ("24 bytes at 0x..., 16 bytes at ..."),
// as "2 HOBs"; what is singular, "s" is added for more than one.
std::string Count(const std::string &list, const std::string &item, const std::string &what) {
  size_t n = 0;
  for (size_t at = list.find(item); at != std::string::npos; at = list.find(item, at + 1)) n++;
  return n ? std::to_string(n) + " " + what + (n > 1 ? "s" : "") : "";
}

// One PEIM's row: how the run ended (the entry's status, or the first
// violation's tag and its cause up to the first comma; "entry only" where
// its work waits in a callback that never ran), the instructions and the
// hardware accesses of the entry, what it installed, created and
// registered, and the absent PCI functions it read.
Row RunPeim(const std::string &guid, const std::string &name) {
  simtest::ToolRun r = simtest::RunTool({"--any-peim", "--force", "--quiet", "--budget", "2000000",
                                         "--time-limit", "60", kOvmf, "--file", guid});
  Row row;
  row.name = name;
  EXPECT_TRUE(r.status == 0 || r.status == 1) << name << ": exit status " << r.status << "\n"
                                              << r.err;
  std::string entry = Field(r.out, "entry");
  std::istringstream lines(r.out);
  std::string violation;
  for (std::string l; std::getline(lines, l);) {
    size_t tag = l.find("    ") == 0 ? l.find('[') : std::string::npos;
    if (tag == std::string::npos || tag > 20) continue;
    std::string rest = l.substr(tag);
    size_t close = rest.find(']');
    std::string cause = close == std::string::npos ? "" : rest.substr(close + 1);
    cause.erase(0, cause.find_first_not_of(' '));
    // Every violation states its cause.
    EXPECT_FALSE(cause.empty()) << name << ": a violation without a cause: " << l;
    cause = cause.substr(0, cause.find(','));
    cause = cause.substr(0, cause.find(" (at 0x"));
    violation = rest.substr(0, close + 1) + " " + cause;
    break;
  }
  if (entry.rfind("returned ", 0) == 0)
    row.outcome = entry.substr(0, entry.find(" (")) + (violation.empty() ? "" : "; " + violation);
  else
    row.outcome = violation.empty() ? entry : violation;
  std::string instructions = Field(r.out, "instructions");
  row.instructions = instructions.substr(0, instructions.find(' '));
  std::string hardware = Field(r.out, "hardware");
  row.accesses = hardware.substr(0, hardware.find(' '));
  if (!Field(r.out, "entry only").empty()) row.outcome += " (entry only)";
  std::string installed = Field(r.out, "installed");
  row.installed = installed == "no PPI" ? "" : installed;
  std::string hobs = Count(Field(r.out, "HOBs created"), " bytes at ", "HOB"),
              pool = Count(Field(r.out, "pool"), " bytes at ", "pool buffer"),
              pages = Count(Field(r.out, "pages"), " at 0x", "page range");
  for (const std::string *part : {&hobs, &pool, &pages})
    if (!part->empty()) row.created += (row.created.empty() ? "" : ", ") + *part;
  std::string registered = Field(r.out, "registered");
  row.registered = registered == "no notification" ? "" : registered;
  std::string absent = Field(r.out, "absent PCI");
  row.absent = absent.substr(0, absent.find(" (all ones)"));
  EXPECT_FALSE(row.outcome.empty()) << name << ": no outcome in\n" << r.out << r.err;
  return row;
}

TEST(OvmfTable, ReadmeTableMatchesTheRunsOnOvmf) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!pe::ReadFile(kOvmf, bytes, error)) GTEST_SKIP() << "no OVMF IA-32 image: " << error;
  fv::Image firmware(std::move(bytes));
  std::string table =
      "| PEIM | outcome | instructions | accesses | installed | created | registered | absent PCI "
      "read |\n|---|---|---:|---:|---|---|---|---|\n";
  int rows = 0, succeeded = 0;
  for (const fv::Volume *v : firmware.AllVolumes()) {
    for (const fv::File &f : v->files) {
      if (f.type != 0x06 || f.deleted) continue;
      Row row = RunPeim(f.name.ToString(), f.UiName());
      table += "| " + row.name + " | " + row.outcome + " | " + row.instructions + " | " +
               row.accesses + " | " + row.installed + " | " + row.created + " | " +
               row.registered + " | " + row.absent + " |\n";
      rows++;
      succeeded += row.outcome.rfind("returned EFI_SUCCESS", 0) == 0;
    }
  }
  EXPECT_EQ(rows, 15);
  // What the Foundation must carry: these four at least return success.
  EXPECT_GE(succeeded, 4);
  for (const char *peim : {"PcdPeim", "ReportStatusCodeRouterPei", "StatusCodeHandlerPei"})
    EXPECT_NE(table.find(std::string("| ") + peim + " | returned EFI_SUCCESS"), std::string::npos)
        << peim << " did not return EFI_SUCCESS:\n"
        << table;

  std::string written = SIM_SCRATCH_DIR "/ovmf-table.md";
  std::ofstream(written, std::ios::binary) << table;
  std::string readme = ReadText(SIM_SOURCE_DIR "/README.md");
  size_t begin = readme.find(kBegin), end = readme.find(kEnd);
  ASSERT_NE(begin, std::string::npos) << SIM_SOURCE_DIR "/README.md"
                                      << " has no line " << kBegin;
  ASSERT_NE(end, std::string::npos) << SIM_SOURCE_DIR "/README.md"
                                    << " has no line " << kEnd;
  begin += sizeof kBegin - 1;
  EXPECT_EQ(readme.substr(begin, end - begin), table)
      << SIM_SOURCE_DIR "/README.md"
      << "'s OVMF table differs from this run's, written to " << written
      << ". If the change is meant, refresh the README with:\n  tests/sim/refresh-ovmf-table.sh "
      << written;
}

}  // namespace
