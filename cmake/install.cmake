# `make install PREFIX=... DESTDIR=...` (cmake --install): the tools, their
# manual pages and bash completion, the images and firmware files the build
# delivers, and the EDK2 kit.
#
#   PREFIX/bin/                          peim-sim fvtool pe-check pe-compact
#   PREFIX/share/man/man1/               TOOL.1, made from each tool's --help
#   PREFIX/share/bash-completion/completions/TOOL
#   PREFIX/share/usb-controller-peim/    the images, map and firmware files
#   PREFIX/share/usb-controller-peim/edk2/   the EDK2 kit (its README says how)
#   PREFIX/share/usb-controller-peim/testbed/   the test bed's Stall provider and consumer
include(GNUInstallDirs)
set(USB_PEIM_INSTALL_TOOLS peim-sim fvtool pe-check pe-compact)
set(USB_PEIM_SHARE_DIR ${CMAKE_INSTALL_DATADIR}/usb-controller-peim)

install(TARGETS ${USB_PEIM_INSTALL_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages from each tool's own --help and --version (help2man), so that
# they never say other than the tool.
find_program(HELP2MAN help2man REQUIRED)
set(man_pages)
foreach(tool IN LISTS USB_PEIM_INSTALL_TOOLS)
  set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1
            --source=UsbControllerPeim --output=${page} $<TARGET_FILE:${tool}>
    DEPENDS ${tool}
    COMMENT "Writing the manual page of ${tool}"
    VERBATIM)
  list(APPEND man_pages ${page})
  install(FILES ${CMAKE_SOURCE_DIR}/scripts/usb-peim-tools.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${tool})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES
        ${USB_PEIM_IMAGES_DIR}/UsbControllerPeim.efi ${USB_PEIM_IMAGES_DIR}/UsbControllerPeim.te
        ${USB_PEIM_IMAGES_DIR}/UsbControllerPeim.map ${USB_PEIM_FFS} ${USB_PEIM_TE_FFS}
        DESTINATION ${USB_PEIM_SHARE_DIR})
# The test bed's Stall provider and consumer, for booting the module in a
# firmware image of one's own (testbed/README.md).
install(FILES ${CMAKE_BINARY_DIR}/TestbedStallPeim.ffs ${CMAKE_BINARY_DIR}/TestbedUsbConsumerPeim.ffs
        DESTINATION ${USB_PEIM_SHARE_DIR}/testbed)
install(DIRECTORY ${CMAKE_BINARY_DIR}/edk2/ DESTINATION ${USB_PEIM_SHARE_DIR}/edk2)
