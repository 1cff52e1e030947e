# The data-source chooser and the Select/Del/Poll commands. Their sources are compiled in
# directly, so these tests do not wait for the rest of the window library.
add_library(trellion_chooser_testsupport STATIC
    ${CMAKE_SOURCE_DIR}/ui/DataSourceChooserDlg.cpp ${CMAKE_SOURCE_DIR}/ui/DataSourceChooserDlg.h
    ${CMAKE_SOURCE_DIR}/ui/DatabaseCommands.cpp ${CMAKE_SOURCE_DIR}/ui/DatabaseCommands.h)
target_link_libraries(trellion_chooser_testsupport PUBLIC Qt6::Widgets Qt6::Test
    trellion_monitor_testsupport)

trellion_test(chooser_test GUI SOURCES chooser/ChooserTest.cpp
              LIBS trellion_chooser_testsupport LABELS ui chooser)
