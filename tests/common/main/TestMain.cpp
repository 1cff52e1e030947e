// gtest main for every test binary: a private settings folder, state folder and runtime folder
// per process (QSettings fixes its paths at first use, so this must come before anything else),
// and the Qt application object the code under test expects.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#ifdef TRELLION_TEST_GUI
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/trellion-test-XXXXXX"));
    if (!home.isValid())
        return 2;
    const QByteArray root = home.path().toLocal8Bit();
    qputenv("XDG_CONFIG_HOME", root + "/config");
    qputenv("XDG_STATE_HOME", root + "/state");
    qputenv("XDG_RUNTIME_DIR", root + "/runtime");
    qputenv("TRELLION_TEST_HOME", root);
    QDir().mkpath(home.path() + "/runtime"); // Qt refuses a runtime folder that others can read
    QFile::setPermissions(home.path() + "/runtime",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
