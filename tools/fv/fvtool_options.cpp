#include "fvtool_options.h"

#include <sstream>

#include <CLI/CLI.hpp>

#include "cli_values.h"
#include "fv_edit.h"
#include "numbers.h"

namespace fv {
namespace {

const char kLimits[] =
    "Limits: inputs up to 256 MiB; from one image at most 256 MiB unpacked from\n"
    "LZMA sections in all, 65536 files and sections, encapsulations and volumes\n"
    "nested 12 deep. `list` prints one line per volume, file and section (so at\n"
    "most about 70,000 lines) and names of up to 512 characters. Section\n"
    "alignment of placed images up to 64 KiB.\n"
    "\n"
    "An input named - is standard input (one at most); -o - writes standard\n"
    "output (not a terminal). Status lines go to standard error.\n"
    "\n"
    "Outputs are written whole or not at all: to an unnamed file in OUT's folder,\n"
    "renamed over OUT when complete. OUT must not be one of the inputs, a\n"
    "symbolic link, a device, a FIFO, or a file with other hard links; it keeps\n"
    "its permissions.\n"
    "\n"
    "Exit status: 0 done; 1 `list` read a damaged image (every fault is marked in\n"
    "the listing); 2 bad arguments or bad input (one line on stderr, nothing\n"
    "written).";

// An argument may hold line breaks; a message quoting it stays one line.
std::string OneLine(const std::string &text) {
  std::string out;
  for (char c : text) out += (c == '\n' || c == '\r') ? ' ' : c;
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// CLI11's help with each line broken at spaces to fit 80 columns (an
// option's description carried on under itself), and a subcommand's usage
// naming the program.
std::string WrapHelp(const std::string &help, const std::string &command) {
  constexpr size_t kWidth = 80;
  std::istringstream lines(help);
  std::string out, line;
  while (std::getline(lines, line)) {
    if (!command.empty() && line.rfind("Usage: " + command, 0) == 0)
      line.insert(7, "fvtool ");
    // An option line ("  --name TEXT   what it is"): continuation lines
    // start where its description does.
    size_t indent = 0;
    if (line.rfind("  ", 0) == 0) {
      size_t gap = line.find("  ", 2);
      size_t text = gap == std::string::npos ? std::string::npos : line.find_first_not_of(' ', gap);
      if (text != std::string::npos && text < kWidth / 2) indent = text;
    }
    while (line.size() > kWidth) {
      size_t cut = line.rfind(' ', kWidth);
      if (cut == std::string::npos || cut <= indent) cut = line.find(' ', kWidth);
      if (cut == std::string::npos) break;
      size_t rest = line.find_first_not_of(' ', cut);
      out += line.substr(0, cut) + "\n";
      line = rest == std::string::npos ? "" : std::string(indent, ' ') + line.substr(rest);
    }
    out += line + "\n";
  }
  return out;
}

struct Number {
  std::string text;
  std::string option;
  uint64_t min, max;
};

class Parser {
 public:
  Parser() : app_("fvtool: builds firmware files and volumes, lists firmware images and edits "
                  "the volumes in them", "fvtool") {
    app_.footer(kLimits);
    app_.set_version_flag("--version", std::string("fvtool ") + FVTOOL_VERSION);
    app_.require_subcommand(1);
    app_.set_help_all_flag("", "");
    app_.fallthrough(false);

    CLI::App *ffs = Command("ffs",
        "Writes a PEIM firmware file holding a PE32 or TE image (told apart by their MZ and VZ "
        "signatures): a dependency expression section (PUSH each --depex-push GUID, AND them, "
        "END; none without), the PE32 or TE section placed so that the image's base lies on its "
        "section alignment (for TE, which does not state it, the largest power of two its "
        "sections' addresses share, at least 8), a UI section with NAME and, with "
        "--file-version, a VERSION section. With --type fv-image INPUT is a volume, held in an "
        "FV_IMAGE section whose data lies on the volume's alignment; with --type freeform "
        "INPUT is any data, held in a RAW section (--name optional for both). Data "
        "checksum and data alignment attributes set. The state is 0x07, as GenFfs writes a lone "
        "file and GenFv expects it (inverting it in an erase-polarity-1 volume); "
        "--volume-state writes 0xF8, the state as such a volume holds it. fvtool reads both.");
    Output(ffs, "fvtool ffs -o OUT.ffs ... INPUT (or fvtool ffs OUT.ffs ... INPUT)");
    ffs->add_option("--guid", a_.guid, "the file's name GUID")->required();
    ffs->add_option("--name", a_.name, "the UI name (UTF-8); required for modules");
    ffs->add_option("--file-version", a_.fileVersion, "a VERSION section with this text (UTF-8)")
        ->each([this](const std::string &) { a_.haveFileVersion = true; });
    Add(ffs, "--build-number", "N", "the VERSION section's build number (default 0)", 0, 0xFFFF,
        [this](uint64_t v) { a_.buildNumber = uint16_t(v); });
    ffs->add_option("--depex-push", a_.depexPush, "a PPI GUID the module waits for (repeatable)")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1)
        ->allow_extra_args(false);  // one value each time: IMAGE.efi may follow
    ffs->add_option("--type", a_.type,
                    "peim (the default), pei-core, driver, fv-image or freeform")
        ->check(CLI::IsMember({"peim", "pei-core", "driver", "fv-image", "freeform"}));
    ffs->add_flag("--volume-state", a_.volumeState,
                  "write the state as an erase-polarity-1 volume holds it (0xF8), not 0x07");
    Files(ffs, "INPUT", "the PE32 or TE image (a volume for fv-image, any data for freeform)", -1);

    CLI::App *list = Command("list",
        "Lists the volumes (#N, numbered in the order shown), files (GUID, type, offset in the "
        "volume, size, name), sections, LZMA-compressed and nested volumes, the PEI apriori "
        "list, and where each image runs; known GUIDs by name. IMAGE may also be a lone .ffs "
        "file. A damaged image is listed as far as it can be read, each fault marked '!'.");
    Image(list);
    list->add_option("--format", a_.format, "text (the default) or json: one JSON object")
        ->check(CLI::IsMember({"text", "json"}));

    CLI::App *insert = Command("insert",
        "Writes OUT: IMAGE with the files added to its PEI volume (the one holding the PEI "
        "core, or volume #N), each PE32 or TE image rebased to run where it lies (the volume's "
        "run address taken from the images already in it, or ADDR) and aligned to its section "
        "alignment (a TE image's base lies StrippedSize - 40 bytes below its header). "
        "Enclosing volumes are rewritten in place: recompressed, sizes and checksums "
        "(CRC32 included) renewed; no file or volume moves, nothing else changes. Files go only "
        "where the PEI core's walk of the volume finds them; a volume top file goes to the "
        "volume's end.");
    Image(insert);
    Files(insert, "FILE.ffs", "the firmware files to add", -1);
    Output(insert, "insert IMAGE FILE.ffs... -o OUT (or insert IMAGE OUT FILE.ffs...)");
    insert->add_flag("--apriori", a_.apriori,
                     "also list the files, in order, in the PEI apriori file (created if absent); "
                     "refuses images that cannot run in place");
    Base(insert);
    Volume(insert);

    CLI::App *replace = Command("replace",
        "Writes OUT: IMAGE with the file of the same name GUID as FILE.ffs replaced in place "
        "(rebased like an inserted one). What it gives up becomes padding; it may grow only "
        "into free room right after it: later files never move. The volume top file moves "
        "instead, so that it ends at the volume's end.");
    Image(replace);
    Files(replace, "FILE.ffs", "the new firmware file", 1);
    Output(replace, "");
    Base(replace);
    Volume(replace);

    CLI::App *remove = Command("remove",
        "Writes OUT: IMAGE with the file turned into padding. A UI name must name one file; "
        "where it names several, they are listed.");
    Image(remove);
    remove->add_option("FILE", a_.fileGuid, "the file: its name GUID or its UI name")->required();
    Output(remove, "");
    Volume(remove);

    CLI::App *extract = Command("extract",
        "Writes OUT: a file of IMAGE (the whole firmware file), one of its sections' data "
        "(--section), or its PE32 or TE image (--image). IMAGE may be a lone .ffs file, "
        "then FILE may be left out.");
    Image(extract);
    extract->add_option("FILE", a_.fileGuid, "the file: its name GUID or its UI name");
    Output(extract, "");
    Volume(extract);
    extract->add_option("--section", a_.section,
                        "a section type: pe32, te, pic, raw, ui, version, pei-depex, dxe-depex, "
                        "fv-image, freeform, or a number");
    Add(extract, "--index", "N", "with --section: the Nth section of that type, from 0 (default 0)",
        0, 0xFFFF, [this](uint64_t v) { a_.sectionIndex = v; });
    extract->add_flag("--image", a_.imageBody, "the file's PE32 or TE image");

    CLI::App *create = Command("create",
        "Writes a new volume (erase polarity 1) holding the files; with --base their images are "
        "linked to run in place with the volume at ADDR.");
    Output(create, "create -o OUT --size SIZE ... [FILE.ffs]... (or create OUT --size SIZE ...)");
    Add(create, "--size", "SIZE", "the volume's size in bytes (required)", 1, kMaxVolumeSize,
        [this](uint64_t v) { a_.size = v; }, true);
    Add(create, "--block", "SIZE", "block size (default 0x1000)", 1, 0xFFFFFFFF,
        [this](uint64_t v) { a_.block = uint32_t(v); });
    Add(create, "--align", "N", "volume alignment, a power of two (default 8)", 1, 0x10000,
        [this](uint64_t v) { a_.align = uint32_t(v); });
    create->add_option("--name", a_.volumeName, "the volume's name GUID (extended header)");
    Add(create, "--base", "ADDR", "link the images to run with the volume at ADDR", 0, 0xFFFFFFFF,
        [this](uint64_t v) {
          a_.haveBase = true;
          a_.base = v;
        });
    Files(create, "FILE.ffs", "the firmware files", 0);
  }

  bool Parse(int argc, const char *const *argv, FvtoolArgs &args, std::string &error) {
    if (!toolio::CheckOptionValues(app_, argc, argv, error)) {
      error = OneLine(error);
      return false;
    }
    try {
      app_.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
      CLI::App *sub = Chosen();
      args = FvtoolArgs();
      args.helpText = std::string("fvtool ") + FVTOOL_VERSION + "\n\n" +
                      WrapHelp(sub ? sub->help() : app_.help(), sub ? sub->get_name() : "");
      return true;
    } catch (const CLI::CallForVersion &e) {
      args = FvtoolArgs();
      args.helpText = e.what() + std::string("\n");
      return true;
    } catch (const CLI::ParseError &e) {
      CLI::App *sub = Chosen();
      error = OneLine(e.what()) + " (see fvtool " + (sub ? sub->get_name() + " " : "") + "--help)";
      return false;
    }
    for (const Number &n : numbers_) {
      if (n.option == "--fv" && LooksLikeGuid(n.text)) {  // a volume named by a GUID
        a_.volumeGuid = n.text;
        continue;
      }
      uint64_t value = 0;
      std::string why;
      if (!toolio::ParseUnsigned(n.text, n.min, n.max, value, why)) {
        error = OneLine(n.option + ": " + why);
        return false;
      }
      setters_.at(n.option)(value);
    }
    a_.command = Chosen()->get_name();
    args = a_;
    return true;
  }

 private:
  CLI::App *Chosen() {
    for (CLI::App *sub : app_.get_subcommands()) return sub;
    return nullptr;
  }

  CLI::App *Command(const std::string &name, const std::string &description) {
    CLI::App *sub = app_.add_subcommand(name, description);
    sub->footer(kLimits);
    return sub;
  }
  void Image(CLI::App *sub) {
    sub->add_option("IMAGE", a_.image, "the firmware image (or volume) read")->required();
  }
  // legacy: the form in which OUT may also come first among the positional
  // arguments, as earlier versions took it; without it, -o is required.
  void Output(CLI::App *sub, const std::string &legacy) {
    CLI::Option *o = sub->add_option("-o,--output", a_.output,
                                     legacy.empty() ? "the file written (required)"
                                                    : "the file written; usage: " + legacy);
    if (legacy.empty()) o->required();
  }
  void Files(CLI::App *sub, const std::string &name, const std::string &what, int count) {
    CLI::Option *o = sub->add_option(name, a_.files, what);
    if (count > 0) o->expected(count)->required();
    if (count < 0) o->required();
  }
  void Base(CLI::App *sub) {
    Add(sub, "--pei-base", "ADDR",
        "where offset 0 of the volume runs (asked for only where an image is placed to run in "
        "place)",
        0, 0xFFFFFFFF, [this](uint64_t v) {
          a_.haveBase = true;
          a_.base = v;
        });
  }
  void Volume(CLI::App *sub) {
    Add(sub, "--fv", "N|GUID",
        "the volume: its number as `list` shows it, the name GUID of its extended header, or "
        "the GUID of the FV_IMAGE file holding it", 0, 0xFFFF,
        [this](uint64_t v) { a_.volumeIndex = int(v); });
  }
  // A numeric option: taken as text, checked after parsing.
  void Add(CLI::App *sub, const std::string &option, const std::string &type,
           const std::string &what, uint64_t min, uint64_t max, std::function<void(uint64_t)> set,
           bool required = false) {
    texts_.emplace_back(new std::string);
    std::string *text = texts_.back().get();
    CLI::Option *o = sub->add_option(option, *text, what)->type_name(type);
    if (required) o->required();
    o->each([this, option, min, max, set](const std::string &value) {
      for (Number &n : numbers_)
        if (n.option == option) {
          n.text = value;
          return;
        }
      numbers_.push_back({value, option, min, max});
      setters_[option] = set;
    });
  }

  CLI::App app_;
  FvtoolArgs a_;
  std::vector<std::unique_ptr<std::string>> texts_;
  std::vector<Number> numbers_;
  std::map<std::string, std::function<void(uint64_t)>> setters_;
};

}  // namespace

bool ResolveOutput(FvtoolArgs &args,
                   std::string (*inputKind)(const std::string &command, const std::string &path),
                   std::string &error) {
  if (!args.output.empty()) {
    if (args.command == "ffs" && args.files.size() != 1) {
      error = "ffs takes one IMAGE.efi (see fvtool ffs --help)";
      return false;
    }
    return true;
  }
  size_t need = args.command == "ffs" ? 2 : args.command == "insert" ? 2 : 1;
  if (args.command != "ffs" && args.command != "insert" && args.command != "create") {
    error = "no output given: name it with -o OUT";
    return false;
  }
  if (args.files.size() < need || (args.command == "ffs" && args.files.size() != 2)) {
    error = "no output given: name it with -o OUT (see fvtool " + args.command + " --help)";
    return false;
  }
  std::string out = args.files.front();
  std::string kind = inputKind(args.command, out);
  if (!kind.empty()) {
    error = OneLine(out) + ": is an existing " + kind +
            ", so it looks like an input, not the output; name the output with -o OUT";
    return false;
  }
  args.output = out;
  args.files.erase(args.files.begin());
  return true;
}

bool ParseFvtoolArgs(int argc, const char *const *argv, FvtoolArgs &args, std::string &error) {
  try {
    Parser parser;
    return parser.Parse(argc, argv, args, error);
  } catch (const std::exception &e) {
    error = e.what();
    return false;
  }
}

}  // namespace fv
