# The main window offscreen, and the built program run as a child process (instances, signals).
trellion_test(window_test GUI
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/window/WindowTestSupport.cpp
            ${CMAKE_CURRENT_LIST_DIR}/window/WindowTestSupport.h
            ${CMAKE_CURRENT_LIST_DIR}/window/WindowInitTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/window/WindowCommandTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/window/WindowLayoutTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/window/HelpAndLogonTest.cpp
    LIBS trellion_app trellion_ui Qt6::Test
    LABELS ui window)
trellion_test(program_test GUI
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/window/ProgramProcessTest.cpp
    LIBS trellion_settings Qt6::Test
    LABELS ui window)
add_dependencies(program_test trellion)
