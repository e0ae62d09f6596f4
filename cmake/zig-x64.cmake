set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VORNET_ZIG_TARGET x86_64-windows-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/zig-windows.cmake)
