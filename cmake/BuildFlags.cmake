# The project's compile and link flags, as the usage requirements of one
# interface target. trevalk links it PUBLIC, so everything that links the
# support library has them; a target that links none of our libraries (a
# stand-in, a probe, a floor of the benchmark) links rvq_build_flags itself.
# Nothing is set per directory: third-party code added with add_subdirectory
# (GoogleTest) takes them only where we say so, and the check at the end of
# the top-level CMakeLists.txt names any target of ours that has none.
add_library(rvq_build_flags INTERFACE)

# UNICODE Win32 API; the Microsoft printf conventions for the CRT's wide
# formatters ("%s" takes a UTF-16 string in a wide format). libstdc++ turns
# __USE_MINGW_ANSI_STDIO back on in C++ units, so product code formats only
# with the underscore family (_vsnwprintf, _vscwprintf), which always binds
# to the system CRT.
target_compile_definitions(rvq_build_flags INTERFACE
  UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 __USE_MINGW_ANSI_STDIO=0)

if(MSVC)
  target_compile_options(rvq_build_flags INTERFACE /W4 /permissive- /utf-8 /Zc:__cplusplus)
  # Each binary carries its own manifest as a resource (see its .rc).
  target_link_options(rvq_build_flags INTERFACE /MANIFEST:NO)
else()
  # Warnings are errors under both compilers: each finds what the other
  # does not, and a warning nobody reads is a fault nobody fixes.
  target_compile_options(rvq_build_flags INTERFACE -Wall -Wextra -Werror)
  # Static C and C++ runtime: shipped binaries import only system DLLs.
  # (-static-libstdc++ on C++ links only: clang warns about it on a C link.)
  target_link_options(rvq_build_flags INTERFACE -static -static-libgcc $<$<LINK_LANGUAGE:CXX>:-static-libstdc++>)
  # A stack canary in every function with a local array or a local whose
  # address is taken (the /GS rule of MSVC, which is on by default there).
  # On the link line too: both drivers then link libssp (statically), which
  # holds the guard and the failure handler. scripts/bench measures the cost
  # against a build with RVQ_STACK_PROTECTOR=OFF.
  option(RVQ_STACK_PROTECTOR "Compile with -fstack-protector-strong" ON)
  if(RVQ_STACK_PROTECTOR)
    target_compile_options(rvq_build_flags INTERFACE -fstack-protector-strong)
    target_link_options(rvq_build_flags INTERFACE -fstack-protector-strong)
    # The guard and the failure handler come from cmake/stack_guard.c, ahead
    # of libssp, whose guard set-up maps advapi32 before WinMain. It links
    # no flags target (it would link itself): the definitions it needs are
    # its own, and it is exempt from the check below.
    add_library(rvq_stack_guard STATIC ${CMAKE_CURRENT_LIST_DIR}/stack_guard.c)
    target_compile_definitions(rvq_stack_guard PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
    target_compile_options(rvq_stack_guard PRIVATE -Wall -Wextra -Werror -fno-stack-protector)
    target_link_libraries(rvq_build_flags INTERFACE rvq_stack_guard)
  endif()
  if(RVQ_TOOLCHAIN STREQUAL "clang")
    # clang's driver puts winpthreads before the static libstdc++, which
    # needs it: name both once more at the end of every C++ link.
    string(APPEND CMAKE_CXX_STANDARD_LIBRARIES " -lstdc++ -lpthread")
    # $<LINK_LIBRARY:WHOLE_ARCHIVE,...>: CMake's GNU form wraps the archive
    # in --push-state/--pop-state, which lld's MinGW driver does not take.
    foreach(lang C CXX)
      set(CMAKE_${lang}_LINK_LIBRARY_USING_WHOLE_ARCHIVE
          "LINKER:--whole-archive" "<LINK_ITEM>" "LINKER:--no-whole-archive")
      set(CMAKE_${lang}_LINK_LIBRARY_USING_WHOLE_ARCHIVE_SUPPORTED TRUE)
    endforeach()
    # Windows symbols: CodeView debug information, and lld writes a PDB
    # beside each binary (<binary without extension>.pdb) whose RSDS record
    # names the file alone, without the build path (%_PDB%). Without -g
    # (a Release build outside the release form) the PDB has the public
    # symbols only.
    target_compile_options(rvq_build_flags INTERFACE -gcodeview)
    target_link_options(rvq_build_flags INTERFACE "LINKER:--pdb=" "LINKER:--Xlink=-pdbaltpath:%_PDB%")
    # Every link through cmake/lld_link.py: the export directory names a DLL
    # as its .def does, and .def files reach lld's recorded command line by
    # a path inside the build folder.
    find_program(RVQ_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
    foreach(lang C CXX)
      set(CMAKE_${lang}_LINKER_LAUNCHER "${RVQ_PYTHON3}" "${CMAKE_CURRENT_LIST_DIR}/lld_link.py")
    endforeach()
    # Unwind data of libstdc++'s inline and template functions: Debian's
    # libstdc++.a has lost the section symbols of their COMDAT .pdata$ and
    # .xdata$ sections, through which lld pairs them with their functions;
    # it drops them otherwise, and an exception thrown through such a frame
    # (std::string's _M_create, _M_replace, ...) ends in std::terminate or
    # loses callee-saved registers. The links take a copy with the symbols
    # restored (cmake/seh_symbols_archive.py), from a folder named relative
    # to the build folder (lld records its command line in the PDB); the
    # driver's own -L paths come after it, so both -lstdc++ of a C++ link
    # (the driver's and CMAKE_CXX_STANDARD_LIBRARIES') take the copy. The
    # copy and every other runtime archive of the link are then checked:
    # the configuration fails if any still has such a section.
    find_program(RVQ_MINGW_AR ${TOOLCHAIN_PREFIX}-ar REQUIRED)
    set(rvq_gcc_lib /usr/lib/gcc/${TOOLCHAIN_PREFIX}/12-posix)
    set(rvq_mingw_lib /usr/${TOOLCHAIN_PREFIX}/lib)
    set(rvq_runtime_archives
      ${rvq_gcc_lib}/libgcc.a ${rvq_gcc_lib}/libgcc_eh.a ${rvq_gcc_lib}/libssp.a
      ${rvq_mingw_lib}/libpthread.a ${rvq_mingw_lib}/libmingw32.a ${rvq_mingw_lib}/libmingwex.a
      ${rvq_mingw_lib}/libmsvcrt.a ${rvq_mingw_lib}/libmoldname.a)
    set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
      ${rvq_gcc_lib}/libstdc++.a ${rvq_runtime_archives} ${CMAKE_CURRENT_LIST_DIR}/seh_symbols_archive.py)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/seh-libstdc++)
    execute_process(
      COMMAND ${RVQ_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/seh_symbols_archive.py
              ${RVQ_MINGW_AR} ${rvq_gcc_lib}/libstdc++.a ${CMAKE_BINARY_DIR}/seh-libstdc++/libstdc++.a
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    execute_process(
      COMMAND ${RVQ_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/seh_symbols_archive.py --check
              ${CMAKE_BINARY_DIR}/seh-libstdc++/libstdc++.a ${rvq_runtime_archives}
      COMMAND_ERROR_IS_FATAL ANY)
    target_link_options(rvq_build_flags INTERFACE -Lseh-libstdc++)
  endif()
endif()

# True in `out` when `target` reaches rvq_build_flags through what it links.
function(rvq_target_has_build_flags target out)
  set(${out} FALSE PARENT_SCOPE)
  set(pending ${target})
  set(seen "")
  list(LENGTH pending left)
  while(left GREATER 0)
    list(POP_FRONT pending current)
    list(LENGTH pending left)
    if(current STREQUAL "rvq_build_flags")
      set(${out} TRUE PARENT_SCOPE)
      return()
    endif()
    if(current IN_LIST seen OR NOT TARGET ${current})
      continue()
    endif()
    list(APPEND seen ${current})
    get_target_property(direct ${current} LINK_LIBRARIES)
    get_target_property(usage ${current} INTERFACE_LINK_LIBRARIES)
    foreach(item IN LISTS direct usage)
      if(NOT item)  # an unset property reads as <name>-NOTFOUND
        continue()
      endif()
      # $<LINK_ONLY:x> and $<LINK_LIBRARY:FEATURE,x> name x.
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" item "${item}")
      string(REGEX REPLACE "^\\$<LINK_LIBRARY:[A-Z_]+,(.*)>$" "\\1" item "${item}")
      list(APPEND pending "${item}")
    endforeach()
    list(LENGTH pending left)
  endwhile()
endfunction()

# Fails the configuration when a target defined in `folder` or below it
# builds without the project's flags.
function(rvq_check_build_flags folder)
  get_property(targets DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$"
       AND NOT target STREQUAL "rvq_stack_guard")
      rvq_target_has_build_flags(${target} has)
      if(NOT has)
        message(FATAL_ERROR "${target} (${folder}) links neither rvq_build_flags nor a library that has them.")
      endif()
    endif()
  endforeach()
  get_property(children DIRECTORY ${folder} PROPERTY SUBDIRECTORIES)
  foreach(child IN LISTS children)
    rvq_check_build_flags(${child})
  endforeach()
endfunction()
