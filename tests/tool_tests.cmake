# The command-line programs, run end to end as child processes, and the
# demo database generator.
file(GLOB KAVLIN_TOOL_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tool_*.cpp)
add_executable(kavlin_tool_tests ${KAVLIN_TOOL_TESTS})
target_link_libraries(kavlin_tool_tests PRIVATE kavlin_apply_cli kavlin_demo_db kavlin_test_support GTest::gtest_main)
target_compile_definitions(kavlin_tool_tests PRIVATE
  KAVLIN_APPLY_BIN="$<TARGET_FILE:kavlin-apply>"
  KAVLIN_MAKE_DEMO_BIN="$<TARGET_FILE:kavlin-make-demo>")
add_dependencies(kavlin_tool_tests kavlin-apply kavlin-make-demo)
add_test(NAME tool_tests COMMAND kavlin_tool_tests)
