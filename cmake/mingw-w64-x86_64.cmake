# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix).
# The posix flavour is the one whose C++ runtime has std::thread, which Qt and the
# program need. Use it with the Qt kit by chainloading:
#   <kit>/bin/qt-cmake -DQT_CHAINLOAD_TOOLCHAIN_FILE=<repo>/cmake/mingw-w64-x86_64.cmake ...
# or alone (-DCMAKE_TOOLCHAIN_FILE=...) for programs that need no Qt.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Libraries, headers and packages come from the MinGW sysroot (and the roots a Qt kit
# prepends); programs such as moc, rcc and lrelease run on the host.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
