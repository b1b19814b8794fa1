/** @file
  What HeaderOrderEdk2First.c and HeaderOrderKitFirst.c check once both
  PPI headers are in, each in its order: the PPI is declared once, under the
  names both headers use, and a consumer written against either compiles.
  HEADER_ORDER_CALL names the function.
**/
STATIC_ASSERT (PEI_EHCI_CONTROLLER == 3, "EHCI's controller type");
STATIC_ASSERT (sizeof (PEI_USB_CONTROLLER_PPI) == sizeof (PEI_GET_USB_CONTROLLER), "one member");

/* A call through the PPI as EhciPei makes it. */
EFI_STATUS
HEADER_ORDER_CALL (
  IN EFI_PEI_SERVICES        **PeiServices,
  IN PEI_USB_CONTROLLER_PPI  *Ppi,
  OUT UINTN                  *Type,
  OUT UINTN                  *Base
  )
{
  EFI_GUID  Guid = PEI_USB_CONTROLLER_PPI_GUID;

  if (Guid.Data1 != 0x3BC1F6DE) {
    return EFI_NOT_FOUND;
  }

  return Ppi->GetUsbController (PeiServices, Ppi, 0, Type, Base);
}
