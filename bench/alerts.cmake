# A compressed day of a laptop (one minute of interval = 100 ms) against PostgreSQL behind a
# loopback relay: alerts for real outages, false alerts and delays, confirmed against today's.
if(TARGET trellion_testcommon)
    add_executable(bench_alerts ${CMAKE_CURRENT_LIST_DIR}/alerts/AlertsBench.cpp
                   ${PROJECT_SOURCE_DIR}/tests/monitor/TcpRelay.cpp)
    target_link_libraries(bench_alerts PRIVATE trellion_monitor trellion_testcommon)
endif()
