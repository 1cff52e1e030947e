#include "check/CheckOptions.h"

#include "platform/ProductInfo.h"
#include "probe/ConnectionStrings.h"
#include "probe/HealthQuery.h"

#include <functional>

namespace Check {

namespace {

// One option: its names, whether it takes a value, and what it does with it. A setter returns
// an error sentence, empty when the value was taken.
struct OptionDef {
    char shortName; // 0: long only
    const char* longName;
    bool takesValue;
    std::function<QString(Options&, const QString&)> set;
};

QString Quoted(const QString& s) {
    return u'\'' + s + u'\'';
}

QString SetSeconds(int* target, const QString& name, const QString& value) {
    bool ok = false;
    const int seconds = value.toInt(&ok);
    if (!ok || seconds < 1 || seconds > kMaxTimeoutSeconds)
        return QStringLiteral("%1: %2 is not a whole number of seconds from 1 to %3")
            .arg(name, Quoted(value))
            .arg(kMaxTimeoutSeconds);
    *target = seconds;
    return {};
}

QString SetRange(std::optional<ThresholdRange>* target, const QString& name, const QString& value) {
    QString why;
    *target = ThresholdRange::Parse(value, &why);
    if (!*target)
        return QStringLiteral("%1: %2 is no threshold range (%3)").arg(name, Quoted(value), why);
    return {};
}

QString SetText(QString* target, const QString& name, const QString& value) {
    if (value.trimmed().isEmpty())
        return name + QStringLiteral(" needs a value that is not empty");
    *target = value;
    return {};
}

const std::vector<OptionDef>& OptionDefs() {
    static const std::vector<OptionDef> defs = {
        {0, "dsn", true, [](Options& o, const QString& v) { return SetText(&o.dsn, "--dsn", v); }},
        {0, "connection-string", true,
         [](Options& o, const QString& v) {
             return SetText(&o.connectionString, "--connection-string", v);
         }},
        {0, "password-env", true,
         [](Options& o, const QString& v) { return SetText(&o.passwordEnv, "--password-env", v); }},
        {0, "password-file", true,
         [](Options& o, const QString& v) {
             return SetText(&o.passwordFile, "--password-file", v);
         }},
        {0, "title", true,
         [](Options& o, const QString& v) { return SetText(&o.title, "--title", v); }},
        {'w', "warning", true,
         [](Options& o, const QString& v) { return SetRange(&o.warning, "-w/--warning", v); }},
        {'c', "critical", true,
         [](Options& o, const QString& v) { return SetRange(&o.critical, "-c/--critical", v); }},
        {'t', "timeout", true,
         [](Options& o, const QString& v) {
             return SetSeconds(&o.timeoutSeconds, "-t/--timeout", v);
         }},
        {0, "login-timeout", true,
         [](Options& o, const QString& v) {
             return SetSeconds(&o.loginTimeoutSeconds, "--login-timeout", v);
         }},
        {0, "query", true,
         [](Options& o, const QString& v) {
             // The query runs with a rollback whatever it is; what plainly writes is refused
             // before anything connects.
             if (const std::optional<QString> why = HealthQuery::Refusal(v))
                 return QStringLiteral("--query: %1").arg(*why);
             return SetText(&o.query, "--query", v);
         }},
        {0, "expect", true,
         [](Options& o, const QString& v) {
             QString why;
             o.expect = HealthExpect::Parse(v, &why);
             return o.expect ? QString() : QStringLiteral("--expect: %1").arg(why);
         }},
        {0, "connect-only", false,
         [](Options& o, const QString&) {
             o.connectOnly = true;
             return QString();
         }},
        {0, "format", true,
         [](Options& o, const QString& v) {
             if (v == u"plugin")
                 o.format = Format::Plugin;
             else if (v == u"openmetrics")
                 o.format = Format::OpenMetrics;
             else
                 return QStringLiteral("--format: %1 is neither plugin nor openmetrics")
                     .arg(Quoted(v));
             return QString();
         }},
        {'v', "verbose", false,
         [](Options& o, const QString&) {
             ++o.verbosity;
             return QString();
         }},
        {'h', "help", false, nullptr},
        {'V', "version", false, nullptr},
    };
    return defs;
}

const OptionDef* FindLong(QStringView name) {
    for (const OptionDef& s : OptionDefs())
        if (name == QLatin1String(s.longName))
            return &s;
    return nullptr;
}

const OptionDef* FindShort(QChar name) {
    for (const OptionDef& s : OptionDefs())
        if (s.shortName != 0 && name == QLatin1Char(s.shortName))
            return &s;
    return nullptr;
}

// The rules between options, once all are read.
QString CheckCombination(const Options& o, bool expectGiven) {
    if (o.dsn.isEmpty() == o.connectionString.isEmpty())
        return o.dsn.isEmpty()
                   ? QStringLiteral("give the database with --dsn NAME or --connection-string")
                   : QStringLiteral("give either --dsn or --connection-string, not both");
    if (!o.passwordEnv.isEmpty() && !o.passwordFile.isEmpty())
        return QStringLiteral("give either --password-env or --password-file, not both");
    if ((!o.passwordEnv.isEmpty() || !o.passwordFile.isEmpty()) &&
        HoldsPassword(o.connectionString))
        return QStringLiteral("the connection string already holds a password; give it in one "
                              "place only");
    if (expectGiven && o.query.isEmpty())
        return QStringLiteral("--expect needs --query");
    if (o.connectOnly && !o.query.isEmpty())
        return QStringLiteral("--connect-only runs no query: leave out --query or --connect-only");
    return {};
}

// True when the line asks for help: plugins answer --help whatever else the line holds, even
// a mistake. Values of options are skipped, so "--title -h" names a database "-h".
bool AsksForHelp(const QStringList& args) {
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == u"--help")
            return true;
        if (arg.startsWith(u"--")) {
            const OptionDef* def = FindLong(arg.mid(2));
            i += def && def->takesValue && !arg.contains(u'=') ? 1 : 0;
            continue;
        }
        for (qsizetype j = 1; arg.startsWith(u'-') && j < arg.size(); ++j) {
            const OptionDef* def = FindShort(arg[j]);
            if (!def)
                break;
            if (def->shortName == 'h')
                return true;
            if (def->takesValue) {
                i += j + 1 == arg.size() ? 1 : 0;
                break;
            }
        }
    }
    return false;
}

} // namespace

bool HoldsPassword(const QString& connectionString) {
    const auto attributes = ConnectionStrings::ParseAttributes(connectionString);
    return ConnectionStrings::FindAttribute(attributes, {"PWD", "PASSWORD"}) != nullptr;
}

Parsed ParseArguments(const QStringList& args) {
    Parsed parsed;
    if (AsksForHelp(args)) {
        parsed.action = Parsed::Action::Help;
        return parsed;
    }
    bool help = false;
    bool version = false;
    bool expectGiven = false;
    const auto fail = [&parsed](const QString& error) {
        parsed.action = Parsed::Action::Fail;
        parsed.error = error;
        return parsed;
    };
    // Runs an option with its value; the empty string when it was taken.
    const auto apply = [&](const OptionDef& def, const QString& value) {
        if (!def.set) {
            (def.shortName == 'h' ? help : version) = true;
            return QString();
        }
        expectGiven |= def.longName == std::string_view("expect");
        return def.set(parsed.options, value);
    };

    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg.startsWith(u"--") && arg.size() > 2) {
            const qsizetype equals = arg.indexOf(u'=');
            const QString name = arg.mid(2, equals < 0 ? -1 : equals - 2);
            const OptionDef* def = FindLong(name);
            if (!def)
                return fail(QStringLiteral("unknown option %1").arg(Quoted("--" + name)));
            QString value;
            if (def->takesValue && equals >= 0) {
                value = arg.mid(equals + 1);
            } else if (def->takesValue) {
                if (i + 1 >= args.size())
                    return fail(QStringLiteral("--%1 needs a value").arg(name));
                value = args[++i];
            } else if (equals >= 0) {
                return fail(QStringLiteral("--%1 takes no value").arg(name));
            }
            if (const QString error = apply(*def, value); !error.isEmpty())
                return fail(error);
        } else if (arg.startsWith(u'-') && arg.size() > 1 && arg != u"--") {
            // A bundle of flags ("-vv"), the last of which may take the rest as its value.
            for (qsizetype j = 1; j < arg.size(); ++j) {
                const OptionDef* def = FindShort(arg[j]);
                if (!def)
                    return fail(QStringLiteral("unknown option %1").arg(Quoted(u'-' + arg[j])));
                QString value;
                if (def->takesValue) {
                    if (j + 1 < arg.size())
                        value = arg.mid(j + 1);
                    else if (i + 1 < args.size())
                        value = args[++i];
                    else
                        return fail(QStringLiteral("-%1 needs a value").arg(arg[j]));
                    j = arg.size();
                }
                if (const QString error = apply(*def, value); !error.isEmpty())
                    return fail(error);
            }
        } else {
            return fail(QStringLiteral("unexpected argument %1").arg(Quoted(arg)));
        }
    }
    if (help) {
        parsed.action = Parsed::Action::Help;
        return parsed;
    }
    if (version) {
        parsed.action = Parsed::Action::Version;
        return parsed;
    }
    if (const QString error = CheckCombination(parsed.options, expectGiven); !error.isEmpty())
        return fail(error);
    if (!parsed.options.query.isEmpty() && !parsed.options.expect)
        parsed.options.expect = HealthExpect::Parse(QString(), nullptr); // any row will do
    if (HoldsPassword(parsed.options.connectionString))
        parsed.warnings << QStringLiteral(
            "warning: the connection string holds a password, which other users of this "
            "machine can read in the process list; use --password-file or --password-env");
    return parsed;
}

QString UsageText() {
    return QStringLiteral(
        "Usage: trellion-check {--dsn NAME | --connection-string STRING}\n"
        "         [--password-env VARIABLE | --password-file FILE] [--title TEXT]\n"
        "         [-w RANGE] [-c RANGE] [-t SECONDS] [--login-timeout SECONDS]\n"
        "         [--query SQL [--expect EXPECTATION] | --connect-only]\n"
        "         [--format plugin|openmetrics] [-v] [-h] [-V]\n");
}

QString HelpText() {
    return VersionText() +
           QStringLiteral(
               "Checks that a database answers through ODBC: connects, asks the driver for the\n"
               "server and user names, lists the schemas and catalogs and disconnects, timing\n"
               "the whole probe.\n\n") +
           UsageText() +
           QStringLiteral(
               "\nOptions:\n"
               " --dsn NAME                 an ODBC data source (odbc.ini)\n"
               " --connection-string STRING a whole ODBC connection string\n"
               " --password-env VARIABLE    the password, from this environment variable\n"
               " --password-file FILE       the password, from the first line of this file\n"
               "                            (a password on the command line can be read by\n"
               "                            every user of the machine)\n"
               " --title TEXT               the database's name in the output (default: the\n"
               "                            data source, or a name made from the string)\n"
               " -w, --warning RANGE        WARNING when the probe time in ms is outside RANGE\n"
               " -c, --critical RANGE       CRITICAL when the probe time in ms is outside RANGE\n"
               "                            RANGE is [@]start:end: \"500\" is 0 to 500, \"500:\"\n"
               "                            500 and more, \"~:500\" up to 500; \"@\" alerts "
               "inside\n"
               " -t, --timeout SECONDS      UNKNOWN when the plugin has no result by then\n"
               "                            (default 10)\n"
               " --login-timeout SECONDS    CRITICAL when the database does not answer the\n"
               "                            login by then (default: the time-out less 1 s;\n"
               "                            a longer one lets the time-out answer UNKNOWN)\n"
               " --query SQL                a health query run on the probe's connection\n"
               " --expect EXPECTATION       what its first value must be: empty (any row),\n"
               "                            =text, ~regex or a range; CRITICAL otherwise\n"
               " --connect-only             connect and disconnect only, without the driver's\n"
               "                            names and the catalogue listing\n"
               " --format plugin|openmetrics one plugin line (default) or OpenMetrics text\n"
               " -v, --verbose              more detail (twice: one more line per step)\n"
               " -h, --help                 this help\n"
               " -V, --version              the version\n"
               "\nExit codes: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (bad arguments, a data\n"
               "source that does not exist, the plugin's own time-out; also after --help and\n"
               "--version, as for every monitoring plugin).\n");
}

QString VersionText() {
    return QStringLiteral("trellion-check %1\n").arg(QLatin1String(ProductInfo::kVersion));
}

} // namespace Check
