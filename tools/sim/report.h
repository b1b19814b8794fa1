// What peim-sim prints: the header, the numbered trace, the consumer's
// view and the summary, as aligned text or as one JSON object; and the
// comparison of a trace with a saved one.
#ifndef TOOLS_SIM_REPORT_H_
#define TOOLS_SIM_REPORT_H_

#include <optional>
#include <string>
#include <vector>

#include "platform.h"
#include "symbols.h"
#include "trace_format.h"

namespace peimsim {

struct ExpectResult {
  std::string path;
  bool match = false;
  std::string difference;  // when !match: the first difference, then every other (up to 20)
};

struct RepeatFigures {
  uint64_t dispatches = 0;
  double seconds = 0;
};

struct RunReport {
  std::string imagePath;
  std::string source;    // what the image came from: "PE32 image", "PE32 image in firmware file ..."
  std::string dispatch;  // the dependency expression's verdict, for a firmware file
  std::vector<std::string> notes;  // what the volume mapping left out
  const Platform *platform = nullptr;
  bool disasm = false;  // the trace shows each access's instruction
  const TraceView *view = nullptr;  // --trace, --only, --dump (none: every event)
  const ImageSymbols *symbols = nullptr;  // from the link map: each line names its function
  std::string symbolsText;  // the Image part's line: where they came from, or why none
  CallOutcome entry;
  ConsumerView consumer;
  std::optional<ExpectResult> expect;
  std::optional<RepeatFigures> repeat;
};

// The trace as numbered text lines, one per event; with disasm, each ends
// with "; " and the instruction that made it (--expect ignores that part).
// A view leaves out the events it does not show (the others keep their
// numbers) and, with --trace pci, shows each configuration access as one
// PCI line.
// With symbols, a column after the image offset names the function
// (--expect ignores it too).
std::vector<std::string> TraceLines(const Platform &platform, bool disasm = false,
                                    const TraceView *view = nullptr,
                                    const ImageSymbols *symbols = nullptr);

// The instruction at address, disassembled; empty when it is not readable
// code of the image.
std::string InstructionText(const Platform &platform, uint32_t address);

// The drcov file of the run's coverage (coverage.h); path names the image.
std::vector<uint8_t> CoverageFile(const Platform &platform, const std::string &path);

// The trace lines of a saved peim-sim text output. False if it has no
// Trace section (not a text output, or one made with --quiet).
bool ReadSavedTrace(const std::string &savedOutput, std::vector<std::string> &lines);

// Compares trace lines with saved ones. The numbers and image offsets are
// not compared, so an expectation survives a rebuild of the image that does
// not change its behaviour.
ExpectResult CompareTrace(const std::vector<std::string> &actual,
                          const std::vector<std::string> &expected);

// A clean run: the entry came back and no check was violated.
bool CleanRun(const RunReport &report);
// Why a run is not clean, in one line.
std::string NotCleanReason(const RunReport &report);

// Text with its control characters shown as \xNN, for one-line messages
// and the text output (paths and saved lines can hold any byte).
std::string Printable(const std::string &text);

std::string RenderText(const RunReport &report, bool quiet);
std::string RenderJson(const RunReport &report, bool quiet);

}  // namespace peimsim

#endif  // TOOLS_SIM_REPORT_H_
