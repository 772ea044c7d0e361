# Fuzzing of the polygon line parser. The corpus is replayed by the core
# tests on every build; with clang++ at hand a libFuzzer binary is built
# too and run briefly over the corpus.
find_program(CLANGXX clang++)
if(CLANGXX)
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
