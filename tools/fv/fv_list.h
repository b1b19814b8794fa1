// The `list` view of an image: volumes, files, sections, nested volumes.
#ifndef TOOLS_FV_FV_LIST_H_
#define TOOLS_FV_FV_LIST_H_

#include <ostream>

#include "fv_tree.h"

namespace fv {

// Returns how many findings (PlacementFindings: files off their alignment,
// images not linked where they lie) it marked with '!'.
size_t PrintImage(const Image &image, std::ostream &out);
void PrintLoneFile(const File &file, std::ostream &out);
// The same as one line of JSON: an object with the image's size, whether
// it is damaged, its problems and its volumes (each with its files, their
// sections, nested volumes and where their images run), or {"file": ...}
// for a lone file. Numbers are integers; names appear where known.
size_t PrintImageJson(const Image &image, std::ostream &out);
void PrintLoneFileJson(const File &file, std::ostream &out);

}  // namespace fv

#endif  // TOOLS_FV_FV_LIST_H_
