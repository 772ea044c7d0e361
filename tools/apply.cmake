# kavlin-apply: scripted use of the modification engine.
add_library(kavlin_apply_cli STATIC ${CMAKE_CURRENT_LIST_DIR}/apply_cli.cpp)
target_link_libraries(kavlin_apply_cli PUBLIC kavlin_core)
target_include_directories(kavlin_apply_cli PUBLIC ${PROJECT_SOURCE_DIR})

add_executable(kavlin-apply ${CMAKE_CURRENT_LIST_DIR}/kavlin_apply.cpp)
target_link_libraries(kavlin-apply PRIVATE kavlin_apply_cli)
