# The pure code: parsers and codecs over bytes and text, with no
# <windows.h> and no system call. One list and one library, built by both
# builds: by the Windows build, where the support library links it and the
# deliverables take what they use, and by the native fuzz build, with
# coverage, where every fuzz target links it. A source that joins the list
# must build on both (wchar_t is 32 bits wide natively).
set(RVQ_PURE_SOURCES
  support/codec/md5.cpp
  support/codec/value_cipher.cpp
  support/codec/record_codec.cpp
  support/codec/ini_value_codec.cpp
  support/ini/ini_text.cpp
  support/osinfo/version_numbers.cpp
  logging/etw_context_block.cpp
  logging/etw_utf8.cpp
  upgrade/upgrade_check.cpp
)

# rvq_add_pure_library(NAME): the static library of the pure sources. Its
# include folders are private: each caller already sees the headers of its
# own area (codec/..., ini/... through the support library, the logging and
# upgrade headers in their folders).
function(rvq_add_pure_library name)
  list(TRANSFORM RVQ_PURE_SOURCES PREPEND "${PROJECT_SOURCE_DIR}/" OUTPUT_VARIABLE sources)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PRIVATE
    ${PROJECT_SOURCE_DIR}/support ${PROJECT_SOURCE_DIR}/logging ${PROJECT_SOURCE_DIR}/upgrade)
endfunction()
