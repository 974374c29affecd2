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
function(rvq_add_delay_import_library target dll_name import_lib_name)
  if(MSVC)
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${import_lib_name}.lib delayimp.lib)
    target_link_options(${target} INTERFACE /DELAYLOAD:${dll_name})
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
  execute_process(COMMAND ${MINGW_DLLTOOL} -d "${def}" -y "${out}" -D "${dll_name}"
                  RESULT_VARIABLE dt_rc)
  if(NOT dt_rc EQUAL 0)
    message(FATAL_ERROR "dlltool failed to build ${out}")
  endif()
  add_library(${target} INTERFACE)
  # The delay library must come before the default import library, and
  # libdelayimp after it.
  target_link_libraries(${target} INTERFACE "${out}" delayimp)
endfunction()
