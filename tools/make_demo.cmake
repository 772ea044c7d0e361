# The demo database: a generator library (also used by tests and
# benchmarks) and the kavlin-make-demo program.
add_library(kavlin_demo_db STATIC ${CMAKE_CURRENT_LIST_DIR}/demo_db.cpp)
target_link_libraries(kavlin_demo_db PUBLIC kavlin_core)
target_include_directories(kavlin_demo_db PUBLIC ${PROJECT_SOURCE_DIR})

add_executable(kavlin-make-demo ${CMAKE_CURRENT_LIST_DIR}/kavlin_make_demo.cpp)
target_link_libraries(kavlin-make-demo PRIVATE kavlin_demo_db)
