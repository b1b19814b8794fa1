// The post-link writer: rewrites an image as lld-link leaves it (a DOS stub,
// 16 data directories, a .text section and a .reloc section) into the
// smallest conventional PE32 that PE loaders and image tools read, and makes
// a TE image from that.
//
// The compact image: a 64-byte DOS header (e_lfanew 0x40, no stub), the PE
// signature and file header, an optional header with 7 data directories
// (relocation is the sixth, debug the seventh; some readers skip the
// relocation directory when fewer are declared), and one section holding the
// code and read-only data, then the relocation table at its end.
// SectionAlignment and FileAlignment are both the linked image's
// SectionAlignment, and every file offset equals its RVA, so the image still
// runs in place.
//
// The code and data move down as one block by the bytes the headers lost (a
// multiple of the alignment, so nothing inside loses its alignment); their
// relative layout is kept, so relative branches and calls stay as linked.
// Every fixup moves with them, and every absolute address a fixup covers is
// moved too when it points into the block.
#ifndef TOOLS_PE_PE_COMPACT_H_
#define TOOLS_PE_PE_COMPACT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "pe_image.h"

namespace pe {

// Data directories of the compact image: up to and including debug (6).
constexpr uint32_t kCompactDirectories = 7;
// DOS header + signature + file header + optional header with 7 directories
// + one section header.
constexpr uint32_t kCompactHeaderBytes = 64 + 4 + 20 + 96 + 8 * kCompactDirectories + 40;

// How the linked image's contents moved: the block [oldStart, oldEnd) of
// RVAs (the sections kept, the gaps between them included) now starts at
// newStart, in section 1.
struct CompactMove {
  uint32_t oldStart = 0, oldEnd = 0, newStart = 0;
  std::vector<uint32_t> keptSections;  // 1-based numbers in the linked image
  uint32_t NewRva(uint32_t oldRva) const { return oldRva - oldStart + newStart; }
};

// Writes the compact image of linked into out. Fails with a one-line error,
// out untouched, when the image cannot be rewritten safely: not IA-32 PE32,
// no relocation table (the code could not be moved), a writable section, a
// data directory other than the relocation table, a relocation table
// sharing a section with other data except at its end, an entry point
// outside the code, overlapping fixups, or a fixup in no kept section or
// holding an address outside the block that moves (other than the image base
// itself, which stays: it names the headers, which do not move).
bool WriteCompactImage(const Image &linked, std::vector<uint8_t> &out, CompactMove &move,
                       std::string &error);

// Writes the TE image of a PE32 image into out: the TE header in place of the
// headers before the section table (StrippedSize), the rest unchanged.
// Fails with a one-line error when the image cannot be one (more than 255
// sections, a subsystem above 255, headers above 64 KiB, or a section whose
// raw data does not lie after the section table at its own RVA).
bool WriteTeImage(const Image &image, std::vector<uint8_t> &out, std::string &error);

// Rewrites the text of the linked image's map (name: its path, for errors)
// for the compact image: every contribution, symbol and the entry point get
// their new section, offset and address, in the same columns; the rest is
// kept as it is. Fails with "NAME:LINE: problem" when the map does not
// describe the linked image (another load address, a symbol not where its
// section puts it) or places something in a section that is not kept.
bool ShiftLinkMap(const std::string &text, const std::string &name, const Image &linked,
                  const CompactMove &move, std::string &out, std::string &error);

// The PE checksum of a file whose CheckSum field is at checksumOffset: the
// 16-bit one's-complement-style sum of the file with that field as zero,
// plus the file's length.
uint32_t PeChecksum(const std::vector<uint8_t> &file, size_t checksumOffset);

}  // namespace pe

#endif  // TOOLS_PE_PE_COMPACT_H_
