// Test-bed probe of the PEI Foundation: calls each PEI service and the
// CpuIo and PciCfg members with ordinary and edge arguments and prints what
// it got on the debug console, one "probe: ..." line per answer. The same
// image runs under OVMF's PEI core in QEMU and under peim-sim, from the same
// small volume (testbed/run-probe.sh), and the two outputs must be equal, so
// a line holds only what both Foundations must agree on: statuses, values,
// offsets inside the probe's own volume and file, and addresses as classes.
//
// The volume holds the probe several times under other names, each with a
// dependency expression of its own (well formed or not): such a copy only
// installs a PPI named like its file, so that the probe, dispatched last,
// sees which of them the Foundation dispatched.
//
// No writable static data: everything lives on the stack or in pool memory.
#include "testbed.h"

using namespace testbed;

namespace {

const char kSource[] = "probe";

// The probe's names: 7E57B0B0-GGGG-4000-8000-0000000000NN, group 0 for
// files, 1 for PPIs.
constexpr EFI_GUID ProbeGuid(UINT16 Group, UINT8 Last) {
  return {0x7E57B0B0, Group, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, Last}};
}
// The probe proper (the others are its copies under other names).
constexpr EFI_GUID kProbeFile = ProbeGuid(0, 0x01);
// The copies' names: ProbeGuid(0, 0x10 + index).
constexpr UINT32 kCopies = 11;
const char *const kCopyNames[kCopies] = {
    "true-then-trailing-bytes", "two-values",   "and-underflow", "unknown-opcode",
    "dxe-before",               "not-false",    "push-memory",   "push-unknown",
    "or",                       "no-depex",     "sentinel",
};
// The file whose sections the probe looks for, and the pad file's name.
constexpr EFI_GUID kSectionsFile = ProbeGuid(0, 0x02);
constexpr EFI_GUID kPadFile = ProbeGuid(0, 0x03);
// PPIs of the probe's own.
constexpr EFI_GUID kProbePpiA = ProbeGuid(1, 0x0A);
constexpr EFI_GUID kProbePpiB = ProbeGuid(1, 0x0B);
constexpr EFI_GUID kProbeEntered = ProbeGuid(1, 0x0E);
constexpr EFI_GUID kNobodysPpi = ProbeGuid(1, 0x0F);
// 229832D3-7A30-4B36-B827-F40CB7D45436
constexpr EFI_GUID kStatusCodePpiGuid = {
    0x229832D3, 0x7A30, 0x4B36, {0xB8, 0x27, 0xF4, 0x0C, 0xB7, 0xD4, 0x54, 0x36}};

constexpr UINTN kPpiFlag = 0x10, kNotifyCallback = 0x20, kNotifyDispatch = 0x40;
constexpr UINTN kTerminate = 0x80000000u;

struct EFI_FV_FILE_INFO2 {
  EFI_GUID FileName;
  UINT8 FileType;
  UINT8 Pad[3];
  UINT32 FileAttributes;
  VOID *Buffer;
  UINT32 BufferSize;
  UINT32 AuthenticationStatus;
};
struct EFI_FV_INFO {
  UINT32 FvAttributes;
  EFI_GUID FvFormat;
  EFI_GUID FvName;
  VOID *FvStart;
  UINT64 FvSize;
} __attribute__((packed, aligned(4)));
static_assert(sizeof(EFI_FV_FILE_INFO2) == 36, "file info layout");
static_assert(sizeof(EFI_FV_INFO) == 48, "volume info layout");

// The services table's members by position, called like the C prototypes
// (cdecl: the arguments as given, 64-bit ones in two stack slots).
template <typename... Args>
UINTN Call(const VOID *Function, Args... Arguments) {
  return ((UINTN(EFIAPI *)(Args...))Function)(Arguments...);
}
const VOID *Service(const EFI_PEI_SERVICES **Ps, UINT32 Slot) {
  return ((VOID *const *)((const UINT8 *)*Ps + 24))[Slot];
}
enum Slot : UINT32 {
  kInstallPpi, kReInstallPpi, kLocatePpi, kNotifyPpi, kGetBootMode, kSetBootMode,
  kGetHobList, kCreateHob, kFfsFindNextVolume, kFfsFindNextFile, kFfsFindSectionData,
  kInstallPeiMemory, kAllocatePages, kAllocatePool, kCopyMem, kSetMem, kReportStatusCode,
  kResetSystem, kCpuIo, kPciCfg, kFfsFindFileByName, kFfsGetFileInfo, kFfsGetVolumeInfo,
  kRegisterForShadow, kFindSectionData3, kFfsGetFileInfo2, kResetSystem2, kFreePages,
};

bool SameGuid(const EFI_GUID &A, const EFI_GUID &B) {
  const UINT8 *a = (const UINT8 *)&A, *b = (const UINT8 *)&B;
  for (UINT32 i = 0; i < 16; i++)
    if (a[i] != b[i]) return false;
  return true;
}
VOID CopyBytes(VOID *To, const VOID *From, UINT32 Size) {
  for (UINT32 i = 0; i < Size; i++) ((volatile UINT8 *)To)[i] = ((const UINT8 *)From)[i];
}

// A status as both Foundations' callers see it.
LogLine &Status(LogLine &Line, const char *Key, UINTN Status) {
  return Line.Hex(Key, (UINT32)Status);
}
LogLine &Status(LogLine &&Line, const char *Key, UINTN Status) {
  return Line.Hex(Key, (UINT32)Status);
}

// Pool memory for what must outlive the entry (descriptors, GUIDs).
VOID *Pool(const EFI_PEI_SERVICES **Ps, UINT32 Size) {
  VOID *Buffer = nullptr;
  if (Call(Service(Ps, kAllocatePool), Ps, (UINTN)Size, &Buffer) != 0) return nullptr;
  return Buffer;
}

// A copy of the probe: installs the PPI named like its file, then returns.
EFI_STATUS AnnounceCopy(const EFI_PEI_SERVICES **Ps, const EFI_GUID &Name) {
  UINT8 *Memory = (UINT8 *)Pool(Ps, 16 + 12);
  if (Memory == nullptr) return 1;
  CopyBytes(Memory, &Name, 16);
  EFI_PEI_PPI_DESCRIPTOR *D = (EFI_PEI_PPI_DESCRIPTOR *)(Memory + 16);
  D->Flags = kPpiFlag | kTerminate;
  D->Guid = (const EFI_GUID *)Memory;
  D->Ppi = nullptr;
  return Call(Service(Ps, kInstallPpi), Ps, (const EFI_PEI_PPI_DESCRIPTOR *)D);
}

EFI_GUID CopyName(UINT32 Index) { return ProbeGuid(0, (UINT8)(0x10 + Index)); }

// --- The volume services ---------------------------------------------------

// The volume holding FileHandle, or null.
VOID *OwnVolume(const EFI_PEI_SERVICES **Ps, EFI_PEI_FILE_HANDLE FileHandle) {
  for (UINTN Instance = 0; Instance < 64; Instance++) {
    VOID *Volume = nullptr;
    if (Call(Service(Ps, kFfsFindNextVolume), Ps, Instance, &Volume) != 0) return nullptr;
    VOID *Found = nullptr;
    if (Call(Service(Ps, kFfsFindFileByName), &kProbeFile, Volume, &Found) == 0 &&
        Found == FileHandle)
      return Volume;
  }
  return nullptr;
}

VOID ProbeVolume(const EFI_PEI_SERVICES **Ps, EFI_PEI_FILE_HANDLE Self, VOID *Volume) {
  const UINT8 *Base = (const UINT8 *)Volume;
  EFI_FV_INFO Info;
  UINTN S = Call(Service(Ps, kFfsGetVolumeInfo), Volume, &Info);
  Status(LogLine(kSource, "FfsGetVolumeInfo"), "status", S)
      .Hex("attributes", Info.FvAttributes)
      .Hex("size", (UINT32)Info.FvSize)
      .Hex("format", Info.FvFormat.Data1)
      .Hex("name", Info.FvName.Data1)
      .Str("start", Info.FvStart == Volume ? "the-handle" : "elsewhere");
  Status(LogLine(kSource, "FfsGetVolumeInfo null-info"), "status",
         Call(Service(Ps, kFfsGetVolumeInfo), Volume, (EFI_FV_INFO *)nullptr));
  Status(LogLine(kSource, "FfsGetVolumeInfo not-a-volume"), "status",
         Call(Service(Ps, kFfsGetVolumeInfo), (VOID *)((const UINT8 *)Self + 8), &Info));

  // Every file, by type ALL, then the searches by type.
  EFI_PEI_FILE_HANDLE File = nullptr;
  UINT32 Count = 0;
  for (;;) {
    UINTN St = Call(Service(Ps, kFfsFindNextFile), Ps, (UINTN)0x00, Volume, &File);
    if (St != 0) {
      Status(LogLine(kSource, "FfsFindNextFile all end"), "status", St)
          .Str("handle", File == nullptr ? "null" : "set");
      break;
    }
    EFI_FV_FILE_INFO2 F;
    UINTN Si = Call(Service(Ps, kFfsGetFileInfo2), File, &F);
    Status(LogLine(kSource, "file"), "info", Si)
        .Hex("offset", (UINT32)((const UINT8 *)File - Base))
        .Hex("name", F.FileName.Data1)
        .Hex("last", F.FileName.Data4[7], 2)
        .Hex("type", F.FileType, 2)
        .Hex("attributes", F.FileAttributes)
        .Hex("buffer", (UINT32)((const UINT8 *)F.Buffer - (const UINT8 *)File))
        .Hex("size", F.BufferSize)
        .Hex("auth", F.AuthenticationStatus);
    if (++Count == 64) break;
  }
  static const UINT8 kTypes[] = {0x01, 0x02, 0x06, 0x07, 0x0B, 0xF0, 0xFF};
  for (UINT8 Type : kTypes) {
    UINT32 N = 0;
    File = nullptr;
    while (N < 64 && Call(Service(Ps, kFfsFindNextFile), Ps, (UINTN)Type, Volume, &File) == 0) N++;
    LogLine(kSource, "FfsFindNextFile").Hex("type", Type, 2).Dec("found", N);
  }
  File = nullptr;
  Status(LogLine(kSource, "FfsFindNextFile not-a-volume"), "status",
         Call(Service(Ps, kFfsFindNextFile), Ps, (UINTN)0, (VOID *)((const UINT8 *)Self + 8), &File));

  // By name: the pad file, the sections file, a name no file has; no volume.
  const EFI_GUID *Names[] = {&kPadFile, &kSectionsFile, &kNobodysPpi};
  for (const EFI_GUID *Name : Names) {
    VOID *Found = nullptr;
    UINTN St = Call(Service(Ps, kFfsFindFileByName), Name, Volume, &Found);
    Status(LogLine(kSource, "FfsFindFileByName"), "status", St)
        .Hex("name", Name->Data4[7], 2)
        .Hex("offset", Found ? (UINT32)((const UINT8 *)Found - Base) : 0);
  }
  VOID *Found = nullptr;
  Status(LogLine(kSource, "FfsFindFileByName null-volume"), "status",
         Call(Service(Ps, kFfsFindFileByName), &kSectionsFile, (VOID *)nullptr, &Found));

  // The sections file: each section type, first and second instance.
  VOID *Sections = nullptr;
  if (Call(Service(Ps, kFfsFindFileByName), &kSectionsFile, Volume, &Sections) != 0) return;
  for (UINT32 Type = 0x01; Type <= 0x1C; Type++) {
    VOID *Data = nullptr;
    UINTN St = Call(Service(Ps, kFfsFindSectionData), Ps, (UINTN)Type, Sections, &Data);
    LogLine Line(kSource, "FfsFindSectionData");
    Line.Hex("type", Type, 2);
    Status(Line, "status", St).Hex("offset", Data ? (UINT32)((UINT8 *)Data - (UINT8 *)Sections) : 0);
    for (UINTN Instance = 0; Instance < 2; Instance++) {
      VOID *Data3 = nullptr;
      UINT32 Auth = 0xA5A5A5A5;
      UINTN St3 = Call(Service(Ps, kFindSectionData3), Ps, (UINTN)Type, Instance, Sections, &Data3,
                       &Auth);
      Status(Line, Instance ? "status3-1" : "status3-0", St3)
          .Hex(Instance ? "offset3-1" : "offset3-0",
               Data3 ? (UINT32)((UINT8 *)Data3 - (UINT8 *)Sections) : 0)
          .Hex(Instance ? "auth3-1" : "auth3-0", St3 == 0 ? Auth : 0);
    }
  }
  EFI_FV_FILE_INFO2 F;
  Status(LogLine(kSource, "FfsGetFileInfo null"), "status",
         Call(Service(Ps, kFfsGetFileInfo), (VOID *)nullptr, &F));
  Status(LogLine(kSource, "FfsGetFileInfo null-info"), "status",
         Call(Service(Ps, kFfsGetFileInfo), Self, (EFI_FV_FILE_INFO2 *)nullptr));
}

// --- The PPI database ------------------------------------------------------

EFI_STATUS EFIAPI CountingNotify(EFI_PEI_SERVICES **Ps, EFI_PEI_NOTIFY_DESCRIPTOR *Descriptor,
                                 VOID *Ppi) {
  (void)Ps;
  (void)Descriptor;
  // The PPI's interface is a counter in pool memory.
  if (Ppi != nullptr) (*(volatile UINT32 *)Ppi)++;
  return 0;
}

VOID ProbePpis(const EFI_PEI_SERVICES **Ps) {
  const VOID *Install = Service(Ps, kInstallPpi), *Locate = Service(Ps, kLocatePpi);
  // Descriptors, GUIDs and interfaces in pool memory, as they must outlive
  // the entry.
  UINT8 *M = (UINT8 *)Pool(Ps, 0x100);
  if (M == nullptr) {
    LogLine(kSource, "pool for the PPIs failed");
    return;
  }
  for (UINT32 i = 0; i < 0x100; i++) M[i] = 0;
  EFI_GUID *GuidA = (EFI_GUID *)(M + 0x00), *GuidB = (EFI_GUID *)(M + 0x10);
  CopyBytes(GuidA, &kProbePpiA, 16);
  CopyBytes(GuidB, &kProbePpiB, 16);
  volatile UINT32 *CounterA = (volatile UINT32 *)(M + 0x20);
  volatile UINT32 *CounterB = (volatile UINT32 *)(M + 0x24);
  EFI_PEI_PPI_DESCRIPTOR *Two = (EFI_PEI_PPI_DESCRIPTOR *)(M + 0x30);  // A, B
  EFI_PEI_PPI_DESCRIPTOR *Bad = (EFI_PEI_PPI_DESCRIPTOR *)(M + 0x48);  // no PPI flag
  EFI_PEI_PPI_DESCRIPTOR *NewA = (EFI_PEI_PPI_DESCRIPTOR *)(M + 0x54);
  EFI_PEI_NOTIFY_DESCRIPTOR *Notify = (EFI_PEI_NOTIFY_DESCRIPTOR *)(M + 0x60);  // 3 of them
  Two[0] = {kPpiFlag, GuidA, (VOID *)CounterA};
  Two[1] = {kPpiFlag | kTerminate, GuidB, (VOID *)CounterB};
  *Bad = {kTerminate, GuidA, (VOID *)CounterB};
  *NewA = {kPpiFlag | kTerminate, GuidA, (VOID *)CounterB};

  Status(LogLine(kSource, "InstallPpi null"), "status",
         Call(Install, Ps, (const EFI_PEI_PPI_DESCRIPTOR *)nullptr));
  Status(LogLine(kSource, "InstallPpi no-ppi-flag"), "status", Call(Install, Ps, Bad));
  VOID *Ppi = nullptr;
  Status(LogLine(kSource, "LocatePpi after refused install"), "status",
         Call(Locate, Ps, GuidA, (UINTN)0, (VOID *)nullptr, &Ppi));
  // A callback for A registered before A is there, one for B with both
  // flags, and a dispatch one for B.
  Notify[0] = {kNotifyCallback, GuidA, CountingNotify};
  Notify[1] = {kNotifyCallback | kNotifyDispatch, GuidB, CountingNotify};
  Notify[2] = {kNotifyDispatch | kTerminate, GuidB, CountingNotify};
  EFI_PEI_NOTIFY_DESCRIPTOR NoFlags = {kTerminate, GuidA, CountingNotify};
  Status(LogLine(kSource, "NotifyPpi null"), "status",
         Call(Service(Ps, kNotifyPpi), Ps, (const EFI_PEI_NOTIFY_DESCRIPTOR *)nullptr));
  Status(LogLine(kSource, "NotifyPpi no-notify-flag"), "status",
         Call(Service(Ps, kNotifyPpi), Ps, &NoFlags));
  Status(LogLine(kSource, "NotifyPpi three"), "status",
         Call(Service(Ps, kNotifyPpi), Ps, (const EFI_PEI_NOTIFY_DESCRIPTOR *)Notify));
  LogLine(kSource, "before install").Dec("countA", *CounterA).Dec("countB", *CounterB);
  Status(LogLine(kSource, "InstallPpi two"), "status", Call(Install, Ps, Two));
  LogLine(kSource, "after install").Dec("countA", *CounterA).Dec("countB", *CounterB);

  EFI_PEI_PPI_DESCRIPTOR *Descriptor = nullptr;
  for (UINTN Instance = 0; Instance < 2; Instance++) {
    Ppi = nullptr;
    Descriptor = nullptr;
    UINTN St = Call(Locate, Ps, GuidA, Instance, &Descriptor, &Ppi);
    Status(LogLine(kSource, "LocatePpi A"), "status", St)
        .Dec("instance", (UINT32)Instance)
        .Str("descriptor", Descriptor == Two ? "ours" : Descriptor ? "other" : "null")
        .Str("ppi", Ppi == (VOID *)CounterA ? "ours" : Ppi ? "other" : "null");
  }
  Status(LogLine(kSource, "LocatePpi null-outputs"), "status",
         Call(Locate, Ps, GuidB, (UINTN)0, (VOID *)nullptr, (VOID *)nullptr));
  Status(LogLine(kSource, "LocatePpi nobody's"), "status",
         Call(Locate, Ps, &kNobodysPpi, (UINTN)0, (VOID *)nullptr, &Ppi));

  // A callback registered for a PPI already there runs before NotifyPpi
  // returns.
  EFI_PEI_NOTIFY_DESCRIPTOR *Late = (EFI_PEI_NOTIFY_DESCRIPTOR *)(M + 0x90);
  *Late = {kNotifyCallback | kTerminate, GuidB, CountingNotify};
  UINT32 Before = *CounterB;
  Status(LogLine(kSource, "NotifyPpi for an installed PPI"), "status",
         Call(Service(Ps, kNotifyPpi), Ps, (const EFI_PEI_NOTIFY_DESCRIPTOR *)Late))
      .Dec("calls", *CounterB - Before);

  const VOID *Reinstall = Service(Ps, kReInstallPpi);
  Status(LogLine(kSource, "ReInstallPpi null"), "status",
         Call(Reinstall, Ps, (VOID *)nullptr, NewA));
  Status(LogLine(kSource, "ReInstallPpi new-without-flag"), "status",
         Call(Reinstall, Ps, &Two[0], Bad));
  Status(LogLine(kSource, "ReInstallPpi not-installed"), "status",
         Call(Reinstall, Ps, NewA, NewA));
  Before = *CounterA;
  UINT32 BeforeB = *CounterB;
  Status(LogLine(kSource, "ReInstallPpi A"), "status", Call(Reinstall, Ps, &Two[0], NewA))
      .Dec("callsA", *CounterA - Before)
      .Dec("callsB", *CounterB - BeforeB);
  Ppi = nullptr;
  Status(LogLine(kSource, "LocatePpi A after reinstall"), "status",
         Call(Locate, Ps, GuidA, (UINTN)0, &Descriptor, &Ppi))
      .Str("descriptor", Descriptor == NewA ? "new" : "other")
      .Str("ppi", Ppi == (VOID *)CounterB ? "new" : "other");
}

// --- Status codes: the report reaches the status code PPI ------------------

EFI_STATUS EFIAPI ReportToProbe(const EFI_PEI_SERVICES **Ps, UINT32 Type, UINT32 Value,
                                UINT32 Instance, const EFI_GUID *CallerId, const VOID *Data) {
  (void)CallerId;
  (void)Data;
  LogLine(kSource, "status code PPI called")
      .Str("services", Ps != nullptr ? "set" : "null")
      .Hex("type", Type)
      .Hex("value", Value)
      .Dec("instance", Instance);
  return 0x5A5A0001;
}

VOID ProbeStatusCode(const EFI_PEI_SERVICES **Ps) {
  // The probe's own status code PPI in the Foundation's place for it: over
  // the one installed (ReInstallPpi), or as the first one.
  UINT8 *M = (UINT8 *)Pool(Ps, 0x40);
  if (M == nullptr) return;
  CopyBytes(M, &kStatusCodePpiGuid, 16);
  *(VOID **)(M + 16) = (VOID *)ReportToProbe;
  EFI_PEI_PPI_DESCRIPTOR *Mine = (EFI_PEI_PPI_DESCRIPTOR *)(M + 20);
  *Mine = {kPpiFlag | kTerminate, (const EFI_GUID *)M, M + 16};
  EFI_PEI_PPI_DESCRIPTOR *Theirs = nullptr;
  VOID *Ppi = nullptr;
  bool Replaced = false;
  if (Call(Service(Ps, kLocatePpi), Ps, &kStatusCodePpiGuid, (UINTN)0, &Theirs, &Ppi) == 0)
    Replaced = Call(Service(Ps, kReInstallPpi), Ps, Theirs, Mine) == 0;
  else
    Call(Service(Ps, kInstallPpi), Ps, Mine);
  UINTN St = Call(Service(Ps, kReportStatusCode), Ps, (UINT32)0x02, (UINT32)0x80000010,
                  (UINT32)3, (const EFI_GUID *)nullptr, (const VOID *)nullptr);
  Status(LogLine(kSource, "ReportStatusCode"), "status", St);
  if (Replaced) Call(Service(Ps, kReInstallPpi), Ps, Mine, Theirs);
}

// --- Boot mode, HOBs, memory -----------------------------------------------

VOID ProbeBootModeAndHobs(const EFI_PEI_SERVICES **Ps) {
  UINT32 Mode = 0xA5, Again = 0xA5;
  UINTN St = Call(Service(Ps, kGetBootMode), Ps, &Mode);
  UINTN Set = Call(Service(Ps, kSetBootMode), Ps, (UINT32)0x11);
  Call(Service(Ps, kGetBootMode), Ps, &Again);
  Call(Service(Ps, kSetBootMode), Ps, Mode);
  Status(LogLine(kSource, "GetBootMode"), "status", St).Hex("set", (UINT32)Set).Hex("after", Again, 2);

  UINT8 *List = nullptr;
  St = Call(Service(Ps, kGetHobList), Ps, &List);
  Status(LogLine(kSource, "GetHobList"), "status", St)
      .Hex("type", List ? *(UINT16 *)List : 0, 4)
      .Hex("length", List ? *(UINT16 *)(List + 2) : 0, 4)
      .Hex("version", List ? *(UINT32 *)(List + 8) : 0);
  // The PHIT's end of the list follows each new HOB.
  static const UINT32 kLengths[] = {4, 8, 30, 0xFFF8, 0xFFF9};
  for (UINT32 Length : kLengths) {
    UINT8 *Hob = nullptr;
    UINT8 *EndBefore = List ? (UINT8 *)(UINTN) * (UINT64 *)(List + 48) : nullptr;
    St = Call(Service(Ps, kCreateHob), Ps, (UINT32)0x0004, (UINT32)Length, &Hob);
    LogLine Line(kSource, "CreateHob");
    Line.Hex("length", Length);
    Status(Line, "status", St)
        .Hex("stored", St == 0 ? *(UINT16 *)(Hob + 2) : 0, 4)
        .Str("at", St != 0 ? "-" : Hob == EndBefore ? "old-end" : "elsewhere")
        .Hex("newend", St == 0 && List ? (UINT32)((UINT8 *)(UINTN) * (UINT64 *)(List + 48) - Hob)
                                       : 0);
  }
  static const UINT32 kPools[] = {0, 1, 100, 0xFFF0, 0xFFF1};
  for (UINT32 Size : kPools) {
    UINT8 *Buffer = (UINT8 *)(UINTN)0xA5A5A5A5;
    St = Call(Service(Ps, kAllocatePool), Ps, (UINTN)Size, &Buffer);
    LogLine Line(kSource, "AllocatePool");
    Line.Hex("size", Size);
    Status(Line, "status", St)
        .Str("buffer", Buffer == nullptr ? "null" : St == 0 ? "set" : "untouched")
        .Hex("hob", St == 0 ? *(UINT16 *)(Buffer - 8) : 0, 4)
        .Hex("hoblength", St == 0 ? *(UINT16 *)(Buffer - 6) : 0, 4);
  }
}

// The memory allocation HOB describing Memory, or null.
const UINT8 *AllocationHob(const EFI_PEI_SERVICES **Ps, UINT64 Memory) {
  UINT8 *Hob = nullptr;
  if (Call(Service(Ps, kGetHobList), Ps, &Hob) != 0) return nullptr;
  for (UINT32 n = 0; n < 100000 && *(UINT16 *)Hob != 0xFFFF; n++) {
    UINT16 Length = *(UINT16 *)(Hob + 2);
    if (Length == 0) return nullptr;
    if (*(UINT16 *)Hob == 0x0002 && *(UINT64 *)(Hob + 24) == Memory) return Hob;
    Hob += Length;
  }
  return nullptr;
}

VOID ProbePages(const EFI_PEI_SERVICES **Ps) {
  const VOID *Allocate = Service(Ps, kAllocatePages), *Free = Service(Ps, kFreePages);
  struct Case {
    const char *Name;
    UINT32 Type, Pages;
  };
  static const Case kCases[] = {
      {"data", 4, 3},        {"no-pages", 4, 0},   {"conventional", 7, 1},
      {"reserved", 0, 1},    {"acpi-nvs", 10, 1},  {"type-16", 16, 1},
      {"huge", 4, 0x7FFFFFFF},
  };
  UINT64 Data = 0;
  for (const Case &C : kCases) {
    UINT64 Memory = 0xA5A5A5A5A5A5A5A5ull;
    UINTN St = Call(Allocate, Ps, C.Type, (UINTN)C.Pages, &Memory);
    const UINT8 *Hob = St == 0 ? AllocationHob(Ps, Memory) : nullptr;
    Status(LogLine(kSource, "AllocatePages"), "status", St)
        .Str("case", C.Name)
        .Hex("aligned", St == 0 ? (UINT32)(Memory & 0xFFF) : 0xFFFFFFFF)
        .Str("hob", Hob ? "yes" : "no")
        .Hex("hoblength", Hob ? (UINT32) * (const UINT64 *)(Hob + 32) : 0)
        .Hex("hobtype", Hob ? *(const UINT32 *)(Hob + 40) : 0);
    if (C.Type == 4 && C.Pages == 3 && St == 0) Data = Memory;
  }
  if (Data == 0) return;
  struct FreeCase {
    const char *Name;
    UINT64 Memory;
    UINT32 Pages;
  } Frees[] = {
      {"no-pages", Data, 0},          {"unaligned", Data + 4, 1},
      {"beyond", Data + 0x1000, 3},   {"middle", Data + 0x1000, 1},
      {"middle-again", Data + 0x1000, 1}, {"first", Data, 1},
  };
  for (const FreeCase &C : Frees)
    Status(LogLine(kSource, "FreePages"), "status", Call(Free, Ps, C.Memory, (UINTN)C.Pages))
        .Str("case", C.Name);
  // CopyMem and SetMem on pool memory.
  UINT8 *Buffer = (UINT8 *)Pool(Ps, 32);
  if (Buffer == nullptr) return;
  Call(Service(Ps, kSetMem), (VOID *)Buffer, (UINTN)32, (UINT8)0x3C);
  Call(Service(Ps, kCopyMem), (VOID *)(Buffer + 8), (const VOID *)&kProbeFile, (UINTN)4);
  LogLine(kSource, "SetMem CopyMem")
      .Hex("bytes0", *(UINT32 *)Buffer)
      .Hex("bytes8", *(UINT32 *)(Buffer + 8))
      .Hex("bytes12", *(UINT32 *)(Buffer + 12));
}

// --- CpuIo and PciCfg as the services table holds them --------------------

VOID ProbeCpuIoAndPciCfg(const EFI_PEI_SERVICES **Ps) {
  const VOID *const *CpuIo = (const VOID *const *)Service(Ps, kCpuIo);
  const VOID *const *PciCfg = (const VOID *const *)Service(Ps, kPciCfg);
  UINT32 Buffer = 0xA5A5A5A5;
  // Mem.Read, Io.Read (Width, Address, Count, Buffer), in and out of range.
  Status(LogLine(kSource, "CpuIo.Mem.Read"), "status",
         Call(CpuIo[0], Ps, CpuIo, (UINT32)2, (UINT64)0xFED00000, (UINTN)1, &Buffer));
  Status(LogLine(kSource, "CpuIo.Io.Read"), "status",
         Call(CpuIo[2], Ps, CpuIo, (UINT32)0, (UINT64)0x402, (UINTN)1, &Buffer));
  Status(LogLine(kSource, "CpuIo.Io.Read out-of-range"), "status",
         Call(CpuIo[2], Ps, CpuIo, (UINT32)0, (UINT64)0x10000, (UINTN)2, &Buffer));
  Status(LogLine(kSource, "CpuIo.Io.Write width-9"), "status",
         Call(CpuIo[3], Ps, CpuIo, (UINT32)9, (UINT64)0x80, (UINTN)1, &Buffer));
  // IoRead8/16/32 at 0x402 (the debug port) and beyond 0xFFFF; MemRead32.
  LogLine(kSource, "CpuIo reads")
      .Hex("io8", (UINT32)Call(CpuIo[4], Ps, CpuIo, (UINT64)0x402), 2)
      .Hex("io16", (UINT32)Call(CpuIo[5], Ps, CpuIo, (UINT64)0x70), 4)
      .Hex("io32beyond", (UINT32)Call(CpuIo[6], Ps, CpuIo, (UINT64)0x10000))
      .Hex("mem32", (UINT32)Call(CpuIo[14], Ps, CpuIo, (UINT64)0xFEC00000));
  // PciCfg.Read of the host bridge's id, of a register beyond 0xFF, width 9.
  UINT32 Id = 0xA5A5A5A5;
  Status(LogLine(kSource, "PciCfg.Read"), "status",
         Call(PciCfg[0], Ps, PciCfg, (UINT32)2, (UINT64)0, &Id))
      .Str("buffer", Id == 0xA5A5A5A5 ? "untouched" : "written");
  Status(LogLine(kSource, "PciCfg.Read extended"), "status",
         Call(PciCfg[0], Ps, PciCfg, (UINT32)2, (UINT64)0x10000000000ull, &Id));
  Status(LogLine(kSource, "PciCfg.Write width-9"), "status",
         Call(PciCfg[1], Ps, PciCfg, (UINT32)9, (UINT64)0, &Id));
  UINT32 Set = 0, Clear = 0;
  Status(LogLine(kSource, "PciCfg.Modify"), "status",
         Call(PciCfg[2], Ps, PciCfg, (UINT32)0, (UINT64)0x3C, &Set, &Clear));
}

// --- Pool and page exhaustion (last: nothing is left after it) --------------

VOID ProbeExhaustion(const EFI_PEI_SERVICES **Ps) {
  // Pages: halving requests until a single page is refused.
  UINTN Last = 0;
  UINT32 Granted = 0;
  for (UINTN Pages = 0x10000; Pages != 0 && Granted < 100000;) {
    UINT64 Memory = 0;
    Last = Call(Service(Ps, kAllocatePages), Ps, (UINT32)4, Pages, &Memory);
    if (Last == 0) {
      Granted++;
    } else {
      Pages /= 2;
    }
  }
  Status(LogLine(kSource, "AllocatePages exhausted"), "status", Last)
      .Str("some", Granted != 0 ? "granted" : "none");
  // Pool: HOBs until the list meets the pages.
  Granted = 0;
  for (UINT32 Size = 0xFFF0; Size >= 8 && Granted < 100000;) {
    VOID *Buffer = nullptr;
    Last = Call(Service(Ps, kAllocatePool), Ps, (UINTN)Size, &Buffer);
    if (Last == 0) {
      Granted++;
    } else {
      Size /= 2;
    }
  }
  Status(LogLine(kSource, "AllocatePool exhausted"), "status", Last);
  VOID *Hob = nullptr;
  Status(LogLine(kSource, "CreateHob exhausted"), "status",
         Call(Service(Ps, kCreateHob), Ps, (UINT32)0x0004, (UINT32)0x100, &Hob));
}

}  // namespace

extern "C" EFI_STATUS EFIAPI ProbeEntry(EFI_PEI_FILE_HANDLE FileHandle,
                                         const EFI_PEI_SERVICES **PeiServices) {
  EFI_FV_FILE_INFO2 Self;
  if (Call(Service(PeiServices, kFfsGetFileInfo), FileHandle, &Self) != 0) {
    LogLine(kSource, "FfsGetFileInfo of its own file failed");
    return 1;
  }
  if (!SameGuid(Self.FileName, kProbeFile)) return AnnounceCopy(PeiServices, Self.FileName);

  VOID *Ppi = nullptr;
  if (Call(Service(PeiServices, kLocatePpi), PeiServices, &kProbeEntered, (UINTN)0,
           (VOID *)nullptr, &Ppi) == 0) {
    // The entry again, once registered for shadowing.
    Status(LogLine(kSource, "shadow entry"), "RegisterForShadow",
           Call(Service(PeiServices, kRegisterForShadow), FileHandle));
    ProbeExhaustion(PeiServices);
    LogLine(kSource, "end");
    return 0;
  }
  LogLine(kSource, "start");
  for (UINT32 i = 0; i < kCopies; i++) {
    EFI_GUID Name = CopyName(i);
    LogLine(kSource, "dispatched")
        .Str("copy", kCopyNames[i])
        .Str("ran", Call(Service(PeiServices, kLocatePpi), PeiServices, &Name, (UINTN)0,
                         (VOID *)nullptr, (VOID *)nullptr) == 0
                        ? "yes"
                        : "no");
  }
  VOID *Volume = OwnVolume(PeiServices, FileHandle);
  LogLine(kSource, "own volume").Str("found", Volume ? "yes" : "no");
  if (Volume) ProbeVolume(PeiServices, FileHandle, Volume);
  ProbePpis(PeiServices);
  ProbeStatusCode(PeiServices);
  ProbeBootModeAndHobs(PeiServices);
  ProbePages(PeiServices);
  ProbeCpuIoAndPciCfg(PeiServices);

  // Registered for shadowing: the entry comes again (after memory, at once).
  UINT8 *M = (UINT8 *)Pool(PeiServices, 28);
  if (M != nullptr) {
    CopyBytes(M, &kProbeEntered, 16);
    EFI_PEI_PPI_DESCRIPTOR *D = (EFI_PEI_PPI_DESCRIPTOR *)(M + 16);
    *D = {kPpiFlag | kTerminate, (const EFI_GUID *)M, nullptr};
    Call(Service(PeiServices, kInstallPpi), PeiServices, D);
  }
  Status(LogLine(kSource, "RegisterForShadow"), "status",
         Call(Service(PeiServices, kRegisterForShadow), FileHandle));
  Status(LogLine(kSource, "RegisterForShadow again"), "status",
         Call(Service(PeiServices, kRegisterForShadow), FileHandle));
  return 0;
}
