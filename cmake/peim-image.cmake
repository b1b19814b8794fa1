# add_peim_image(NAME ENTRY <entry> SOURCES <files...> [INCLUDES <dirs...>] [KEEP <symbols...>]
#                [COMPACT])
# Links a PEI module image NAME.efi and its map NAME.map into USB_PEIM_OUTPUT_DIR.
# KEEP names functions that must stay as callable, separately linked symbols.
# COMPACT: the image is not delivered as linked. It and its map stay in this
# (the cross build's) binary directory, and the host build rewrites them with
# pe-compact into the delivered NAME.efi, NAME.te and NAME.map (see the root
# CMakeLists.txt): the linker cannot drop its DOS stub, its 16 data
# directories or the .reloc section header.
function(add_peim_image NAME)
  cmake_parse_arguments(ARG "COMPACT" "ENTRY" "SOURCES;INCLUDES;KEEP" ${ARGN})
  add_executable(${NAME} ${ARG_SOURCES})
  target_include_directories(${NAME} PRIVATE ${ARG_INCLUDES})
  target_compile_features(${NAME} PRIVATE cxx_std_17)
  set(keep "")
  foreach(sym IN LISTS ARG_KEEP)
    string(APPEND keep " /include:_${sym}")
  endforeach()
  if(ARG_COMPACT)
    set(dir ${CMAKE_BINARY_DIR})
  else()
    set(dir ${USB_PEIM_OUTPUT_DIR})
  endif()
  set_target_properties(${NAME} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${dir}
    SUFFIX .efi
    LINK_FLAGS "/entry:${ARG_ENTRY} /map:${dir}/${NAME}.map${keep}")
endfunction()
