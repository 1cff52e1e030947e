# trellion-check as a process against check_pgsql (monitoring-plugins-standard) on one private
# PostgreSQL cluster: wall time and peak memory per run; then the scrape time of the desktop
# program's /metrics endpoint. Uses the test fixtures.
if(TARGET trellion_testcommon)
    add_executable(bench_check_run ${CMAKE_CURRENT_LIST_DIR}/check/MeasuredRun.cpp)
    add_executable(bench_check ${CMAKE_CURRENT_LIST_DIR}/check/CheckBench.cpp
                   ${CMAKE_CURRENT_LIST_DIR}/check/MetricsScrape.cpp)
    target_link_libraries(bench_check PRIVATE trellion_testcommon trellion_metrics Qt6::Core)
    target_compile_definitions(bench_check PRIVATE
        BENCH_CHECK_RUN="$<TARGET_FILE:bench_check_run>")
    add_dependencies(bench_check trellion-check bench_check_run)
endif()
