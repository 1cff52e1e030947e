# Four threads through WriteLogLine against a lock-free open/append/close loop.
add_executable(bench_log ${CMAKE_CURRENT_LIST_DIR}/log/LogBench.cpp)
target_link_libraries(bench_log PRIVATE trellion_log)
