# The data-source chooser and the Select/Del/Poll/Reset commands. Their sources are compiled in
# directly, so these tests do not wait for the rest of the window library.
add_library(trellion_chooser_testsupport STATIC
    ${CMAKE_SOURCE_DIR}/ui/DataSourceChooserDlg.cpp ${CMAKE_SOURCE_DIR}/ui/DataSourceChooserDlg.h
    ${CMAKE_SOURCE_DIR}/ui/DatabaseCommands.cpp ${CMAKE_SOURCE_DIR}/ui/DatabaseCommands.h
    chooser/ChooserTestSupport.cpp chooser/ChooserTestSupport.h)
set_target_properties(trellion_chooser_testsupport PROPERTIES LINKER_LANGUAGE CXX)
target_link_libraries(trellion_chooser_testsupport PUBLIC Qt6::Widgets Qt6::Test trellion_monitor
    trellion_probe trellion_settings trellion_log trellion_mail trellion_testcommon)

trellion_test(chooser_dialog_test GUI SOURCES chooser/ChooserDialogTest.cpp
              LIBS trellion_chooser_testsupport LABELS ui chooser)
trellion_test(chooser_commands_test GUI SOURCES chooser/DatabaseCommandsTest.cpp
              LIBS trellion_chooser_testsupport LABELS ui chooser)
