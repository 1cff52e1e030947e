#include "app/CommandLine.h"

#include "platform/ProductInfo.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <cstdio>

namespace CommandLine {

namespace {

// What QGuiApplication and QApplication take from the command line themselves; a session
// manager restarts the program with -session, so none of them may be refused.
constexpr const char* kQtValueOptions[] = {
    "platform",    "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "display", "geometry",
    "style",       "stylesheet",         "qmljsdebugger", "name",    "visual"};
constexpr const char* kQtFlagOptions[] = {"reverse", "widgetcount", "nograb",
                                          "dograb",  "sync",        "cmap"};

} // namespace

Outcome Parse(const QStringList& args) {
    const QString program =
        args.isEmpty() ? QStringLiteral("trellion") : QFileInfo(args.first()).fileName();
    QCommandLineParser parser;
    // Qt's options are single-dash words (-platform offscreen), not bundles of letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QLatin1String(ProductInfo::kDescription));
    // Not addHelpOption(): its --help-all would promise the Qt options this help leaves out.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays help on commandline options."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    for (const char* name : kQtValueOptions) {
        QCommandLineOption option(QLatin1String(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : kQtFlagOptions) {
        QCommandLineOption option{QString::fromLatin1(name)};
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    Outcome outcome;
    QString error;
    if (!parser.parse(args))
        error = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        error = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments()[0]);
    if (!error.isEmpty()) {
        outcome.run = false;
        outcome.exitCode = 2;
        outcome.err =
            QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n").arg(program, error);
    } else if (parser.isSet(help)) {
        outcome.run = false;
        // Without an application object the parser cannot know the program's name.
        outcome.out = parser.helpText().replace(QStringLiteral("<executable_name>"), program);
    } else if (parser.isSet(version)) {
        outcome.run = false;
        outcome.out = QStringLiteral("%1 %2\n").arg(QLatin1String(ProductInfo::kProgramName),
                                                    QLatin1String(ProductInfo::kVersion));
    }
    return outcome;
}

Outcome Handle(int argc, char** argv) {
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const Outcome outcome = Parse(args);
    std::fputs(outcome.out.toLocal8Bit().constData(), stdout);
    std::fputs(outcome.err.toLocal8Bit().constData(), stderr);
    return outcome;
}

} // namespace CommandLine
