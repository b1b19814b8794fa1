# add_peim_image(NAME ENTRY <entry> SOURCES <files...> [INCLUDES <dirs...>] [KEEP <symbols...>])
# Links a PEI module image NAME.efi and its map NAME.map into USB_PEIM_OUTPUT_DIR.
# KEEP names functions that must stay as callable, separately linked symbols.
function(add_peim_image NAME)
  cmake_parse_arguments(ARG "" "ENTRY" "SOURCES;INCLUDES;KEEP" ${ARGN})
  add_executable(${NAME} ${ARG_SOURCES})
  target_include_directories(${NAME} PRIVATE ${ARG_INCLUDES})
  target_compile_features(${NAME} PRIVATE cxx_std_17)
  set(keep "")
  foreach(sym IN LISTS ARG_KEEP)
    string(APPEND keep " /include:_${sym}")
  endforeach()
  set_target_properties(${NAME} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${USB_PEIM_OUTPUT_DIR}
    SUFFIX .efi
    LINK_FLAGS "/entry:${ARG_ENTRY} /map:${USB_PEIM_OUTPUT_DIR}/${NAME}.map${keep}")
endfunction()
