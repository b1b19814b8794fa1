# Cross toolchain for the IA-32 PEI images: clang emitting COFF for i686,
# linked by lld-link into a PE32 boot-service driver with no runtime library.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(USB_PEIM_IA32 ON)

find_program(IA32_CLANGXX NAMES clang++-14 clang++ REQUIRED)
find_program(IA32_LLD_LINK NAMES lld-link-14 lld-link REQUIRED)
set(CMAKE_CXX_COMPILER ${IA32_CLANGXX})
set(CMAKE_LINKER ${IA32_LLD_LINK})
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# -Oz with link-time optimisation: the whole module is optimised as one unit,
# so single-use helpers fold into their caller. No builtins, so no memcpy or
# memset is ever synthesised; no stack probes (no __chkstk); no SSE.
set(CMAKE_CXX_FLAGS_INIT
    "--target=i686-unknown-windows-msvc -Oz -flto -ffreestanding -fno-builtin -fno-exceptions -fno-rtti -fno-threadsafe-statics \
-fno-asynchronous-unwind-tables -fno-stack-protector -fno-strict-aliasing -mno-sse \
-mno-stack-arg-probe -ffunction-sections -fdata-sections -Wall -Wextra -Werror")
# The build type adds nothing: the flags above are the whole story.
set(CMAKE_CXX_FLAGS_MINSIZEREL "" CACHE STRING "" FORCE)

# Everything but code, read-only data and relocations is forbidden; read-only
# data is folded into .text. Section file offsets equal their addresses
# (file and section alignment 4: every section and the image itself stay
# 4-byte aligned, which the 32-bit data and the relocation blocks need, and
# no more flash goes to padding), so the image runs in place.
#
# The (empty) .data section, with the .bss that lld puts into it, is folded
# into .text as well: lld-link sizes the header area for every output section
# it starts with, so an empty .data alone costs 40 bytes of headers.
# Nothing may actually land there: pe-check fails the build on any .data or
# .bss contribution in the map.
set(IA32_PEIM_LINK_FLAGS
    /subsystem:efi_boot_service_driver /nodefaultlib /driver /align:4 /filealign:4
    /base:0 /fixed:no /dynamicbase:no /opt:ref /opt:icf /timestamp:0 /merge:.rdata=.text
    /merge:.data=.text /debug:none /incremental:no)
list(JOIN IA32_PEIM_LINK_FLAGS " " IA32_PEIM_LINK_FLAGS_STRING)
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_LINKER> ${IA32_PEIM_LINK_FLAGS_STRING} <LINK_FLAGS> <OBJECTS> /out:<TARGET>")
set(CMAKE_EXECUTABLE_SUFFIX .efi)
set(CMAKE_CXX_OUTPUT_EXTENSION .obj)
