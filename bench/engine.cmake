# Modification engine against the plain record I/O it cannot avoid.
find_package(benchmark QUIET)
if(benchmark_FOUND)
  add_executable(kavlin_bench_engine ${CMAKE_CURRENT_LIST_DIR}/bench_engine.cpp)
  target_link_libraries(kavlin_bench_engine PRIVATE kavlin_core benchmark::benchmark)
else()
  message(STATUS "Google Benchmark not found: kavlin_bench_engine is not built")
endif()
