# 200 polls through SlotMonitor::PollSlot against the same ODBC calls made
# directly, on a private PostgreSQL cluster and a SQLite file. Uses the test fixtures.
if(TARGET trellion_testcommon)
    add_executable(bench_monitor ${CMAKE_CURRENT_LIST_DIR}/monitor/MonitorBench.cpp)
    target_link_libraries(bench_monitor PRIVATE trellion_monitor trellion_testcommon)
endif()
