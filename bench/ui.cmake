# Start-up of the main window with four stored databases that never answer (silent listeners)
# against four free slots: time to the window shown, and the longest stall of the UI event loop
# while the four polls hang, time out and are logged. Runs offscreen; uses the test fixtures.
if(TARGET trellion_testcommon)
    add_executable(bench_ui ${CMAKE_CURRENT_LIST_DIR}/ui/StartupBench.cpp)
    target_link_libraries(bench_ui PRIVATE trellion_app trellion_ui trellion_testcommon
                          trellion_test_tray)
endif()
