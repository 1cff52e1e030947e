# The log viewer on a 1,000,000-line log: time to the first lines, time to fully loaded and the
# longest UI stall, against reading the same file into memory. Runs offscreen.
add_executable(bench_logview ${CMAKE_CURRENT_LIST_DIR}/logview/LogViewBench.cpp)
target_link_libraries(bench_logview PRIVATE trellion_ui)
