# Cross toolchain: 64-bit Windows through clang 16 and lld 16 (Debian 12's
# clang-16, lld-16, llvm-16), on Debian's mingw-w64 headers, CRT and GCC's
# libstdc++ (POSIX thread model), as the GCC toolchain uses them. The linker
# writes PDBs (cmake/ReleaseForm.cmake) and fills the delay-import directory
# itself (cmake/DelayImport.cmake).
#
# clang's MinGW driver looks for GCC's runtime under
# <sysroot>/lib/gcc/x86_64-w64-mingw32/<version> and for the target's headers
# and libraries under <sysroot>/x86_64-w64-mingw32; Debian names its GCC
# folder 12-posix, which the driver does not take for a version. The sysroot
# is therefore two links the configuration makes in the build folder. It is
# named relative to the build folder (every compile and link runs there), so
# no build path reaches the objects, the binaries or the PDBs. CMake reads
# this file again in each try_compile folder, which gets its own links.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(RVQ_TOOLCHAIN clang)
set(RVQ_LLVM_SUFFIX -16)

set(rvq_gcc_dir /usr/lib/gcc/${TOOLCHAIN_PREFIX}/12-posix)
if(NOT IS_DIRECTORY ${rvq_gcc_dir})
  message(FATAL_ERROR "${rvq_gcc_dir} is missing: install g++-mingw-w64-x86-64-posix (scripts/bootstrap).")
endif()
set(rvq_sysroot ${CMAKE_BINARY_DIR}/clang-sysroot)
file(MAKE_DIRECTORY ${rvq_sysroot}/lib/gcc/${TOOLCHAIN_PREFIX})
if(NOT EXISTS ${rvq_sysroot}/lib/gcc/${TOOLCHAIN_PREFIX}/12)
  file(CREATE_LINK ${rvq_gcc_dir} ${rvq_sysroot}/lib/gcc/${TOOLCHAIN_PREFIX}/12 SYMBOLIC)
endif()
if(NOT EXISTS ${rvq_sysroot}/${TOOLCHAIN_PREFIX})
  file(CREATE_LINK /usr/${TOOLCHAIN_PREFIX} ${rvq_sysroot}/${TOOLCHAIN_PREFIX} SYMBOLIC)
endif()

set(CMAKE_C_COMPILER   clang${RVQ_LLVM_SUFFIX})
set(CMAKE_CXX_COMPILER clang++${RVQ_LLVM_SUFFIX})
set(CMAKE_C_COMPILER_TARGET   ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_RC_COMPILER  ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_C_FLAGS_INIT   "--sysroot=clang-sysroot")
set(CMAKE_CXX_FLAGS_INIT "--sysroot=clang-sysroot")
# lld-16 by name: plain `lld` is Debian's lld 14.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld${RVQ_LLVM_SUFFIX}")
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
# llvm-dlltool for the short import libraries that lld's --delayload takes,
# llvm-pdbutil for the PDB checks.
find_program(LLVM_DLLTOOL  llvm-dlltool${RVQ_LLVM_SUFFIX} REQUIRED)
find_program(LLVM_PDBUTIL  llvm-pdbutil${RVQ_LLVM_SUFFIX} REQUIRED)
