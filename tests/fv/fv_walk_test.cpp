// A volume as EDK2's PEI core walks it (FindFileEx, MdeModulePkg/Core/Pei/
// FwVol/FwVol.c): each file's state is the highest bit set in its state byte
// (inverted under erase polarity 1); data valid or marked for update is a
// file, deleted is passed over by its size, header under construction or
// marked invalid is stepped over by its header alone (what follows is read
// as the next file), and header valid alone, no bit or a reserved bit ends
// the walk. fvtool's reader (and so list, every edit and peim-sim's volume
// services) must see the files the core sees, and an edit must never place a
// file where the core does not look.
#include "fv_test_util.h"

using namespace fv;

namespace {

std::string Tool(const std::string &args) { return std::string(FVTOOL) + " " + args; }

const Guid kCore = Guid::Parse("C0DE0000-0000-4000-8000-00000000C0DE");
const Guid kX = Guid::Parse("58000000-0000-4000-8000-000000000058");  // the file in the state under test
const Guid kZ = Guid::Parse("5A000000-0000-4000-8000-00000000005A");  // a whole file in X's body
const Guid kY = Guid::Parse("59000000-0000-4000-8000-000000000059");  // the file after X

// The names of the files EDK2's PEI core finds walking the volume
// (FindFileEx with EFI_FV_FILETYPE_ALL, pad files left out), written from its
// source, apart from fvtool's reader.
std::vector<Guid> CoreWalk(const Bytes &v) {
  bool polarity1 = Get32(&v[44]) & kVolumeAttrErasePolarity;
  size_t length = size_t(Get64(&v[32])), ext = Get16(&v[52]);
  size_t offset = AlignUp(ext ? ext + Get32(&v[ext + 16]) : Get16(&v[48]), 8);
  std::vector<Guid> found;
  while (offset < length - 24) {
    const uint8_t *h = &v[offset];
    uint8_t bits = polarity1 ? uint8_t(~h[23]) : h[23], state = 0x80;
    while (state && !(state & bits)) state >>= 1;
    bool large = h[19] & kFileAttrLarge;
    size_t headerSize = large ? 32 : 24, size = large ? size_t(Get64(h + 24)) : Get24(h + 20);
    if (state == 0x01 || state == 0x20) {
      offset += headerSize;
    } else if (state == 0x04 || state == 0x08) {
      uint8_t sum = 0;
      for (size_t i = 0; i < headerSize; i++) sum = uint8_t(sum + (i == 17 || i == 23 ? 0 : h[i]));
      if (sum != 0) break;
      uint8_t data = kFileChecksumUnused;
      if (h[19] & kFileAttrChecksum) {
        data = 0;
        for (size_t i = headerSize; i < size; i++) data = uint8_t(data - h[i]);
      }
      if (h[17] != data) break;
      if (h[18] != kFilePad) found.push_back(Guid::At(h));
      offset += AlignUp(size, 8);
    } else if (state == 0x10) {
      offset += AlignUp(size, 8);
    } else {
      break;
    }
  }
  return found;
}

std::vector<Guid> ReaderFiles(const Volume &v) {
  std::vector<Guid> out;
  for (const File &f : v.files)
    if (!f.deleted && f.type != kFilePad) out.push_back(f.name);
  return out;
}

std::string Names(const std::vector<Guid> &names) {
  std::string out;
  for (const Guid &g : names) out += g.ToString().substr(0, 2) + " ";
  return out;
}

// PEI core, X, Y, in a volume of the given polarity. X is a RAW file whose
// body is a whole file Z (or erased bytes), its state set to `bits` as the
// core reads them (stored inverted under polarity 1).
Bytes StateVolume(bool polarity1, uint8_t bits, bool erasedBody) {
  Bytes rawData(36, 0x5A);
  Bytes z = MakeFile(kZ, kFileFreeform, kFileAttrChecksum, MakeSection(kSecRaw, rawData), polarity1);
  Bytes body = erasedBody ? Bytes(0x800, polarity1 ? 0xFF : 0x00) : z;
  Bytes x = MakeFile(kX, kFileRaw, 0, body, polarity1);
  Bytes y = MakeFile(kY, kFileFreeform, kFileAttrChecksum, MakeSection(kSecRaw, Bytes(28, 0x59)),
                     polarity1);
  VolumeParams params;
  params.length = 0x4000;
  params.erasePolarity1 = polarity1;
  std::vector<std::string> log;
  Bytes volume = CreateVolume(params, {fvtest::ModuleFile(kCore.ToString(), "Core", kFilePeiCore), x, y},
                              {}, Rebase(), log);
  size_t at = std::search(volume.begin(), volume.end(), kX.bytes.begin(), kX.bytes.end()) - volume.begin();
  volume[at + 23] = polarity1 ? uint8_t(~bits) : bits;
  return volume;
}

}  // namespace

// Every state, under both polarities: the reader sees what the core sees;
// list marks what lies beyond the walk's end; insert puts the module where
// the core finds it, or is refused in one line where the walk ends before
// any free room.
TEST(Walk, EveryStateAsThePeiCoreTakesIt) {
  struct Row {
    uint8_t bits;
    bool erasedBody;
    std::vector<Guid> seen;  // by the core, in order
    bool insertable;
  };
  const std::vector<Row> rows = {
      {0x07, false, {kCore, kX, kY}, true},      // valid
      {0x0F, false, {kCore, kX, kY}, true},      // marked for update: still read
      {0x05, false, {kCore, kX, kY}, true},      // data valid is the highest bit
      {0x17, false, {kCore, kY}, true},          // deleted: passed over by its size
      {0x01, false, {kCore, kZ, kY}, true},      // header under construction: its body is read
      {0x21, false, {kCore, kZ, kY}, true},      // header marked invalid: the same
      {0x3F, false, {kCore, kZ, kY}, true},
      {0x01, true, {kCore}, true},               // ... an erased body is the free space
      {0x03, false, {kCore}, false},             // header valid, data not: the walk ends
      {0x00, false, {kCore}, false},             // no bit
      {0x47, false, {kCore}, false},             // reserved bits
      {0x87, false, {kCore}, false},
  };
  for (bool polarity1 : {true, false})
    for (const Row &row : rows) {
      std::string label = "bits " + Hex(row.bits) + (row.erasedBody ? " erased body" : "") +
                          (polarity1 ? " polarity 1" : " polarity 0");
      SCOPED_TRACE(label);
      Bytes volume = StateVolume(polarity1, row.bits, row.erasedBody);
      ASSERT_EQ(Names(CoreWalk(volume)), Names(row.seen));
      Image image(volume);
      EXPECT_EQ(Names(ReaderFiles(image.volumes().at(0))), Names(row.seen));

      fvtest::TempDir dir;
      fvtest::WriteBytes(dir / "in.fv", volume);
      fvtest::Run list = fvtest::RunCommand(Tool("list " + (dir / "in.fv")), dir);
      EXPECT_EQ(list.status, 0) << list.err;
      bool ends = !row.insertable;
      EXPECT_EQ(list.out.find("beyond the walk: file " + kY.ToString()) != std::string::npos, ends)
          << list.out;
      EXPECT_EQ(list.out.find("the PEI core's walk ends at") != std::string::npos, ends) << list.out;

      fvtest::Run insert = fvtest::RunCommand(
          Tool("insert " + (dir / "in.fv") + " " MODULE_FFS " --pei-base 0xFFF00000 -o " +
               (dir / "out.fv")),
          dir);
      if (!row.insertable) {
        EXPECT_EQ(insert.status, 2);
        EXPECT_NE(insert.err.find("walk of it ends at"), std::string::npos) << insert.err;
        EXPECT_EQ(std::count(insert.err.begin(), insert.err.end(), '\n'), 1) << insert.err;
        EXPECT_FALSE(fvtest::Exists(dir / "out.fv"));
        continue;
      }
      ASSERT_EQ(insert.status, 0) << insert.err;
      std::vector<Guid> after = CoreWalk(ReadFile(dir / "out.fv"));
      std::vector<Guid> expected = row.seen;
      expected.push_back(Guid::Parse(MODULE_GUID));
      EXPECT_EQ(Names(after), Names(expected));
    }
}

// The interrupted write of the robustness campaign: a file whose data was
// never marked valid after the PEI core. list shows the two files after it
// as beyond the walk; insert is refused rather than put the module there.
TEST(Walk, InterruptedWriteEndsTheVolume) {
  const std::string in = std::string(ROBUSTNESS2_DATA) + "/G20-interrupted-write.fv";
  fvtest::TempDir dir;
  fvtest::Run list = fvtest::RunCommand(Tool("list " + in), dir);
  EXPECT_EQ(list.status, 0) << list.err;
  for (const char *words :
       {"the PEI core's walk ends at 0x4F8", "beyond the walk: file 57000000-0000-4000-8000-000000000057",
        "beyond the walk: file 0B000000-0000-4000-8000-00000000000B"})
    EXPECT_NE(list.out.find(words), std::string::npos) << words << "\n" << list.out;
  EXPECT_EQ(list.out.find("\n  file 0B000000"), std::string::npos) << list.out;
  Image image(ReadFile(in));
  EXPECT_EQ(Names(ReaderFiles(image.volumes().at(0))), Names(CoreWalk(ReadFile(in))));

  fvtest::Run insert = fvtest::RunCommand(Tool("insert " + in + " " MODULE_FFS " -o " + (dir / "iw.fv")), dir);
  EXPECT_EQ(insert.status, 2);
  EXPECT_NE(insert.err.find("walk of it ends at 0x4F8"), std::string::npos) << insert.err;
  EXPECT_FALSE(fvtest::Exists(dir / "iw.fv"));
}
