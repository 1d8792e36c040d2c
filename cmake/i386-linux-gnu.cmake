# Toolchain file for a 32-bit x86 build on an amd64 Debian machine with the
# multilib compilers (g++-multilib) and the :i386 development packages:
#
#   cmake -S . -B build/i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake
#
# The programs it makes are i386 ELF; where the kernel can't run them
# natively, scripts/test runs them under the user-mode emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)

# find_library and find_package look in /usr/lib/i386-linux-gnu, and
# pkg-config reads only the i386 modules (the amd64 ones would hand out
# /usr/lib/x86_64-linux-gnu).
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
