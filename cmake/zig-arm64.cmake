# Zig 0.11 from the npm package, through wrappers that fix the target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
get_filename_component(VORNET_ROOT ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
set(CMAKE_C_COMPILER ${VORNET_ROOT}/scripts/zig-cc)
set(CMAKE_CXX_COMPILER ${VORNET_ROOT}/scripts/zig-c++)
set(CMAKE_AR ${VORNET_ROOT}/scripts/zig-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VORNET_ROOT}/scripts/zig-ranlib CACHE FILEPATH "")
