# Turns a file into a C++ header holding its bytes: cmake -DINPUT=... -DOUTPUT=...
# -DSYMBOL=... -P embed_file.cmake. Used to build the default platform
# description into peim-sim, so that it stays data in the source tree.
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n"
       bytes "${bytes}")
get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
     "// Generated from ${name} by embed_file.cmake; do not edit.\n"
     "#include <cstdint>\n"
     "static const uint8_t ${SYMBOL}[] = {\n${bytes}\n};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
