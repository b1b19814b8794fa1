// pe-compact: the post-link writer. Rewrites the image lld-link made into the
// compact PE32 that ships (and its TE image), and the link map to match.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "file_io.h"
#include "link_map.h"
#include "pe_compact.h"
#include "pe_image.h"
#include "tool_version.h"

namespace {

const char kUsage[] =
    "usage: pe-compact LINKED.efi -o OUT.efi [--map LINKED.map --map-out OUT.map] [--te OUT.te]\n"
    "\n"
    "Rewrites LINKED.efi, an IA-32 PE32 image as the linker wrote it, into the smallest\n"
    "conventional PE32 that runs in place: a 64-byte DOS header without a program, 7 data\n"
    "directories, and one section holding the code, the read-only data and, at its end,\n"
    "the relocation table, at file offsets equal to their addresses. The code and data\n"
    "move down as one block; every fixup and every address it covers follows them.\n"
    "\n"
    "  -o FILE, --output FILE  the compact PE32 image (required)\n"
    "  --map FILE              the linker map of LINKED.efi, to be shifted with the code\n"
    "  --map-out FILE          the shifted map, for OUT.efi and OUT.te (with --map)\n"
    "  --te FILE               also the TE image of OUT.efi: its headers before the\n"
    "                          section table replaced by a 40-byte TE header\n"
    "  -h, --help              this text\n"
    "  --version               the version\n"
    "\n"
    "Options also take the form --option=FILE. Outputs are written only when all of them\n"
    "could be made, each replaced whole.\n"
    "\n"
    "Exit status: 0 written; 2 bad usage, an input that cannot be read, is malformed or\n"
    "cannot be rewritten safely, or an output that cannot be written, on one line, with\n"
    "nothing written.\n";

int Fail(const std::string &message) {
  fprintf(stderr, "pe-compact: %s\n", message.c_str());
  return 2;
}

struct Option {
  const char *longName;
  const char *shortName;
  std::string *value;
};

}  // namespace

int main(int argc, char **argv) {
  std::string input, output, mapIn, mapOut, teOut;
  const Option options[] = {{"--output", "-o", &output},
                            {"--map", nullptr, &mapIn},
                            {"--map-out", nullptr, &mapOut},
                            {"--te", nullptr, &teOut}};
  bool optionsEnd = false;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (!optionsEnd && (a == "-h" || a == "--help")) {
      printf("%s\n\n%s", toolio::VersionLine("pe-compact").c_str(), kUsage);
      return 0;
    }
    if (!optionsEnd && a == "--version") {
      printf("%s\n", toolio::VersionLine("pe-compact").c_str());
      return 0;
    }
    if (!optionsEnd && a == "--") {
      optionsEnd = true;
      continue;
    }
    if (!optionsEnd && a.size() > 1 && a[0] == '-') {
      const Option *found = nullptr;
      std::string value;
      bool inline_ = false;
      for (const Option &o : options) {
        const std::string l = o.longName;
        if (a == l || (o.shortName && a == o.shortName)) {
          found = &o;
        } else if (a.rfind(l + "=", 0) == 0) {
          found = &o;
          value = a.substr(l.size() + 1);
          inline_ = true;
        }
        if (found) break;
      }
      if (!found) return Fail("unknown option '" + pe::Printable(a) + "' (see --help)");
      if (!inline_) {
        if (i + 1 >= argc) return Fail(std::string(found->longName) + " needs a file (see --help)");
        value = argv[++i];
      }
      if (value.empty()) return Fail(std::string(found->longName) + " needs a file (see --help)");
      if (!found->value->empty())
        return Fail(std::string(found->longName) + " given twice (see --help)");
      *found->value = value;
      continue;
    }
    if (a.empty()) return Fail("empty image path (see --help)");
    if (!input.empty())
      return Fail("more than one image: '" + pe::Printable(input) + "' and '" + pe::Printable(a) +
                  "' (see --help)");
    input = a;
  }
  if (input.empty()) return Fail("no image given (see --help)");
  if (output.empty()) return Fail("no output given: -o OUT.efi (see --help)");
  if (mapIn.empty() != mapOut.empty())
    return Fail(mapIn.empty() ? "--map-out needs --map (see --help)"
                              : "--map needs --map-out (see --help)");
  // Two outputs on one path would leave only the last; an output on an input
  // is allowed (the inputs are read whole first), other than the map on the
  // image.
  std::vector<std::string> outputs = {output};
  if (!mapOut.empty()) outputs.push_back(mapOut);
  if (!teOut.empty()) outputs.push_back(teOut);
  for (size_t i = 0; i < outputs.size(); i++) {
    for (size_t j = i + 1; j < outputs.size(); j++) {
      if (outputs[i] == outputs[j] || toolio::SameFile(outputs[i], outputs[j]))
        return Fail("'" + pe::Printable(outputs[i]) + "' named as two outputs (see --help)");
    }
  }

  std::vector<uint8_t> bytes;
  std::string error;
  pe::Image linked;
  if (!pe::ReadFile(input, bytes, error)) return Fail(error);
  if (!pe::ParseAny(std::move(bytes), linked, error)) return Fail(input + ": " + error);
  std::vector<uint8_t> compact, te, shiftedMap;
  pe::CompactMove move;
  if (!pe::WriteCompactImage(linked, compact, move, error)) return Fail(input + ": " + error);
  if (!teOut.empty()) {
    pe::Image image;
    if (!pe::Parse(compact, image, error) || !pe::WriteTeImage(image, te, error))
      return Fail(input + ": " + error);
  }
  if (!mapIn.empty()) {
    std::vector<uint8_t> text;
    if (!toolio::ReadInput(mapIn, text, error, pe::kMaxLinkMapBytes)) return Fail(error);
    std::string shifted;
    if (!pe::ShiftLinkMap(std::string(text.begin(), text.end()), mapIn, linked, move, shifted,
                          error))
      return Fail(error);
    shiftedMap.assign(shifted.begin(), shifted.end());
  }

  // Each output is replaced whole; checking every one before writing the
  // first keeps a bad later path from leaving the earlier ones written.
  for (const std::string &path : outputs) {
    if (!toolio::CheckOutputPath(path, error)) return Fail(error);
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        access(folder.c_str(), W_OK | X_OK) != 0)
      return Fail(path + ": its folder does not exist or cannot be written");
  }
  if (!toolio::WriteOutput(output, compact, error)) return Fail(error);
  if (!mapOut.empty() && !toolio::WriteOutput(mapOut, shiftedMap, error)) return Fail(error);
  if (!teOut.empty() && !toolio::WriteOutput(teOut, te, error)) return Fail(error);
  return 0;
}
