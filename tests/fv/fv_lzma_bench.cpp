// fv-lzma-bench IMAGE [SAMPLES]: how long fvtool's LZMA encoder takes on
// each large LZMA section of IMAGE (OVMF's main volume, as `insert`
// recompresses it), and how large the result is, for each encoder effort
// worth choosing between. Each result is decoded again and compared; its
// size is set against the section's place: the room the enclosing file may
// grow into (the free room right after it). The time is the processor time
// the encoder took (one thread; other work on the machine stretches the
// wall-clock time, not this), the median of SAMPLES runs (default 3).
// Prints; never fails on a figure.
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <cstdio>
#include <string>
#include <vector>

#include "fv_tree.h"
#include "lzma_codec.h"

using namespace fv;

namespace {

struct Found {
  const Section *section;
  size_t room;  // bytes the file holding it may grow by
};

void Collect(const Volume &v, std::vector<Found> &out);

void CollectSections(const std::vector<Section> &sections, size_t room, std::vector<Found> &out) {
  for (const Section &s : sections) {
    if (s.lzma && s.unpacked && s.unpacked->size() >= (1u << 20)) out.push_back({&s, room});
    for (const Volume &v : s.volumes) Collect(v, out);
    CollectSections(s.sections, room, out);
  }
}

void Collect(const Volume &v, std::vector<Found> &out) {
  for (size_t i = 0; i < v.files.size(); i++) {
    const File &f = v.files[i];
    size_t end = AlignUp(f.offset + f.size, 8);
    size_t next = i + 1 < v.files.size() ? v.files[i + 1].offset : v.freeEnd;
    CollectSections(f.sections, next > end ? next - end : 0, out);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: fv-lzma-bench IMAGE [SAMPLES]\n");
    return 2;
  }
  int samples = argc == 3 ? std::max(1, std::atoi(argv[2])) : 3;
  try {
    Image image(ReadFile(argv[1]));
    std::vector<Found> found;
    for (const Volume &v : image.volumes()) Collect(v, found);
    using E = LzmaEffort;
    // Presets 6 to 9 differ in their dictionary alone, which the stream's
    // header bounds: one of them stands for all.
    const std::vector<LzmaEffort> efforts = {
        {9, true, E::MatchFinder::kPreset}, {6, false, E::MatchFinder::kPreset},
        {6, false, E::MatchFinder::kBt3},   {6, false, E::MatchFinder::kBt2},
        {6, false, E::MatchFinder::kHc4},   {5, false, E::MatchFinder::kBt3},
        {3, false, E::MatchFinder::kPreset},
    };
    const LzmaEffort chosen;
    for (const Found &f : found) {
      const Section &s = *f.section;
      uint64_t size = 0;
      LzmaProperties props = LzmaStreamProperties(s.data(), s.dataSize(), size);
      std::printf("LZMA section of %s: %zu bytes unpacked, %zu packed as found, room %zu\n",
                  argv[1], s.unpacked->size(), s.dataSize(), f.room);
      for (const LzmaEffort &effort : efforts) {
        std::vector<double> times;
        Bytes packed;
        for (int i = 0; i < samples; i++) {
          std::clock_t start = std::clock();
          packed = LzmaEncode(*s.unpacked, props, effort);
          times.push_back(double(std::clock() - start) / CLOCKS_PER_SEC);
        }
        std::sort(times.begin(), times.end());
        bool same = LzmaDecode(packed.data(), packed.size()) == *s.unpacked;
        long growth = long(packed.size()) - long(s.dataSize());
        bool isChosen = effort.preset == chosen.preset && effort.extreme == chosen.extreme &&
                        effort.matchFinder == chosen.matchFinder;
        std::printf("  preset %-7s %6.2f s CPU (median of %d)  %zu bytes (%+ld)  %s  %s%s\n",
                    effort.Describe().c_str(), times[times.size() / 2], samples, packed.size(),
                    growth, growth <= long(f.room) ? "fits" : "DOES NOT FIT",
                    same ? "decodes" : "DECODES WRONG", isChosen ? "  <- fvtool's" : "");
      }
    }
    if (found.empty()) std::printf("%s: no LZMA section of 1 MiB or more\n", argv[1]);
  } catch (const Error &e) {
    std::fprintf(stderr, "fv-lzma-bench: %s\n", e.what());
    return 2;
  }
  return 0;
}
