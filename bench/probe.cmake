# One poll's probe (Connect to Disconnect) against a private PostgreSQL cluster and a SQLite
# file, beside a bare driver connect/disconnect of the same string. Uses the test fixtures.
if(TARGET trellion_testcommon)
    add_executable(bench_probe ${CMAKE_CURRENT_LIST_DIR}/probe/ProbeBench.cpp)
    target_link_libraries(bench_probe PRIVATE trellion_probe trellion_testcommon)
endif()
