# 10,000 polls over four slots (SQLite files and a private PostgreSQL cluster, with outages)
# through the engine: resident memory and open descriptors after 1,000 and 10,000 polls.
if(TARGET trellion_testcommon)
    add_executable(bench_soak ${CMAKE_CURRENT_LIST_DIR}/soak/SoakBench.cpp)
    target_link_libraries(bench_soak PRIVATE trellion_monitor trellion_testcommon)
endif()
