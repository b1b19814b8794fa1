// The Foundation's firmware-volume services over the volumes given on the
// command line, mapped read-only into RAM: volume and file handles are the
// addresses of the headers there, as in a real PEI Foundation.
#include <unicorn/unicorn.h>

#include <cstring>

#include "platform.h"

namespace peimsim {
namespace {

constexpr uint8_t kFileTypeAll = 0x00;  // EFI_FV_FILETYPE_ALL
constexpr uint8_t kFileTypePad = 0xF0;  // EFI_FV_FILETYPE_FFS_PAD
// PEI_CORE_INTERNAL_FFS_FILE_DISPATCH_TYPE: what the dispatcher looks for,
// PEIMs, combined PEIM/drivers and volume images.
constexpr uint8_t kFileTypeDispatch = 0xFF;
constexpr uint32_t kFvbMemoryMapped = 0x400;          // EFI_FVB2_MEMORY_MAPPED
constexpr uint32_t kFileAttribFixed = 0x100;          // EFI_FV_FILE_ATTRIB_FIXED
constexpr uint32_t kFileAttribMemoryMapped = 0x200;   // EFI_FV_FILE_ATTRIB_MEMORY_MAPPED

// A file's EFI_FV_FILE_ATTRIBUTES from its FFS attributes and its volume's,
// as FfsAttributes2FvFileAttributes and PeiFfsFvPpiGetFileInfo make them:
// the data alignment as a power of two, FIXED, MEMORY_MAPPED.
uint32_t FvFileAttributes(uint8_t ffs, uint32_t volume) {
  static const uint8_t kAlignment[] = {0, 4, 7, 9, 10, 12, 15, 16};
  static const uint8_t kAlignment2[] = {17, 18, 19, 20, 21, 22, 23, 24};
  uint32_t alignment = (ffs & 0x38) >> 3;
  uint32_t attributes = (ffs & 0x02) ? kAlignment2[alignment] : kAlignment[alignment];
  if (ffs & 0x04) attributes |= kFileAttribFixed;
  if (volume & kFvbMemoryMapped) attributes |= kFileAttribMemoryMapped;
  return attributes;
}
constexpr uint32_t kMapAlignment = 0x10000;

}  // namespace

uint32_t Platform::MapBytes(const uint8_t *data, size_t size, std::string &error) {
  uint64_t at = (uint64_t(volumeNext_) + kMapAlignment - 1) & ~uint64_t(kMapAlignment - 1);
  if (size == 0 || at + size > kVolumeEnd) {
    error = "no room for " + Hex(size) + " bytes of firmware in the platform's RAM (" +
            Hex(kVolumeEnd - std::min<uint64_t>(at, kVolumeEnd)) + " bytes left at " +
            Hex(kVolumeBase, 8) + "-" + Hex(kVolumeEnd - 1, 8) + ")";
    return 0;
  }
  memcpy(ram_ + at, data, size);
  KeepPages(uint32_t(at), uint32_t(size));
  volumeNext_ = uint32_t(at + size);
  return uint32_t(at);
}

void Platform::AddVolume(const FvVolume &volume) {
  volumes_.push_back(volume);
  // Each volume is announced by an FV HOB, as the Foundation does for the
  // volumes it dispatches from.
  uint32_t hob = AppendHob(kHobFv, 24);
  if (hob) {
    uint64_t base = volume.address, length = volume.length;
    memcpy(ram_ + hob + 8, &base, 8);
    memcpy(ram_ + hob + 16, &length, 8);
  }
  initialHobEnd_ = hobEnd_;
  KeepPages(kPoolBase, hobEnd_ + 8 - kPoolBase);
}

void Platform::AddLooseFile(const FvFile &file) { looseFiles_.push_back(file); }

const FvFile *Platform::FindFvFile(uint32_t handle) const {
  for (const FvVolume &v : volumes_)
    for (const FvFile &f : v.files)
      if (f.address == handle) return &f;
  for (const FvFile &f : looseFiles_)
    if (f.address == handle) return &f;
  return nullptr;
}

const FvVolume *Platform::FindFvVolume(uint32_t handle) const {
  for (const FvVolume &v : volumes_)
    if (v.address == handle) return &v;
  return nullptr;
}

bool Platform::DoVolumeService(ServiceCall &call) {
  const std::string &n = call.name;
  const uint32_t *a = call.args;
  auto fail = [&](uint32_t status, const std::string &why) {
    call.status = status;
    call.results = why;
  };
  auto handleText = [&](uint32_t h) { return Hex(h, 8) + " (" + Where(h) + ")"; };
  if (n == "FfsFindNextVolume") {
    uint32_t instance = a[1], out = a[2];
    call.arguments = "Instance " + std::to_string(instance) + ", VolumeHandle -> " + Where(out);
    call.in.AddNumber("Instance", instance).AddPointer("VolumeHandle", out, Where(out));
    call.status = ServiceStatus(n, kEfiSuccess, call.injected);
    if (call.injected) return true;
    if (instance >= volumes_.size()) return fail(kEfiNotFound, ""), true;
    uint32_t handle = volumes_[instance].address;
    if (!ServiceOutput(call, out, &handle, 4, "VolumeHandle")) {
      call.status = kEfiInvalidParameter;
    } else {
      call.results = "VolumeHandle = " + Hex(handle, 8);
      call.out.AddPointer("VolumeHandle", handle, Where(handle));
    }
    return true;
  }
  if (n == "FfsFindNextFile") {
    uint32_t type = a[1] & 0xFF, volume = a[2], out = a[3];
    call.arguments = "SearchType " + Hex(type, 2) + ", VolumeHandle " + handleText(volume) +
                     ", FileHandle -> " + Where(out);
    call.in.AddNumber("SearchType", type)
        .AddPointer("VolumeHandle", volume, Where(volume))
        .AddPointer("FileHandle", out, Where(out));
    call.status = ServiceStatus(n, kEfiSuccess, call.injected);
    if (call.injected) return true;
    const FvVolume *v = FindFvVolume(volume);
    uint32_t after = 0;
    // PeiFfsFindNextFile: a handle of no volume it knows is EFI_NOT_FOUND.
    if (!v) return fail(kEfiNotFound, "not a volume handle"), true;
    if (out == 0 || !Read(out, &after, 4)) return fail(kEfiInvalidParameter, ""), true;
    size_t i = 0;
    if (after != 0) {
      while (i < v->files.size() && v->files[i].address != after) i++;
      if (i == v->files.size())
        return fail(kEfiInvalidParameter, "FileHandle is no file of it"), true;
      i++;
    }
    for (; i < v->files.size(); i++) {
      // FindFileEx passes over pad files whatever the search type.
      if (v->files[i].type == kFileTypePad) continue;
      uint8_t t = v->files[i].type;
      if (type == kFileTypeDispatch ? t != 0x06 && t != 0x08 && t != 0x0B
                                    : type != kFileTypeAll && t != type)
        continue;
      uint32_t handle = v->files[i].address;
      if (!ServiceOutput(call, out, &handle, 4, "FileHandle")) {
        call.status = kEfiInvalidParameter;
      } else {
        call.results = "FileHandle = " + Hex(handle, 8) + " " + GuidName(v->files[i].name);
        call.out.AddPointer("FileHandle", handle, Where(handle)).AddGuid("FileName",
                                                                      v->files[i].name);
      }
      return true;
    }
    // FindFileEx ends the walk with a NULL handle.
    uint32_t none = 0;
    ServiceOutput(call, out, &none, 4, "FileHandle");
    return fail(kEfiNotFound, ""), true;
  }
  if (n == "FfsFindSectionData" || n == "FindSectionData3") {
    bool three = n == "FindSectionData3";
    uint32_t type = a[1] & 0xFF, instance = three ? a[2] : 0, file = a[three ? 3 : 2];
    uint32_t out = a[three ? 4 : 3], auth = three ? a[5] : 0;
    call.arguments = "SectionType " + Hex(type, 2) +
                     (three ? ", Instance " + std::to_string(instance) : "") + ", FileHandle " +
                     handleText(file) + ", SectionData -> " + Where(out);
    call.in.AddNumber("SectionType", type);
    if (three) call.in.AddNumber("Instance", instance);
    call.in.AddPointer("FileHandle", file, Where(file)).AddPointer("SectionData", out, Where(out));
    call.status = ServiceStatus(n, kEfiSuccess, call.injected);
    if (call.injected) return true;
    const FvFile *f = FindFvFile(file);
    if (!f) return fail(kEfiNotFound, "not a file handle"), true;
    // Only the file's own sections: what compressed or GUIDed sections hold
    // would need the extraction PPIs.
    uint32_t seen = 0;
    for (const FvSection &s : f->sections) {
      if (s.type != type || seen++ != instance) continue;
      uint32_t data = s.address + s.headerSize;
      if (!ServiceOutput(call, out, &data, 4, "SectionData")) {
        call.status = kEfiInvalidParameter;
        return true;
      }
      uint32_t zero = 0;
      if (auth && !ServiceOutput(call, auth, &zero, 4, "AuthenticationStatus")) {
        call.status = kEfiInvalidParameter;
        return true;
      }
      call.results = "SectionData = " + Hex(data, 8) + " (" +
                     std::to_string(s.size - s.headerSize) + " bytes)";
      call.out.AddPointer("SectionData", data, Where(data)).AddNumber("Size", s.size - s.headerSize);
      if (auth) call.out.AddNumber("AuthenticationStatus", 0);
      return true;
    }
    return fail(kEfiNotFound, ""), true;
  }
  if (n == "FfsFindFileByName") {
    uint32_t nameAt = a[0], volume = a[1], out = a[2];
    Guid name{};
    bool readable = Read(nameAt, name.data(), 16);
    call.arguments = (readable ? GuidName(name) : "FileName " + Hex(nameAt, 8) + " (unreadable)") +
                     ", VolumeHandle " + handleText(volume) + ", FileHandle -> " + Where(out);
    if (readable)
      call.in.AddGuid("FileName", name);
    else
      call.in.AddPointer("FileName", nameAt, Where(nameAt));
    call.in.AddPointer("VolumeHandle", volume, Where(volume)).AddPointer("FileHandle", out,
                                                                         Where(out));
    call.status = ServiceStatus(n, kEfiSuccess, call.injected);
    if (call.injected) return true;
    // PeiFfsFindFileByName: a volume, a name and an output, each required.
    if (!readable || out == 0 || volume == 0) return fail(kEfiInvalidParameter, ""), true;
    if (!FindFvVolume(volume)) return fail(kEfiNotFound, "not a volume handle"), true;
    for (const FvVolume &v : volumes_) {
      if (v.address != volume) continue;
      for (const FvFile &f : v.files) {
        if (f.name != name) continue;
        uint32_t handle = f.address;
        if (!ServiceOutput(call, out, &handle, 4, "FileHandle")) {
          call.status = kEfiInvalidParameter;
        } else {
          call.results = "FileHandle = " + Hex(handle, 8);
          call.out.AddPointer("FileHandle", handle, Where(handle));
        }
        return true;
      }
    }
    return fail(kEfiNotFound, ""), true;
  }
  if (n == "FfsGetFileInfo" || n == "FfsGetFileInfo2") {
    bool two = n == "FfsGetFileInfo2";
    uint32_t file = a[0], out = a[1];
    call.arguments = "FileHandle " + handleText(file) + ", FileInfo -> " + Where(out);
    call.in.AddPointer("FileHandle", file, Where(file)).AddPointer("FileInfo", out, Where(out));
    call.status = ServiceStatus(n, kEfiSuccess, call.injected);
    if (call.injected) return true;
    const FvFile *f = FindFvFile(file);
    if (!f) return fail(kEfiInvalidParameter, "not a file handle"), true;
    uint32_t volumeAttributes = 0;
    for (const FvVolume &v : volumes_)
      if (file - v.address < v.length) volumeAttributes = v.attributes;
    // EFI_FV_FILE_INFO(2): FileName, FileType, FileAttributes, Buffer,
    // BufferSize (, AuthenticationStatus).
    uint8_t info[36] = {};
    memcpy(info, f->name.data(), 16);
    info[16] = f->type;
    uint32_t attributes = FvFileAttributes(f->attributes, volumeAttributes),
             buffer = f->address + f->headerSize,
             size = f->size - f->headerSize, auth = 0;
    memcpy(info + 20, &attributes, 4);
    memcpy(info + 24, &buffer, 4);
    memcpy(info + 28, &size, 4);
    memcpy(info + 32, &auth, 4);
    if (!ServiceOutput(call, out, info, two ? 36 : 32, "FileInfo")) {
      call.status = kEfiInvalidParameter;
    } else {
      call.results = GuidName(f->name) + ", type " + Hex(f->type, 2) + ", Buffer " + Hex(buffer, 8);
      call.out.AddGuid("FileName", f->name)
          .AddNumber("FileType", f->type)
          .AddNumber("FileAttributes", attributes)
          .AddPointer("Buffer", buffer, Where(buffer))
          .AddNumber("BufferSize", size);
    }
    return true;
  }
  if (n == "FfsGetVolumeInfo") {
    uint32_t volume = a[0], out = a[1];
    call.arguments = "VolumeHandle " + handleText(volume) + ", VolumeInfo -> " + Where(out);
    call.in.AddPointer("VolumeHandle", volume, Where(volume)).AddPointer("VolumeInfo", out,
                                                                         Where(out));
    call.status = ServiceStatus(n, kEfiSuccess, call.injected);
    if (call.injected) return true;
    const FvVolume *v = FindFvVolume(volume);
    if (!v) return fail(kEfiInvalidParameter, "not a volume handle"), true;
    // EFI_FV_INFO: FvAttributes, FvFormat, FvName, FvStart, FvSize (UINT64).
    uint8_t info[48] = {};
    memcpy(info, &v->attributes, 4);
    memcpy(info + 4, v->format.data(), 16);
    memcpy(info + 20, v->name.data(), 16);
    memcpy(info + 36, &v->address, 4);
    uint64_t size = v->length;
    memcpy(info + 40, &size, 8);
    if (!ServiceOutput(call, out, info, sizeof info, "VolumeInfo")) {
      call.status = kEfiInvalidParameter;
    } else {
      call.results = GuidName(v->format) + ", " + Hex(v->length) + " bytes";
      call.out.AddNumber("FvAttributes", v->attributes)
          .AddGuid("FvFormat", v->format)
          .AddGuid("FvName", v->name)
          .AddPointer("FvStart", v->address, Where(v->address))
          .AddNumber("FvSize", v->length);
    }
    return true;
  }
  return false;
}

}  // namespace peimsim
