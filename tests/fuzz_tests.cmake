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
if(CLANGXX AND KAVLIN_CLANG_FUZZER_WORKS)
  set(KAVLIN_FUZZ_SOURCES
    ${PROJECT_SOURCE_DIR}/tests/fuzz/fuzz_read_rec.cpp
    ${PROJECT_SOURCE_DIR}/polygon/polygon_reader.cpp
    ${PROJECT_SOURCE_DIR}/ui/number_text.cpp
    ${PROJECT_SOURCE_DIR}/ui/fixed_text.cpp
  )
  set(KAVLIN_FUZZ_BINARY ${CMAKE_CURRENT_BINARY_DIR}/fuzz/fuzz_read_rec)
  add_custom_command(
    OUTPUT ${KAVLIN_FUZZ_BINARY}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/fuzz
    COMMAND ${CLANGXX} -std=c++20 -I${PROJECT_SOURCE_DIR} -O1 -g -ffp-contract=off
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
            ${KAVLIN_FUZZ_SOURCES} -o ${KAVLIN_FUZZ_BINARY}
    DEPENDS ${KAVLIN_FUZZ_SOURCES}
      ${PROJECT_SOURCE_DIR}/polygon/polygon_reader.h
      ${PROJECT_SOURCE_DIR}/ui/number_text.h
      ${PROJECT_SOURCE_DIR}/ui/fixed_text.h
    COMMENT "Building the libFuzzer target fuzz_read_rec"
    VERBATIM)
  add_custom_target(fuzz_read_rec ALL DEPENDS ${KAVLIN_FUZZ_BINARY})
  # Short run: the corpus plus a bounded number of mutations. New inputs go
  # to a scratch folder, never into the source tree.
  add_test(NAME fuzz_read_rec_scratch
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/fuzz_scratch)
  set_tests_properties(fuzz_read_rec_scratch PROPERTIES FIXTURES_SETUP fuzz_scratch)
  add_test(NAME fuzz_read_rec
    COMMAND ${KAVLIN_FUZZ_BINARY} -max_total_time=10 -runs=200000 -max_len=120
            ${CMAKE_CURRENT_BINARY_DIR}/fuzz_scratch ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus)
  set_tests_properties(fuzz_read_rec PROPERTIES FIXTURES_REQUIRED fuzz_scratch TIMEOUT 60)
endif()

# The journal decoder: any bytes as a journal or an undo record, with a
# memory limit, so that a length or count read from the file that makes it
# take memory beyond what it validated fails the run.
if(CLANGXX AND KAVLIN_CLANG_FUZZER_WORKS)
  find_package(ZLIB REQUIRED)
  set(KAVLIN_FUZZ_JOURNAL_SOURCES
    ${PROJECT_SOURCE_DIR}/tests/fuzz/fuzz_journal.cpp
    ${PROJECT_SOURCE_DIR}/tiles/journal.cpp
    ${PROJECT_SOURCE_DIR}/tiles/tile_files.cpp
  )
  set(KAVLIN_FUZZ_JOURNAL_BINARY ${CMAKE_CURRENT_BINARY_DIR}/fuzz/fuzz_journal)
  add_custom_command(
    OUTPUT ${KAVLIN_FUZZ_JOURNAL_BINARY}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/fuzz
    COMMAND ${CLANGXX} -std=c++20 -I${PROJECT_SOURCE_DIR} -O1 -g -ffp-contract=off
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
            ${KAVLIN_FUZZ_JOURNAL_SOURCES} ${ZLIB_LIBRARIES} -o ${KAVLIN_FUZZ_JOURNAL_BINARY}
    DEPENDS ${KAVLIN_FUZZ_JOURNAL_SOURCES}
      ${PROJECT_SOURCE_DIR}/tiles/journal.h
      ${PROJECT_SOURCE_DIR}/tiles/tile_files.h
    COMMENT "Building the libFuzzer target fuzz_journal"
    VERBATIM)
  add_custom_target(fuzz_journal ALL DEPENDS ${KAVLIN_FUZZ_JOURNAL_BINARY})
  add_test(NAME fuzz_journal_scratch
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/fuzz_journal_scratch)
  set_tests_properties(fuzz_journal_scratch PROPERTIES FIXTURES_SETUP fuzz_journal_scratch)
  add_test(NAME fuzz_journal
    COMMAND ${KAVLIN_FUZZ_JOURNAL_BINARY} -max_total_time=10 -runs=200000 -max_len=4096
            -rss_limit_mb=512 -malloc_limit_mb=64
            ${CMAKE_CURRENT_BINARY_DIR}/fuzz_journal_scratch ${PROJECT_SOURCE_DIR}/tests/fuzz/journal_corpus)
  set_tests_properties(fuzz_journal PROPERTIES FIXTURES_REQUIRED fuzz_journal_scratch TIMEOUT 60)
endif()
