# The shipped form of every binary, for mingw-w64 (included by the top-level
# CMakeLists.txt when RVQ_RELEASE_FORM is on, after cmake/BuildFlags.cmake:
# its flags join rvq_build_flags).
#
# Reproducible: two builds of one commit in different folders give the same
# bytes. The compiler records no build path (-ffile-prefix-map: sources
# appear as "./<path>" in the debug information and in any __FILE__), the
# linker writes no time into the PE and COFF headers (--no-insert-timestamp;
# the export directory's stamp is then zero too), and the file names inside
# the delay-import libraries are relative (cmake/DelayImport.cmake). Nothing
# else reads the clock: the package step takes its times from the commit
# (SOURCE_DATE_EPOCH).
#
# Separate debug information: compiled with -g, then after the link the
# DWARF sections go to <binary>.debug (objcopy --only-keep-debug), the
# binary loses its symbols and debug sections (--strip-all) and gets a
# .gnu_debuglink section naming that file with its CRC, which gdb follows
# (in the binary's folder or its .debug/ sub-folder). objcopy rewrites the
# PE header's time stamp with the current time unless SOURCE_DATE_EPOCH is
# set: 0 there, as the linker leaves it. The link rule runs all this
# after the delay-import directory is filled: that step reads the symbol
# table the strip removes.
#
# With the clang toolchain (the shipped form) the debug information is
# Windows-native instead: CodeView, linked by lld into <name>.pdb beside the
# binary (cmake/BuildFlags.cmake), the RSDS record naming <name>.pdb only.
# Reproducible as well: no command line in the debug information
# (-gno-codeview-command-line), the same prefix maps, and every relative
# path the PDB records made absolute against one fixed root
# (-pdbsourcepath) rather than the build folder, .def files named inside
# the build folder (cmake/lld_link.py, as in every clang build), and -Brepro: lld derives the time stamp and the PDB's
# GUID from the contents. The mingw-w64 CRT objects bring
# DWARF sections that lld keeps beside the PDB: objcopy --strip-debug drops
# them after the link (the RSDS record stays valid), keeping the time stamp
# lld wrote (cmake/strip_dwarf.py).
find_program(MINGW_OBJCOPY ${TOOLCHAIN_PREFIX}-objcopy REQUIRED)
find_program(RVQ_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)

target_compile_options(rvq_build_flags INTERFACE
  -g "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=." "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")

if(RVQ_TOOLCHAIN STREQUAL "clang")
  target_compile_options(rvq_build_flags INTERFACE -gno-codeview-command-line)
  # -Brepro: the time stamp and the PDB's GUID are hashes of the output,
  # not the clock (and not zero: the time stamp and the image size are
  # the key a debugger asks a symbol store for the binary with).
  target_link_options(rvq_build_flags INTERFACE "LINKER:--Xlink=-Brepro" "LINKER:--Xlink=-pdbsourcepath:C:\\rvq")
  set(rvq_strip_dwarf
    "\"${RVQ_PYTHON3}\" \"${CMAKE_CURRENT_LIST_DIR}/strip_dwarf.py\" \"${MINGW_OBJCOPY}\" <TARGET>")
  foreach(lang C CXX)
    string(APPEND CMAKE_${lang}_LINK_EXECUTABLE " && ${rvq_strip_dwarf}")
    string(APPEND CMAKE_${lang}_CREATE_SHARED_LIBRARY " && ${rvq_strip_dwarf}")
  endforeach()
else()
  target_link_options(rvq_build_flags INTERFACE LINKER:--no-insert-timestamp)
  set(rvq_split_debug
    "env SOURCE_DATE_EPOCH=0 \"${MINGW_OBJCOPY}\" --only-keep-debug <TARGET> <TARGET>.debug"
    "env SOURCE_DATE_EPOCH=0 \"${MINGW_OBJCOPY}\" --strip-all --add-gnu-debuglink=<TARGET>.debug <TARGET>")
  list(JOIN rvq_split_debug " && " rvq_split_debug)
  foreach(lang C CXX)
    string(APPEND CMAKE_${lang}_LINK_EXECUTABLE " && ${rvq_split_debug}")
    string(APPEND CMAKE_${lang}_CREATE_SHARED_LIBRARY " && ${rvq_split_debug}")
  endforeach()
endif()

# File alignment of the PE sections: GNU ld's default is 512 bytes. With
# 4096 (the section alignment) each section's file offset equals its RVA
# and Wine maps the image instead of reading it section by section, which
# decides the DLL load time under Wine (docs/performance.md). Costs up to
# 3.5 KiB of padding per section.
set(RVQ_FILE_ALIGNMENT "" CACHE STRING "PE file alignment of every binary (empty: the linker's default, 512)")
if(RVQ_FILE_ALIGNMENT)
  target_link_options(rvq_build_flags INTERFACE LINKER:--file-alignment,${RVQ_FILE_ALIGNMENT})
endif()
