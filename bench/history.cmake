# A simulated year of one-minute polls for four databases through the history store, against the
# same rows inserted with a bare prepared statement in one transaction.
add_executable(bench_history ${CMAKE_CURRENT_LIST_DIR}/history/HistoryBench.cpp)
target_link_libraries(bench_history PRIVATE trellion_history trellion_ui)
