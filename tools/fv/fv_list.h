// The `list` view of an image: volumes, files, sections, nested volumes.
#ifndef TOOLS_FV_FV_LIST_H_
#define TOOLS_FV_FV_LIST_H_

#include <ostream>

#include "fv_tree.h"

namespace fv {

void PrintImage(const Image &image, std::ostream &out);
void PrintLoneFile(const File &file, std::ostream &out);

}  // namespace fv

#endif  // TOOLS_FV_FV_LIST_H_
