// fvtool: builds firmware files and volumes, lists firmware images and puts
// modules into the PEI volume of an image.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "fv_edit.h"
#include "fv_list.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  fvtool ffs OUT.ffs --guid GUID --name NAME [--depex-push GUID]... [--type TYPE] IMAGE.efi\n"
    "      Writes a firmware file holding the PE32 image: a dependency expression\n"
    "      section (PUSH each GUID, AND them, END; none without --depex-push), the\n"
    "      PE32 section with its data aligned to the image's section alignment, and a\n"
    "      UI section with NAME. TYPE: peim (0x06, the default), pei-core, driver.\n"
    "      Data checksum and data alignment attributes set, state 0xF8.\n"
    "  fvtool list IMAGE\n"
    "      Lists the volumes (#N, numbered in the order shown), files (GUID, type,\n"
    "      offset in the volume, size, name), sections (offset from the start of the\n"
    "      file's data or of the enclosing section's data), LZMA-compressed and nested\n"
    "      volumes, the PEI apriori list, and where each image runs. IMAGE may also\n"
    "      be a lone .ffs file.\n"
    "  fvtool insert IMAGE OUT FILE.ffs... [--apriori] [--pei-base ADDR] [--fv N]\n"
    "      Writes OUT: IMAGE with the files added to its PEI volume (the one holding\n"
    "      the PEI core, or volume #N), each PE32 image rebased to run where it lies\n"
    "      (the volume's run address taken from the images already in it, or ADDR)\n"
    "      and aligned to its section alignment; --apriori also lists them, in order,\n"
    "      in the PEI apriori file (created if absent) and refuses images that cannot\n"
    "      run in place. Enclosing volumes are recompressed and their sizes and\n"
    "      checksums rewritten; no volume changes size. Nothing is written on error.\n"
    "  fvtool create OUT --size SIZE [--block SIZE] [--align N] [--name GUID]\n"
    "                [--base ADDR] [FILE.ffs]...\n"
    "      Writes a new volume (erase polarity 1) holding the files; with --base the\n"
    "      images are linked to run in place with the volume at ADDR.\n"
    "exit status: 0 done, 2 bad arguments or bad input (one line on stderr)\n";

struct Args {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;  // name, value
  std::vector<std::string> flags;

  bool Flag(const std::string &name) const {
    for (const auto &f : flags)
      if (f == name) return true;
    return false;
  }
  std::vector<std::string> All(const std::string &name) const {
    std::vector<std::string> out;
    for (const auto &o : options)
      if (o.first == name) out.push_back(o.second);
    return out;
  }
  bool One(const std::string &name, std::string &value) const {
    std::vector<std::string> all = All(name);
    if (all.size() > 1) fv::Fail(name + " given more than once");
    if (all.empty()) return false;
    value = all[0];
    return true;
  }
};

// Options that take a value, per command; everything else starting with
// "--" is a flag that the command must know.
Args ParseArgs(int argc, char **argv, const std::vector<std::string> &valued,
               const std::vector<std::string> &known_flags) {
  Args args;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      bool takes = false, isFlag = false;
      for (const auto &v : valued) takes |= v == a;
      for (const auto &f : known_flags) isFlag |= f == a;
      if (takes) {
        if (i + 1 >= argc) fv::Fail(a + " needs a value");
        args.options.emplace_back(a, argv[++i]);
      } else if (isFlag) {
        args.flags.push_back(a);
      } else {
        fv::Fail("unknown option " + a + " (see fvtool --help)");
      }
    } else {
      args.positional.push_back(a);
    }
  }
  return args;
}

uint64_t Number(const std::string &text, const std::string &what) {
  size_t used = 0;
  uint64_t value = 0;
  try {
    value = std::stoull(text, &used, 0);
  } catch (const std::exception &) {
    used = 0;
  }
  if (used == 0 || used != text.size()) fv::Fail(what + ": '" + text + "' is not a number");
  return value;
}

int CommandFfs(const Args &args) {
  if (args.positional.size() != 2) fv::Fail("ffs needs OUT.ffs and IMAGE.efi (see fvtool --help)");
  fv::ModuleFileParams params;
  std::string guid, type = "peim";
  if (!args.One("--guid", guid)) fv::Fail("ffs needs --guid");
  if (!args.One("--name", params.uiName)) fv::Fail("ffs needs --name");
  args.One("--type", type);
  params.name = fv::Guid::Parse(guid);
  for (const std::string &g : args.All("--depex-push")) params.depexPush.push_back(fv::Guid::Parse(g));
  if (type == "peim") params.type = fv::kFilePeim;
  else if (type == "pei-core") params.type = fv::kFilePeiCore;
  else if (type == "driver") params.type = fv::kFileDriver;
  else fv::Fail("unknown file type '" + type + "' (peim, pei-core, driver)");
  fv::Bytes image = fv::ReadFile(args.positional[1]);
  fv::Bytes file;
  try {
    file = fv::BuildModuleFile(params, image);
  } catch (const fv::Error &e) {
    fv::Fail(args.positional[1] + ": " + e.what());
  }
  fv::WriteFileAtomic(args.positional[0], file);
  return 0;
}

int CommandList(const Args &args) {
  if (args.positional.size() != 1) fv::Fail("list needs one IMAGE (see fvtool --help)");
  const std::string &path = args.positional[0];
  fv::Bytes bytes = fv::ReadFile(path);
  // A lone firmware file starts with a header that checks out; a volume or
  // an image does not.
  bool loneFile = false;
  try {
    fv::ParseLoneFile(bytes);
    loneFile = true;
  } catch (const fv::Error &) {
  }
  try {
    if (loneFile) {
      fv::PrintLoneFile(fv::ParseLoneFile(bytes), std::cout);
    } else {
      fv::Image image(std::move(bytes));
      fv::PrintImage(image, std::cout);
    }
  } catch (const fv::Error &e) {
    fv::Fail(path + ": " + e.what());
  }
  return 0;
}

std::vector<fv::Bytes> ReadAll(const std::vector<std::string> &paths) {
  std::vector<fv::Bytes> out;
  for (const std::string &p : paths) out.push_back(fv::ReadFile(p));
  return out;
}

int CommandInsert(const Args &args) {
  if (args.positional.size() < 3)
    fv::Fail("insert needs IMAGE, OUT and at least one FILE.ffs (see fvtool --help)");
  fv::InsertRequest request;
  request.labels.assign(args.positional.begin() + 2, args.positional.end());
  request.files = ReadAll(request.labels);
  request.apriori = args.Flag("--apriori");
  std::string text;
  if (args.One("--pei-base", text)) {
    request.haveBase = true;
    request.base = Number(text, "--pei-base");
  }
  if (args.One("--fv", text)) request.volumeIndex = int(Number(text, "--fv"));
  const std::string &in = args.positional[0];
  std::vector<std::string> log;
  fv::Bytes out;
  try {
    fv::Image image(fv::ReadFile(in));
    out = fv::InsertFiles(image, request, log);
  } catch (const fv::Error &e) {
    fv::Fail(in + ": " + e.what());
  }
  fv::WriteFileAtomic(args.positional[1], out);
  for (const std::string &line : log) std::cout << line << "\n";
  return 0;
}

int CommandCreate(const Args &args) {
  if (args.positional.empty()) fv::Fail("create needs OUT (see fvtool --help)");
  fv::VolumeParams params;
  std::string text;
  if (!args.One("--size", text)) fv::Fail("create needs --size");
  params.length = Number(text, "--size");
  if (args.One("--block", text)) params.blockSize = uint32_t(Number(text, "--block"));
  if (args.One("--align", text)) params.alignment = uint32_t(Number(text, "--align"));
  if (args.One("--name", text)) {
    params.named = true;
    params.name = fv::Guid::Parse(text);
  }
  if (params.length > (256u << 20)) fv::Fail("--size above 256 MiB");
  fv::Rebase rebase;
  if (args.One("--base", text)) {
    rebase.enabled = true;
    rebase.volumeBase = Number(text, "--base");
  }
  std::vector<std::string> labels(args.positional.begin() + 1, args.positional.end());
  std::vector<std::string> log;
  fv::Bytes volume = fv::CreateVolume(params, ReadAll(labels), labels, rebase, log);
  fv::WriteFileAtomic(args.positional[0], volume);
  for (const std::string &line : log) std::cout << line << "\n";
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return 0;
  }
  try {
    if (command == "ffs")
      return CommandFfs(ParseArgs(argc, argv, {"--guid", "--name", "--depex-push", "--type"}, {}));
    if (command == "list") return CommandList(ParseArgs(argc, argv, {}, {}));
    if (command == "insert")
      return CommandInsert(ParseArgs(argc, argv, {"--pei-base", "--fv"}, {"--apriori"}));
    if (command == "create")
      return CommandCreate(
          ParseArgs(argc, argv, {"--size", "--block", "--align", "--name", "--base"}, {}));
    fv::Fail(command.empty() ? "no command given (see fvtool --help)"
                             : "unknown command '" + command + "' (see fvtool --help)");
  } catch (const std::exception &e) {
    std::fprintf(stderr, "fvtool: %s\n", e.what());
    return 2;
  }
}
