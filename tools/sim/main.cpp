// peim-sim: runs a PEI module's IA-32 image on the emulated platform and
// shows every access it makes.
#include <cctype>
#include <chrono>
#include <cstdio>

#include <sys/stat.h>

#include "expect_json.h"
#include "file_io.h"
#include "input.h"
#include "options.h"
#include "pe_image.h"
#include "report.h"
#include "symbols.h"
#include "boot/boot_main.h"
#include "tool_version.h"

using namespace peimsim;

// One line on stderr: paths and values come from the command line, so their
// control characters are shown escaped and cannot break the line.
static int Fail(const std::string &message) {
  fprintf(stderr, "peim-sim: %s\n", Printable(message).c_str());
  return 2;
}

// The image's symbols: from --map (a map that does not fit is bad input),
// else from the map beside a PE32 or TE image given alone, when it fits
// (else the report says why not).
static bool LoadSymbols(const CommandLine &cl, const ModuleInput &input, ImageSymbols &symbols,
                        std::string &text, std::string &error) {
  if (cl.noMap) return true;
  std::string path = cl.mapPath;
  if (path.empty()) {
    if (input.fromFile) return true;
    path = MapBeside(cl.imagePath);
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return true;
  }
  pe::LinkMap map;
  std::string why;
  if (pe::ReadLinkMap(path, map, why) && symbols.Load(map, input.image, why)) {
    text = path + " (" + std::to_string(symbols.Count()) + " symbols)";
    return true;
  }
  // The map's own messages start with its path: "PATH:LINE: problem" or
  // "PATH: problem". The path is named once, below; the line stays.
  if (why.rfind(path + ":", 0) == 0) {
    why.erase(0, path.size() + 1);
    if (!why.empty() && isdigit((unsigned char)why[0])) why = "line " + why;
    else if (!why.empty() && why[0] == ' ') why.erase(0, 1);
  }
  if (!cl.mapPath.empty()) {
    error = "--map " + path + ": " + why;
    return false;
  }
  text = "none: " + path + " beside the image does not fit it (" + why + ")";
  return true;
}

int main(int argc, char **argv) {
  // A whole PEI phase of a firmware image (tools/sim/boot/).
  if (boot::WantsBoot(argc, argv)) return boot::BootMain(argc, argv);
  // --version before the options end (--), like --help anywhere before it.
  for (int i = 1; i < argc && std::string(argv[i]) != "--"; i++) {
    if (std::string(argv[i]) == "--version") {
      printf("%s\n", toolio::VersionLine("peim-sim").c_str());
      return 0;
    }
  }
  CommandLine cl;
  std::string error;
  if (!ParseCommandLine(argc, argv, cl, error)) return Fail(error);
  if (cl.help) {
    printf("%s\n\n%s", toolio::VersionLine("peim-sim").c_str(), HelpText().c_str());
    return 0;
  }
  ModuleInput input;
  if (!ReadModule(cl.imagePath, cl.fileGuid, input, error)) return Fail(error);
  if (!cl.volumePath.empty() && !ReadVolumes(cl.volumePath, input, error)) return Fail(error);
  ImageSymbols symbols;
  std::string symbolsText;
  if (!LoadSymbols(cl, input, symbols, symbolsText, error)) return Fail(error);
  // The expectation (a saved text output, or a --format json one) is read
  // and checked before the run, so that a file that cannot serve is refused
  // as bad input.
  std::vector<std::string> expected;
  std::optional<SavedJsonTrace> expectedJson;
  if (!cl.expectPath.empty()) {
    std::vector<uint8_t> bytes;
    if (!toolio::ReadInput(cl.expectPath, bytes, error, kMaxExpectBytes))
      return Fail("--expect: " + error);
    std::string saved(bytes.begin(), bytes.end());
    bool json = LooksLikeJsonOutput(saved);
    bool haveTrace = true;
    if (json) {
      SavedJson read = ReadSavedJsonTrace(saved, expectedJson.emplace(), error);
      if (read == SavedJson::kMalformed) return Fail("--expect: " + cl.expectPath + ": " + error);
      haveTrace = read == SavedJson::kRead;
    } else {
      haveTrace = ReadSavedTrace(saved, expected);
    }
    if (!haveTrace)
      return Fail("--expect: no trace in " + cl.expectPath + " (expected a saved peim-sim " +
                  (json ? "JSON" : "text") + " output, made without --quiet)");
  }
  // An output that cannot be written is bad input: refused before the run.
  if (!cl.coveragePath.empty()) {
    // The drcov file must not replace what the run reads.
    for (const std::string &in : {cl.imagePath, cl.expectPath, cl.platformPath, cl.volumePath})
      if (!in.empty() && (in == cl.coveragePath || toolio::SameFile(in, cl.coveragePath)))
        return Fail("--coverage: the output is also an input (" + in + "); give another file");
    if (!toolio::CheckOutputPath(cl.coveragePath, error)) return Fail("--coverage: " + error);
  }
  Platform platform;
  if (!platform.Load(input.image, cl.platform, error)) return Fail(cl.imagePath + ": " + error);
  if (!MapFirmware(platform, input, error)) return Fail(cl.imagePath + ": " + error);
  if (cl.platform.anyPeim && !DispatchEarlierPeims(platform, input, error))
    return Fail(cl.imagePath + ": " + error);

  RunReport report;
  report.imagePath = cl.imagePath;
  report.source = input.what;
  report.notes = input.notes;
  report.platform = &platform;
  report.disasm = cl.disasm;
  report.view = &cl.view;
  if (!symbols.Empty()) report.symbols = &symbols;
  report.symbolsText = symbolsText;
  if (input.hasDepex) {
    // The Foundation dispatches a PEIM once its dependency expression holds
    // for the PPIs installed.
    DepexResult d = CheckDepex(platform, input);
    if (!d.valid) return Fail(cl.imagePath + ": dependency expression: " + d.error);
    std::string missing;
    for (const Guid &g : d.missing) missing += (missing.empty() ? "" : ", ") + GuidName(g);
    report.dispatch =
        d.text + (d.satisfied ? ": met" : ": not met (" + missing + " not installed)");
    if (!d.satisfied && !cl.force) {
      printf("peim-sim: %s\n  not dispatchable: its dependency expression %s is not met "
             "(%s not installed); --force runs it anyway\n",
             Printable(cl.imagePath).c_str(), d.text.c_str(), missing.c_str());
      fprintf(stderr, "peim-sim: %s: not dispatchable: dependency expression not met (%s not "
              "installed)\n", Printable(cl.imagePath).c_str(), missing.c_str());
      return 1;
    }
    if (!d.satisfied) report.dispatch += ", dispatched anyway (--force)";
  }
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
  if (!cl.platform.anyPeim) report.consumer = platform.QueryConsumer();
  platform.CheckInjectedFailures();
  if (!cl.expectPath.empty()) {
    report.expect = expectedJson ? CompareJsonTrace(report, *expectedJson)
                                 : CompareTrace(TraceLines(platform, false, &cl.view), expected);
    report.expect->path = cl.expectPath;
  }
  if (!cl.coveragePath.empty() &&
      !toolio::WriteOutput(cl.coveragePath, CoverageFile(platform, cl.imagePath), error))
    return Fail("--coverage: " + error);
  std::string out = cl.json ? RenderJson(report, cl.quiet) : RenderText(report, cl.quiet);
  if (cl.view.dump && !cl.json) out += "\n" + DumpText(platform);
  fputs(out.c_str(), stdout);
  if (CleanRun(report)) return 0;
  fprintf(stderr, "peim-sim: %s: not clean: %s\n", Printable(cl.imagePath).c_str(),
          NotCleanReason(report).c_str());
  return 1;
}
