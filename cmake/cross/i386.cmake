# Debian i386 (32-bit), cross-built on any Debian machine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(cross_triple i686-linux-gnu)
set(cross_qemu qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
