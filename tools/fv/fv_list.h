// The `list` view of an image: volumes, files, sections, nested volumes.
#ifndef TOOLS_FV_FV_LIST_H_
#define TOOLS_FV_FV_LIST_H_

#include <ostream>

#include "fv_tree.h"

namespace fv {

void PrintImage(const Image &image, std::ostream &out);
void PrintLoneFile(const File &file, std::ostream &out);
// The same as one line of JSON: an object with the image's size, whether
// it is damaged, its problems and its volumes (each with its files, their
// sections, nested volumes and where their images run), or {"file": ...}
// for a lone file. Numbers are integers; names appear where known.
void PrintImageJson(const Image &image, std::ostream &out);
void PrintLoneFileJson(const File &file, std::ostream &out);

}  // namespace fv

#endif  // TOOLS_FV_FV_LIST_H_
