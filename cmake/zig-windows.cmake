# Shared by both Windows targets: Zig 0.11 from the npm package compiles C and
# C++ for the target that the including file names, with its own MinGW
# headers and libc++, so the two builds differ only in their instruction set.
set(CMAKE_SYSTEM_NAME Windows)
get_filename_component(VORNET_ROOT ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
set(CMAKE_C_COMPILER ${VORNET_ROOT}/scripts/zig-cc)
set(CMAKE_CXX_COMPILER ${VORNET_ROOT}/scripts/zig-c++)
set(CMAKE_C_FLAGS_INIT "-target ${VORNET_ZIG_TARGET}")
set(CMAKE_CXX_FLAGS_INIT "-target ${VORNET_ZIG_TARGET}")
set(CMAKE_AR ${VORNET_ROOT}/scripts/zig-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VORNET_ROOT}/scripts/zig-ranlib CACHE FILEPATH "")
