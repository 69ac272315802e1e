# Cross-builds 32-bit Windows programs (x86) with Debian's mingw-w64
# toolchain: for 32-bit Windows, and they run on 64-bit Windows as well.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(toolchain_prefix i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
