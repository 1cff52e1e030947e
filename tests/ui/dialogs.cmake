# Offscreen tests of the settings dialogs and the log viewer (real SMTP server, real files).
trellion_test(dialogs_test GUI
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/dialogs/DialogTestSupport.cpp
            ${CMAKE_CURRENT_LIST_DIR}/dialogs/DialogTestSupport.h
            ${CMAKE_CURRENT_LIST_DIR}/dialogs/EmailSetupDlgTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/dialogs/EmailTestCommandTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/dialogs/LogSettingsDlgTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/dialogs/LogViewDlgTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/dialogs/DialogPromptTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/dialogs/EmailSettingsWindowTest.cpp
    LIBS trellion_ui Qt6::Test
    LABELS ui)
