// What peim-sim is given to run: a PE32 or TE image, a firmware file (.ffs)
// holding one, or a firmware image (volumes) and the name of a file in it;
// and the volumes the Foundation's volume services work on.
#ifndef TOOLS_SIM_INPUT_H_
#define TOOLS_SIM_INPUT_H_

#include <memory>
#include <string>
#include <vector>

#include "depex.h"
#include "pe_image.h"
#include "platform.h"

namespace fv {
class Image;
}

namespace peimsim {

struct ModuleInput {
  pe::Image image;
  std::string what;  // "PE32 image", "TE image in firmware file <guid> \"Name\""
  bool fromFile = false;  // the image came from a firmware file
  Guid fileName{};
  std::string uiName;
  bool hasDepex = false;
  std::vector<uint8_t> depex;
  std::vector<uint8_t> fileBytes;       // a lone firmware file, mapped for the volume services
  std::shared_ptr<fv::Image> firmware;  // the volumes (--file input, or --volume)
  std::vector<std::string> notes;       // what the mapping left out
};

// Reads path: a PE32 or TE image ("MZ", "VZ"), a firmware image when
// fileGuid is given (the file of that name in any of its volumes), else a
// lone firmware file. False with a one-line error naming the file and,
// where there is one, the offset.
bool ReadModule(const std::string &path, const std::string &fileGuid, ModuleInput &input,
                std::string &error);

// Reads the firmware image of --volume into input.firmware.
bool ReadVolumes(const std::string &path, ModuleInput &input, std::string &error);

// Maps the volumes and the module's own file into the platform (after
// Load), and sets the entry's FileHandle to the module's file.
bool MapFirmware(Platform &platform, ModuleInput &input, std::string &error);

// With a firmware image (--file): the PEIMs of the module's volume that a
// Foundation dispatches before it, as EDK2's PeiDispatcher does: passes over
// the apriori list's files (dispatched whatever their expression) and then
// the volume's, each PEIM dispatched where a pass finds its expression
// holding, until a pass reaches the module ready (or dispatches nothing).
// Their outcomes go to input.notes; the platform keeps what they did.
bool DispatchEarlierPeims(Platform &platform, ModuleInput &input, std::string &error);

// The module's dependency expression against the platform's PPI database.
DepexResult CheckDepex(const Platform &platform, const ModuleInput &input);

}  // namespace peimsim

#endif  // TOOLS_SIM_INPUT_H_
