/** @file
  The kit's UsbControllerPpi.h beside MdeModulePkg's Ppi/UsbController.h in
  one module, MdeModulePkg's header first, then the kit's (the checks are in
  HeaderOrderCheck.h). Built, and so checked, with BusMasterPei in the USB
  boots' EDK2 build.
**/
#include <PiPei.h>
#include <Ppi/UsbController.h>
#include "UsbControllerPpi.h"

#define HEADER_ORDER_CALL  HeaderOrderEdk2FirstCall
#include "HeaderOrderCheck.h"
