set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(VORNET_ZIG_TARGET aarch64-windows-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/zig-windows.cmake)
