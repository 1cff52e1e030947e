# The keyring tests: one entry in a D-Bus session with a real GNOME keyring that the entry makes
# itself, one with no session bus (and no display to start one from).
trellion_test(keyring_test GUI
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/keyring/KeyringTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/dialogs/DialogTestSupport.cpp
            ${CMAKE_CURRENT_LIST_DIR}/dialogs/DialogTestSupport.h
    LIBS trellion_ui Qt6::Test
    LABELS ui)
set_tests_properties(keyring_test PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;GTEST_FILTER=NoKeyring.*"
    ENVIRONMENT_MODIFICATION "DBUS_SESSION_BUS_ADDRESS=unset:;DISPLAY=unset:")
add_test(NAME keyring_session_test
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/keyring/keyring-session.sh
            $<TARGET_FILE:keyring_test> --gtest_filter=Keyring.*)
set_tests_properties(keyring_session_test PROPERTIES TIMEOUT 300
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS ui)
