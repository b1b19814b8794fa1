// fvtool: builds firmware files and volumes, lists firmware images and
// edits the volumes in them.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "file_io.h"
#include "fv_edit.h"
#include "fv_list.h"
#include "fvtool_options.h"
#include "pe_image.h"

namespace {

using fv::Bytes;

// A message as one line whatever a path in it holds: control bytes as \xNN.
std::string OneLine(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += char(c);
    }
  }
  return out;
}

// Refuses, before any work, an output that is one of the inputs or that
// could not be replaced safely.
void CheckOutput(const fv::FvtoolArgs &args) {
  std::vector<std::string> inputs = args.files;
  if (!args.image.empty()) inputs.push_back(args.image);
  if (std::count(inputs.begin(), inputs.end(), fv::kStdio) > 1)
    fv::Fail("-: standard input can be read once; name the other inputs by path");
  if (args.output == fv::kStdio) return;
  for (const std::string &in : inputs)
    if (in == args.output || toolio::SameFile(in, args.output))
      fv::Fail(args.output + ": the output is also an input; give another -o");
  std::string error;
  if (!toolio::CheckOutputPath(args.output, error)) fv::Fail(error);
}

std::vector<Bytes> ReadAll(const std::vector<std::string> &paths) {
  std::vector<Bytes> out;
  for (const std::string &p : paths) out.push_back(fv::ReadFile(p));
  return out;
}

void Finish(const fv::FvtoolArgs &args, const Bytes &out, const std::vector<std::string> &log) {
  fv::WriteFileAtomic(args.output, out);
  // Status, not output: OUT may be standard output.
  for (const std::string &line : log) std::cerr << line << "\n";
}

// Runs body, prefixing the path of the input it read to any fault.
template <typename Body>
auto About(const std::string &path, Body body) -> decltype(body()) {
  try {
    return body();
  } catch (const fv::Error &e) {
    fv::Fail(path + ": " + e.what());
  }
}

// The volume --fv names: a number as given, a GUID resolved in the image;
// -1 without --fv.
int VolumeOf(const fv::Image &image, const fv::FvtoolArgs &args) {
  if (args.volumeGuid.empty()) return args.volumeIndex;
  return fv::ResolveVolume(image, fv::Guid::Parse(args.volumeGuid));
}

int CommandFfs(const fv::FvtoolArgs &args) {
  fv::ModuleFileParams params;
  params.uiName = args.name;
  auto text = [](const char *option, const std::string &value) {
    try {
      fv::EncodeUiName(value);
    } catch (const fv::Error &e) {
      fv::Fail(std::string(option) + ": " + e.what());
    }
  };
  text("--name", args.name);
  params.hasVersion = args.haveFileVersion;
  params.version = args.fileVersion;
  params.buildNumber = args.buildNumber;
  if (args.haveFileVersion) text("--file-version", args.fileVersion);
  params.name = fv::Guid::Parse(args.guid);
  for (const std::string &g : args.depexPush) params.depexPush.push_back(fv::Guid::Parse(g));
  params.type = args.type == "pei-core"   ? fv::kFilePeiCore
              : args.type == "driver"     ? fv::kFileDriver
              : args.type == "fv-image"   ? fv::kFileFvImage
              : args.type == "freeform"   ? fv::kFileFreeform
                                          : fv::kFilePeim;
  const std::string &inputPath = args.files[0];
  Bytes input = fv::ReadFile(inputPath);
  Bytes file = About(inputPath, [&] {
    if (params.type == fv::kFileFvImage) return fv::BuildVolumeFile(params, input);
    if (params.type == fv::kFileFreeform) return fv::BuildFreeformFile(params, input);
    if (args.name.empty()) fv::Fail("a " + args.type + " file needs --name");
    return fv::BuildModuleFile(params, input);
  });
  // The state is outside both checksums: only the byte changes.
  file[23] = fv::ValidFileState(args.volumeState);
  Finish(args, file, {});
  return 0;
}

bool IsLoneFile(const Bytes &bytes) {
  try {
    fv::ParseLoneFile(bytes, true);
    return true;
  } catch (const fv::Error &) {
    return false;
  }
}

// Whether the bytes hold a firmware volume header that checks out.
bool HoldsVolume(const Bytes &b) {
  for (size_t pos = 0; pos + fv::kVolumeHeaderFixedSize + 8 <= b.size(); pos += 8) {
    if (fv::Get32(&b[pos + 40]) != fv::kVolumeSignature) continue;
    size_t headerLength = fv::Get16(&b[pos + 48]);
    if (headerLength >= fv::kVolumeHeaderFixedSize && headerLength <= b.size() - pos &&
        fv::Sum16(&b[pos], headerLength) == 0)
      return true;
  }
  return false;
}

// What an existing file at path is that `command` could read as an input:
// a firmware file, a PE32 or TE image (ffs), a firmware image or volume
// (the others); "" for anything else.
std::string InputKind(const std::string &command, const std::string &path) {
  Bytes bytes;
  std::string error;
  if (!toolio::ReadInput(path, bytes, error)) return "";
  if (IsLoneFile(bytes)) return "firmware file";
  if (command == "ffs") {
    pe::Image image;
    return pe::ParseAny(bytes, image, error) ? (image.IsTe() ? "TE image" : "PE32 image") : "";
  }
  return HoldsVolume(bytes) ? "firmware image" : "";
}

int CommandList(const fv::FvtoolArgs &args) {
  Bytes bytes = fv::ReadFile(args.image);
  // A lone firmware file starts with a header that checks out; a volume or
  // an image does not.
  return About(args.image, [&] {
    bool json = args.format == "json";
    if (IsLoneFile(bytes)) {
      fv::File f = fv::ParseLoneFile(bytes, true);
      json ? fv::PrintLoneFileJson(f, std::cout) : fv::PrintLoneFile(f, std::cout);
      return f.problems.empty() ? 0 : 1;
    }
    fv::Image image(std::move(bytes), true);
    size_t findings = json ? fv::PrintImageJson(image, std::cout) : fv::PrintImage(image, std::cout);
    return image.Damaged() || findings ? 1 : 0;
  });
}

// Reads IMAGE strictly, applies the edit, writes OUT and prints the log.
int Edit(const fv::FvtoolArgs &args,
         const std::function<Bytes(const fv::Image &, std::vector<std::string> &)> &edit) {
  std::vector<std::string> log;
  Bytes out = About(args.image, [&] {
    fv::Image image(fv::ReadFile(args.image));
    return edit(image, log);
  });
  Finish(args, out, log);
  return 0;
}

int CommandInsert(const fv::FvtoolArgs &args) {
  fv::InsertRequest request;
  request.labels = args.files;
  request.files = ReadAll(args.files);
  request.apriori = args.apriori;
  request.haveBase = args.haveBase;
  request.base = args.base;
  return Edit(args, [&](const fv::Image &image, std::vector<std::string> &log) {
    request.volumeIndex = VolumeOf(image, args);
    return fv::InsertFiles(image, request, log);
  });
}

int CommandReplace(const fv::FvtoolArgs &args) {
  fv::ReplaceRequest request;
  request.label = args.files[0];
  request.file = fv::ReadFile(args.files[0]);
  request.haveBase = args.haveBase;
  request.base = args.base;
  return Edit(args, [&](const fv::Image &image, std::vector<std::string> &log) {
    request.volumeIndex = VolumeOf(image, args);
    return fv::ReplaceFile(image, request, log);
  });
}

int CommandRemove(const fv::FvtoolArgs &args) {
  return Edit(args, [&](const fv::Image &image, std::vector<std::string> &log) {
    int volume = VolumeOf(image, args);
    fv::Guid name = fv::ResolveFileName(image, args.fileGuid, volume);
    return fv::RemoveFile(image, name, volume, log);
  });
}

int CommandExtract(const fv::FvtoolArgs &args) {
  if (!args.section.empty() && args.imageBody) fv::Fail("--section and --image exclude each other");
  Bytes bytes = fv::ReadFile(args.image);
  fv::ExtractRequest request;
  request.section = args.section;
  request.index = args.sectionIndex;
  request.imageBody = args.imageBody;
  std::string what;
  Bytes out = About(args.image, [&] {
    if (IsLoneFile(bytes)) {
      fv::File f = fv::ParseLoneFile(bytes);
      bool byGuid = fv::LooksLikeGuid(args.fileGuid);
      if (!args.fileGuid.empty() &&
          (byGuid ? fv::Guid::Parse(args.fileGuid) != f.name : f.UiName() != args.fileGuid))
        fv::Fail("the file is " + f.name.ToString() +
                 (f.UiName().empty() ? "" : " (\"" + f.UiName() + "\")") + ", not " + args.fileGuid);
      return fv::ExtractFromFile(f, request, what);
    }
    if (args.fileGuid.empty()) fv::Fail("extract from an image needs the file's GUID or UI name");
    fv::Image image(std::move(bytes));
    int volume = VolumeOf(image, args);
    fv::FoundFile found =
        fv::FindFileInImage(image, fv::ResolveFileName(image, args.fileGuid, volume), volume);
    return fv::ExtractFromFile(*found.file, request, what);
  });
  Finish(args, out, {what});
  return 0;
}

int CommandCreate(const fv::FvtoolArgs &args) {
  fv::VolumeParams params;
  params.length = args.size;
  params.blockSize = args.block;
  params.alignment = args.align;
  if (!args.volumeName.empty()) {
    params.named = true;
    params.name = fv::Guid::Parse(args.volumeName);
  }
  fv::Rebase rebase;
  rebase.enabled = args.haveBase;
  rebase.volumeBase = args.base;
  if (args.haveBase && args.base + args.size > 0x100000000ull)
    fv::Fail("--base " + fv::Hex(args.base) + ": the volume would end above 4 GiB");
  std::vector<std::string> log;
  Bytes volume = fv::CreateVolume(params, ReadAll(args.files), args.files, rebase, log);
  Finish(args, volume, log);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  fv::FvtoolArgs args;
  std::string error;
  fv::SetProgressSink([](const std::string &line) { std::cerr << "fvtool: " << line << std::endl; });
  if (!fv::ParseFvtoolArgs(argc, argv, args, error)) {
    std::fprintf(stderr, "fvtool: %s\n", error.c_str());
    return 2;
  }
  if (!args.helpText.empty()) {
    std::cout << args.helpText;
    return 0;
  }
  try {
    if (args.command != "list") {
      if (!fv::ResolveOutput(args, InputKind, error)) fv::Fail(error);
      CheckOutput(args);
    }
    if (args.command == "ffs") return CommandFfs(args);
    if (args.command == "list") return CommandList(args);
    if (args.command == "insert") return CommandInsert(args);
    if (args.command == "replace") return CommandReplace(args);
    if (args.command == "remove") return CommandRemove(args);
    if (args.command == "extract") return CommandExtract(args);
    if (args.command == "create") return CommandCreate(args);
    fv::Fail("unknown command '" + args.command + "'");
  } catch (const std::exception &e) {
    std::fprintf(stderr, "fvtool: %s\n", OneLine(e.what()).c_str());
    return 2;
  }
}
