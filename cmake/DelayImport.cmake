# Delay-loaded system DLLs for mingw-w64.
#
# mingw has no /DELAYLOAD switch: instead we build a delay-import library with
# dlltool -y from a .def that lists every function the system import library
# exports, and link it ahead of the default import libraries together with
# libdelayimp. Every reference then resolves to a delay thunk, so the DLL is
# not loaded until the first call into it. Generating the .def from the import
# library keeps one mechanism for every function, with no list to maintain.
#
# With Visual Studio the linker does it: /DELAYLOAD and delayimp.lib.
#
# GNU ld (2.40) links the descriptors but leaves the PE's delay-import
# directory (data directory 13) empty, so PE readers (objdump -p, pefile,
# dumpbin, dependency viewers, scanners) do not see the delay-loaded DLLs.
# The loader does not need the entry (the thunks reach __delayLoadHelper2
# with their descriptor's address), the readers do. Two pieces fill it:
# - delay_import_end.c: a zero descriptor sorted right after dlltool's
#   descriptors (.text$2z after .text$2), which ends the table;
# - fill_delay_import_directory.py, run by the link rule after every link:
#   it finds the descriptors through the image's symbol table, checks that
#   they are one table ending with that zero entry, and writes its RVA and
#   size into the directory.
# That is the GNU ld build (the gcc toolchain). The clang toolchain links
# with lld 16, whose --delayload makes the thunks, the descriptors and the
# directory entry itself, but only for a DLL whose functions come from a
# short import library (llvm-dlltool -l): with Debian's GNU-format import
# libraries it silently binds the DLL at load time, and a dlltool -y library
# linked by lld puts its slots in read-only data. There the delay library is
# a short import library made from the same .def, --delayload names the DLL,
# and the post-link step is not needed. Both linkers take
# __delayLoadHelper2 from mingw's libdelayimp, so a notification hook the
# program defines (__pfnDliNotifyHook2) is called either way.
if(NOT MSVC AND NOT RVQ_TOOLCHAIN STREQUAL "clang")
  add_library(rvq_delay_import_end STATIC ${CMAKE_CURRENT_LIST_DIR}/delay_import_end.c)
  target_link_libraries(rvq_delay_import_end PRIVATE rvq_build_flags)
  # Debian's own interpreter (scripts/bootstrap installs it), not whatever
  # python3 comes first on the PATH.
  find_program(RVQ_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
  set(rvq_fill_delay_dir "\"${RVQ_PYTHON3}\" \"${CMAKE_CURRENT_LIST_DIR}/fill_delay_import_directory.py\" <TARGET>")
  foreach(lang C CXX)
    string(APPEND CMAKE_${lang}_LINK_EXECUTABLE " && ${rvq_fill_delay_dir}")
    string(APPEND CMAKE_${lang}_CREATE_SHARED_LIBRARY " && ${rvq_fill_delay_dir}")
  endforeach()
endif()

function(rvq_add_delay_import_library target dll_name import_lib_name)
  if(MSVC)
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${import_lib_name}.lib delayimp.lib rvq_delay_load_hook)
    target_link_options(${target} INTERFACE /DELAYLOAD:${dll_name} /INCLUDE:__pfnDliNotifyHook2)
    return()
  endif()
  set(lib "${CMAKE_FIND_ROOT_PATH}/lib/lib${import_lib_name}.a")
  if(NOT EXISTS "${lib}")
    message(FATAL_ERROR "Import library not found: ${lib}")
  endif()
  execute_process(COMMAND ${MINGW_NM} "${lib}"
                  OUTPUT_VARIABLE nm_out ERROR_QUIET RESULT_VARIABLE nm_rc)
  if(NOT nm_rc EQUAL 0)
    message(FATAL_ERROR "${MINGW_NM} failed on ${lib}")
  endif()
  string(REGEX MATCHALL "[0-9a-f]+ T [A-Za-z][A-Za-z0-9_]*" rows "${nm_out}")
  set(names "")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^[0-9a-f]+ T " "" name "${row}")
    if(NOT name MATCHES "^ord_")
      list(APPEND names "${name}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES names)
  list(SORT names)
  list(JOIN names "\n    " body)
  set(dir "${CMAKE_BINARY_DIR}/delayimp")
  file(MAKE_DIRECTORY "${dir}")
  set(def "${dir}/${import_lib_name}-delay.def")
  set(out "${dir}/lib${import_lib_name}-delay.a")
  file(WRITE "${def}" "LIBRARY ${dll_name}\nEXPORTS\n    ${body}\n")
  if(RVQ_TOOLCHAIN STREQUAL "clang")
    execute_process(COMMAND ${LLVM_DLLTOOL} -m i386:x86-64 -d "${import_lib_name}-delay.def" -l "lib${import_lib_name}-delay.a"
                    WORKING_DIRECTORY "${dir}" RESULT_VARIABLE dt_rc)
    if(NOT dt_rc EQUAL 0)
      message(FATAL_ERROR "llvm-dlltool failed to build ${out}")
    endif()
    add_library(${target} INTERFACE)
    # Ahead of the default import library, so that lld takes these members;
    # the hook as with GNU ld below.
    target_link_libraries(${target} INTERFACE "${out}" delayimp rvq_delay_load_hook)
    target_link_options(${target} INTERFACE "LINKER:--delayload=${dll_name}" "LINKER:-u,__pfnDliNotifyHook2")
    return()
  endif()
  # Relative names in the build folder: dlltool makes the descriptor's symbol
  # from the output name, and a build path there would differ per checkout.
  execute_process(COMMAND ${MINGW_DLLTOOL} -d "${import_lib_name}-delay.def" -y "lib${import_lib_name}-delay.a" -D "${dll_name}"
                  WORKING_DIRECTORY "${dir}" RESULT_VARIABLE dt_rc)
  if(NOT dt_rc EQUAL 0)
    message(FATAL_ERROR "dlltool failed to build ${out}")
  endif()
  add_library(${target} INTERFACE)
  # The delay library must come before the default import library, and
  # libdelayimp after it.
  target_link_libraries(${target} INTERFACE "${out}" delayimp rvq_delay_import_end rvq_delay_load_hook)
  # Pulls the ending zero descriptor and the delay helper's hook
  # (support/loader/delay_load_hook.cpp, which loads from the System folder
  # only) out of their archives into every image that has delay imports;
  # named undefined from the start, the hook is taken from our archive
  # before the runtime library's null default could be.
  target_link_options(${target} INTERFACE "LINKER:-u,__rvq_delay_import_end" "LINKER:-u,__pfnDliNotifyHook2")
endfunction()
