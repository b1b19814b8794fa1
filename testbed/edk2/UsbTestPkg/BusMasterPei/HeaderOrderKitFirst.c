/** @file
  The kit's UsbControllerPpi.h beside MdeModulePkg's Ppi/UsbController.h in
  one module, the kit's header first, then MdeModulePkg's (the checks are in
  HeaderOrderCheck.h). Built, and so checked, with BusMasterPei in the USB
  boots' EDK2 build.
**/
#include <PiPei.h>
#include "UsbControllerPpi.h"
#include <Ppi/UsbController.h>

#define HEADER_ORDER_CALL  HeaderOrderKitFirstCall
#include "HeaderOrderCheck.h"
