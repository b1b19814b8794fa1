// peim-sim: runs a PEI module's IA-32 image on the emulated platform and
// shows every access it makes.
#include <chrono>
#include <cstdio>

#include "file_io.h"
#include "options.h"
#include "pe_image.h"
#include "report.h"

using namespace peimsim;

// One line on stderr: paths and values come from the command line, so their
// control characters are shown escaped and cannot break the line.
static int Fail(const std::string &message) {
  fprintf(stderr, "peim-sim: %s\n", Printable(message).c_str());
  return 2;
}

int main(int argc, char **argv) {
  CommandLine cl;
  std::string error;
  if (!ParseCommandLine(argc, argv, cl, error)) return Fail(error);
  if (cl.help) {
    fputs(HelpText().c_str(), stdout);
    return 0;
  }
  std::vector<uint8_t> bytes;
  pe::Image image;
  if (!pe::ReadFile(cl.imagePath, bytes, error)) return Fail(error);
  if (!pe::Parse(std::move(bytes), image, error)) return Fail(cl.imagePath + ": " + error);
  // The expectation is read and checked before the run, so that a file
  // that cannot serve is refused as bad input.
  std::vector<std::string> expected;
  if (!cl.expectPath.empty()) {
    std::vector<uint8_t> text;
    if (!toolio::ReadInput(cl.expectPath, text, error, kMaxExpectBytes))
      return Fail("--expect: " + error);
    if (!ReadSavedTrace(std::string(text.begin(), text.end()), expected))
      return Fail("--expect: no trace in " + cl.expectPath +
                  " (expected a saved peim-sim text output, made without --quiet)");
  }
  Platform platform;
  if (!platform.Load(image, cl.platform, error)) return Fail(cl.imagePath + ": " + error);

  RunReport report;
  report.imagePath = cl.imagePath;
  report.platform = &platform;
  if (cl.repeat) {
    auto start = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < cl.repeat; i++) {
      platform.Reset();
      platform.RunEntry();
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    report.repeat = RepeatFigures{cl.repeat, took.count()};
  }
  platform.Reset();
  report.entry = platform.RunEntry();
  report.consumer = platform.QueryConsumer();
  platform.CheckInjectedFailures();
  if (!cl.expectPath.empty()) {
    report.expect = CompareTrace(TraceLines(platform), expected);
    report.expect->path = cl.expectPath;
  }
  std::string out = cl.json ? RenderJson(report, cl.quiet) : RenderText(report, cl.quiet);
  fputs(out.c_str(), stdout);
  if (CleanRun(report)) return 0;
  fprintf(stderr, "peim-sim: %s: not clean: %s\n", Printable(cl.imagePath).c_str(),
          NotCleanReason(report).c_str());
  return 1;
}
