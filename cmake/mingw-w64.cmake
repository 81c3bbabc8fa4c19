# Cross-compiles for 64-bit Windows with MinGW-w64. The posix-threads flavour of the compiler
# is required: the win32 flavour has no std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZENTRAD_MINGW_HOST x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${ZENTRAD_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZENTRAD_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${ZENTRAD_MINGW_HOST}-windres)
set(CMAKE_MC_COMPILER ${ZENTRAD_MINGW_HOST}-windmc)

# Libraries cross-compiled by scripts/build-windows-deps.sh live outside the compiler's root
# and are named by ZENTRAD_DEPENDENCY_ROOTS.
set(CMAKE_FIND_ROOT_PATH /usr/${ZENTRAD_MINGW_HOST} ${ZENTRAD_DEPENDENCY_ROOTS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable: the compiler's own runtime (libstdc++, libgcc, winpthread)
# is linked in, so the program needs no DLL beyond those Windows itself provides.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Hardening: stack canaries in every function with arrays or address-taken locals, and the
# checked variants of the C library's copying calls. Both need MinGW's libssp, which -static
# links into the executable (a libssp-0.dll import would fail on every Windows).
set(CMAKE_C_FLAGS_INIT "-fstack-protector-strong -D_FORTIFY_SOURCE=2")
set(CMAKE_CXX_FLAGS_INIT "-fstack-protector-strong -D_FORTIFY_SOURCE=2")
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -fstack-protector-strong")
