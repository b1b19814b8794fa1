# The project's one version, from VERSION at the top of the tree (read by
# scripts/version.sh, which checks it): USB_PEIM_VERSION. A new VERSION
# configures the tree again.
#
#   include(${CMAKE_SOURCE_DIR}/cmake/version.cmake)
execute_process(
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/version.sh
  OUTPUT_VARIABLE USB_PEIM_VERSION
  ERROR_VARIABLE version_error
  RESULT_VARIABLE version_status
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT version_status EQUAL 0)
  message(FATAL_ERROR "${version_error}")
endif()
set(USB_PEIM_VERSION_FILE ${CMAKE_CURRENT_LIST_DIR}/../VERSION)
get_filename_component(USB_PEIM_VERSION_FILE ${USB_PEIM_VERSION_FILE} ABSOLUTE)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${USB_PEIM_VERSION_FILE})
