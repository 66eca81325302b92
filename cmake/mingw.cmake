# Cross-compiles for Windows with mingw-w64. KORVO_MINGW_TRIPLET picks the machine:
# i686-w64-mingw32 (the shipped 32-bit build, the default) or x86_64-w64-mingw32 (the kernel
# driver of the simulated adapter, and the 64-bit run under Wine).
set(KORVO_MINGW_TRIPLET i686-w64-mingw32 CACHE STRING "mingw-w64 target triplet")
# The test projects CMake compiles while it configures see the same machine.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVO_MINGW_TRIPLET)

set(CMAKE_SYSTEM_NAME Windows)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${KORVO_MINGW_TRIPLET})
# The posix thread model: the service provider stand-in, the tools and the test programs use
# std::thread and std::mutex, which the win32 model of GCC 12 lacks. The agent itself builds
# with the win32 model, whose runtime Windows 95 can load (cmake/windows9x_agent.cmake).
set(CMAKE_C_COMPILER ${KORVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVO_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KORVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
