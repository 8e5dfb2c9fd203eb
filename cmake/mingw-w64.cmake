# Cross build for 64-bit Windows with Debian's mingw-w64 and Wine as the
# emulator, so that ctest runs the .exe tests under Wine.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# With a Windows Qt 5 kit (scripts/windows-qt provides one) the window is
# built too:
#   -DQX_WINDOWS_QT=$(scripts/windows-qt)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QX_MINGW_PREFIX x86_64-w64-mingw32)
# The -posix flavour: GoogleTest and the core use std::mutex and std::thread.
set(CMAKE_C_COMPILER ${QX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QX_MINGW_PREFIX}-windres)

set(QX_WINDOWS_QT "$ENV{QX_WINDOWS_QT}" CACHE PATH
    "Root of a Qt 5 kit built for ${QX_MINGW_PREFIX} (holds lib/cmake/Qt5); empty: no window")
set(CMAKE_FIND_ROOT_PATH /usr/${QX_MINGW_PREFIX})
if(QX_WINDOWS_QT)
  if(NOT EXISTS "${QX_WINDOWS_QT}/lib/cmake/Qt5/Qt5Config.cmake")
    message(FATAL_ERROR "QX_WINDOWS_QT=${QX_WINDOWS_QT} holds no lib/cmake/Qt5 "
                        "(scripts/windows-qt --help says how to get a kit)")
  endif()
  # The kit's moc, uic and rcc run on the build machine; find_program is not
  # re-rooted (mode NEVER below), and Qt's CMake files name them directly.
  list(APPEND CMAKE_FIND_ROOT_PATH ${QX_WINDOWS_QT})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained executables: Wine (and a user's machine) need no mingw DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# No wine64 on PATH in Debian; the loader lives here.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
