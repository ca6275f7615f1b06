# The libFuzzer build: every library gets coverage hooks and the sanitizers, and only the
# fuzz targets link the fuzzer's own main (see CMakeLists.txt in this folder).
if(WIN32 OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "VELNARO_FUZZ needs Clang on Linux (libFuzzer)")
endif()

add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                    -fno-sanitize-recover=undefined)
add_link_options(-fsanitize=address,undefined)
# Clang 14 reports the unused result of a fold expression over "||" that picks a variant
# alternative; GCC does not, and the code means it.
add_compile_options(-Wno-error=unused-value)

# Clang before 16 cannot compile the standard library's <expected>; a small stand-in
# comes first on the include path for this build only.
if(CMAKE_CXX_COMPILER_VERSION VERSION_LESS 16)
  include_directories(BEFORE SYSTEM ${CMAKE_CURRENT_LIST_DIR}/compat)
endif()

# The corpora are replayed by ctest even when the unit tests are not built.
enable_testing()
