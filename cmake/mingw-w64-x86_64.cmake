# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model,
# which GoogleTest needs). Programs are linked statically and run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
# Binutils' archiver spends seconds on each object full of Boost.Beast's
# templates (their COMDAT symbols); LLVM's makes the same archive at once.
find_program(QUORVELLA_LLVM_AR llvm-ar)
find_program(QUORVELLA_LLVM_RANLIB llvm-ranlib)
if(QUORVELLA_LLVM_AR AND QUORVELLA_LLVM_RANLIB)
  set(CMAKE_AR ${QUORVELLA_LLVM_AR})
  set(CMAKE_RANLIB ${QUORVELLA_LLVM_RANLIB})
endif()
