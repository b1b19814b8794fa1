#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace simtest {
namespace {

void Put16(std::vector<uint8_t> &b, size_t o, uint16_t v) {
  b[o] = uint8_t(v);
  b[o + 1] = uint8_t(v >> 8);
}
void Put32(std::vector<uint8_t> &b, size_t o, uint32_t v) {
  for (int i = 0; i < 4; i++) b[o + i] = uint8_t(v >> (8 * i));
}
uint32_t Align(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

}  // namespace

std::vector<uint8_t> ModuleBytes() {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(pe::ReadFile(USB_PEIM_IMAGE, bytes, error)) << error;
  return bytes;
}

pe::Image ModuleImage() {
  pe::Image image;
  std::string error;
  EXPECT_TRUE(pe::Parse(ModuleBytes(), image, error)) << error;
  return image;
}

std::vector<uint8_t> BuildImage(const std::vector<uint8_t> &code,
                                const std::vector<uint32_t> &fixups, uint32_t characteristics) {
  const uint32_t textRaw = Align(uint32_t(code.size()), 32);
  // One block for the page holding .text; padding entries keep it 4-byte
  // sized, and an image without fixups still has a relocation table.
  uint32_t entries = uint32_t(fixups.size()) + (fixups.size() % 2) + (fixups.empty() ? 2 : 0);
  std::vector<uint8_t> reloc(8 + 2 * entries, 0);
  Put32(reloc, 4, uint32_t(reloc.size()));
  for (size_t i = 0; i < fixups.size(); i++)
    Put16(reloc, 8 + 2 * i, uint16_t(0x3000 | (kCodeRva + fixups[i])));
  const uint32_t relocRva = kCodeRva + textRaw, relocRaw = Align(uint32_t(reloc.size()), 32);
  const uint32_t sizeOfImage = relocRva + relocRaw;
  std::vector<uint8_t> b(kCodeRva + textRaw + relocRaw, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, 0x40);
  memcpy(&b[0x40], "PE\0\0", 4);
  size_t coff = 0x44, opt = coff + 20;
  Put16(b, coff, 0x014C);
  Put16(b, coff + 2, 2);
  Put16(b, coff + 16, 0xE0);
  Put16(b, coff + 18, 0x2102);
  Put16(b, opt, 0x010B);
  Put32(b, opt + 4, textRaw);
  Put32(b, opt + 16, kCodeRva);  // entry
  Put32(b, opt + 20, kCodeRva);
  Put32(b, opt + 28, 0);  // ImageBase
  Put32(b, opt + 32, 32);
  Put32(b, opt + 36, 32);
  Put32(b, opt + 56, sizeOfImage);
  Put32(b, opt + 60, kCodeRva);
  Put16(b, opt + 68, 11);
  Put32(b, opt + 92, 16);
  Put32(b, opt + 96 + 8 * 5, relocRva);
  Put32(b, opt + 100 + 8 * 5, uint32_t(reloc.size()));
  size_t sec = opt + 0xE0;
  memcpy(&b[sec], ".text", 5);
  Put32(b, sec + 8, uint32_t(code.size()));
  Put32(b, sec + 12, kCodeRva);
  Put32(b, sec + 16, textRaw);
  Put32(b, sec + 20, kCodeRva);
  Put32(b, sec + 36, characteristics);
  memcpy(&b[sec + 40], ".reloc", 6);
  Put32(b, sec + 48, uint32_t(reloc.size()));
  Put32(b, sec + 52, relocRva);
  Put32(b, sec + 56, relocRaw);
  Put32(b, sec + 60, relocRva);
  Put32(b, sec + 76, 0x42000040);
  memcpy(&b[kCodeRva], code.data(), code.size());
  memcpy(&b[relocRva], reloc.data(), reloc.size());
  return b;
}

std::string ScratchFile(const std::string &name, const std::vector<uint8_t> &bytes) {
  std::string path = std::string(SIM_SCRATCH_DIR) + "/" + name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                              std::streamsize(bytes.size()));
  return path;
}

std::vector<std::string> TraceLines(const std::string &out) {
  std::vector<std::string> lines;
  size_t at = out.find("\nTrace\n");
  if (at == std::string::npos) return lines;
  at = out.find('\n', at + 7) + 1;  // past the column heading
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(at, end - at);
    if (line.empty()) break;
    lines.push_back(line);
    at = end + 1;
  }
  return lines;
}

ToolRun RunTool(const std::vector<std::string> &args) {
  return testtool::RunTool(PEIM_SIM, args, SIM_SCRATCH_DIR);
}

}  // namespace simtest
