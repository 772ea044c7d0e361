# Fuzzing of the polygon line parser and of the journal decoder. The
# corpora are replayed by the core tests on every build; with clang++ at
# hand libFuzzer binaries are built too and run briefly over them.
find_program(CLANGXX clang++)
# libFuzzer's runtime comes in a package of its own; without it clang++
# cannot link a fuzzer, and the corpus replay of the core tests still runs.
if(CLANGXX AND NOT DEFINED KAVLIN_CLANG_FUZZER_WORKS)
  set(_probe_dir ${CMAKE_CURRENT_BINARY_DIR}/fuzz_probe)
  file(MAKE_DIRECTORY ${_probe_dir})
  file(WRITE ${_probe_dir}/probe.cpp
    "#include <cstddef>\n#include <cstdint>\n"
    "extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t*, std::size_t) { return 0; }\n")
  execute_process(
    COMMAND ${CLANGXX} -fsanitize=fuzzer,address,undefined ${_probe_dir}/probe.cpp -o ${_probe_dir}/probe
    RESULT_VARIABLE _probe_result OUTPUT_QUIET ERROR_QUIET)
  if(_probe_result EQUAL 0)
    set(KAVLIN_CLANG_FUZZER_WORKS ON CACHE INTERNAL "clang++ links libFuzzer targets")
  else()
    set(KAVLIN_CLANG_FUZZER_WORKS OFF CACHE INTERNAL "clang++ links libFuzzer targets")
    message(STATUS "clang++ cannot link a libFuzzer target: fuzz_read_rec is not built")
  endif()
endif()
# kavlin_fuzz_target(NAME SOURCES files... HEADERS files... LIBRARIES libs...
#                    CORPUS folder ARGS libFuzzer options...): builds the
# libFuzzer binary NAME and a short test run over the corpus (the corpus
# plus a bounded number of mutations; new inputs go to a scratch folder,
# never into the source tree).
function(kavlin_fuzz_target NAME)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;HEADERS;LIBRARIES;ARGS" ${ARGN})
  set(binary ${CMAKE_CURRENT_BINARY_DIR}/fuzz/${NAME})
  set(scratch ${CMAKE_CURRENT_BINARY_DIR}/${NAME}_scratch)
  add_custom_command(
    OUTPUT ${binary}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/fuzz
    COMMAND ${CLANGXX} -std=c++20 -I${PROJECT_SOURCE_DIR} -O1 -g -ffp-contract=off
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
            ${F_SOURCES} ${F_LIBRARIES} -o ${binary}
    DEPENDS ${F_SOURCES} ${F_HEADERS}
    COMMENT "Building the libFuzzer target ${NAME}"
    VERBATIM)
  add_custom_target(${NAME} ALL DEPENDS ${binary})
  add_test(NAME ${NAME}_scratch COMMAND ${CMAKE_COMMAND} -E make_directory ${scratch})
  set_tests_properties(${NAME}_scratch PROPERTIES FIXTURES_SETUP ${NAME}_scratch)
  add_test(NAME ${NAME} COMMAND ${binary} -max_total_time=10 -runs=200000 ${F_ARGS} ${scratch} ${F_CORPUS})
  set_tests_properties(${NAME} PROPERTIES FIXTURES_REQUIRED ${NAME}_scratch TIMEOUT 60)
endfunction()

if(CLANGXX AND KAVLIN_CLANG_FUZZER_WORKS)
  # The polygon line parser.
  kavlin_fuzz_target(fuzz_read_rec
    SOURCES ${PROJECT_SOURCE_DIR}/tests/fuzz/fuzz_read_rec.cpp
            ${PROJECT_SOURCE_DIR}/polygon/polygon_reader.cpp
            ${PROJECT_SOURCE_DIR}/base/number_text.cpp
            ${PROJECT_SOURCE_DIR}/base/fixed_text.cpp
    HEADERS ${PROJECT_SOURCE_DIR}/polygon/polygon_reader.h
            ${PROJECT_SOURCE_DIR}/base/number_text.h
            ${PROJECT_SOURCE_DIR}/base/fixed_text.h
    CORPUS ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus
    ARGS -max_len=120)

  # The journal decoder: any bytes as a journal or an undo record, with a
  # memory limit, so that a length or count read from the file that makes
  # it take memory beyond what it validated fails the run.
  find_package(ZLIB REQUIRED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(XXHASH REQUIRED libxxhash)
  kavlin_fuzz_target(fuzz_journal
    SOURCES ${PROJECT_SOURCE_DIR}/tests/fuzz/fuzz_journal.cpp
            ${PROJECT_SOURCE_DIR}/tiles/journal_format.cpp
            ${PROJECT_SOURCE_DIR}/tiles/journal_appends.cpp
            ${PROJECT_SOURCE_DIR}/tiles/tile_files.cpp
            ${PROJECT_SOURCE_DIR}/base/kernels.cpp
    HEADERS ${PROJECT_SOURCE_DIR}/tiles/journal_format.h
            ${PROJECT_SOURCE_DIR}/tiles/tile_files.h
            ${PROJECT_SOURCE_DIR}/base/kernels.h
    LIBRARIES ${ZLIB_LIBRARIES} ${XXHASH_LINK_LIBRARIES}
    CORPUS ${PROJECT_SOURCE_DIR}/tests/fuzz/journal_corpus
    ARGS -max_len=4096 -rss_limit_mb=512 -malloc_limit_mb=64)
endif()
