// Times one STARTTLS + AUTH PLAIN delivery through SendMail to a local aiosmtpd (median of 30)
// against curl making the same delivery to the same server with the same CA, in the same run:
// the ratio says whether the client costs more than a mail tool started as a process.
#include "mail/SmtpClient.h"
#include "platform/Notice.h"
#include "settings/EmailSettings.h"
#include "settings/SettingsStore.h"
#include "tests/common/SmtpSink.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kRuns = 30;
constexpr int kWarmUp = 3;

class PrintingNotice : public INotice {
public:
    void ShowNotice(const QString& text) override {
        std::fprintf(stderr, "notice: %s\n", qPrintable(text));
    }
};

struct Figures {
    double median = 0;
    double min = 0;
    double max = 0;
    int failures = 0;
};

Figures Summarise(std::vector<double> ms, int failures) {
    std::sort(ms.begin(), ms.end());
    const size_t n = ms.size();
    return {(ms[n / 2 - 1] + ms[n / 2]) / 2, ms.front(), ms.back(), failures};
}

double TimeOnce(const std::function<bool()>& once, int* failures) {
    const auto start = std::chrono::steady_clock::now();
    *failures += once() ? 0 : 1;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

void Print(const char* what, const Figures& f) {
    std::printf("%-34s median %.3f ms (min %.3f, max %.3f), %d of %d failed\n", what, f.median,
                f.min, f.max, f.failures, kRuns);
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/trellion-bench-XXXXXX"));
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit() + "/config");
    qputenv("TRELLION_TEST_HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);

    SmtpSink sink;
    if (!sink.Start(SmtpSink::Mode::Accept,
                    {QStringLiteral("--tls"), QStringLiteral("starttls"), QStringLiteral("--login"),
                     QStringLiteral("watch:secret")})) {
        std::fprintf(stderr, "bench_mail: cannot start the SMTP sink\n");
        return 1;
    }
    qputenv("SSL_CERT_FILE", SmtpSink::CaFile().toLocal8Bit());
    const QString section = QStringLiteral("Settings");
    SettingsStore::WriteString(section, QStringLiteral("SMTP"),
                               QStringLiteral("localhost:%1").arg(sink.Port()));
    SettingsStore::WriteInt(section, QStringLiteral("SMTPSecurity"), 1);
    SettingsStore::WriteInt(section, QStringLiteral("SMTPAuth"), 1);
    SettingsStore::WriteString(section, QStringLiteral("SMTPUsername"), QStringLiteral("watch"));
    SettingsStore::WriteString(section, QStringLiteral("SMTPPassword"), QStringLiteral("secret"));

    PrintingNotice notice;
    SmtpClient client(&notice);
    EmailSettings held;
    held.returnAddress = QStringLiteral("monitor@example.org");
    const QString subject = QStringLiteral("Database 1 unreachable");
    const QString body =
        QStringLiteral("Database 1 (Orders) could not be reached on 12/06/2026 at 21:30:00.\n"
                       "[unixODBC][Driver Manager]Data source name not found\n");
    const QString file = home.path() + QStringLiteral("/message.eml");
    QFile message(file);
    if (!message.open(QIODevice::WriteOnly) ||
        message.write("From: Trellion <monitor@example.org>\r\nTo: <ops@example.com>\r\n"
                      "Subject: " +
                      subject.toUtf8() + "\r\n\r\n" + body.toUtf8().replace("\n", "\r\n")) < 0)
        return 1;
    message.close();

    const auto sendMail = [&] {
        // As the polls send: the server and login read from the store at every send.
        return client.SendMail(EmailSettingsStore::ForSending(held),
                               QStringLiteral("monitor@example.org"),
                               QStringLiteral("ops@example.com"), subject, body);
    };
    const QStringList curlArgs{QStringLiteral("--silent"),
                               QStringLiteral("--show-error"),
                               QStringLiteral("--ssl-reqd"),
                               QStringLiteral("--url"),
                               QStringLiteral("smtp://localhost:%1").arg(sink.Port()),
                               QStringLiteral("--user"),
                               QStringLiteral("watch:secret"),
                               QStringLiteral("--mail-from"),
                               QStringLiteral("monitor@example.org"),
                               QStringLiteral("--mail-rcpt"),
                               QStringLiteral("ops@example.com"),
                               QStringLiteral("-T"),
                               file,
                               QStringLiteral("--cacert"),
                               SmtpSink::CaFile()};
    const auto curl = [&] {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(QStringLiteral("curl"), curlArgs);
        return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    };

    // Alternately, so that a change of load on the machine hits both alike.
    for (int i = 0; i < kWarmUp; ++i) {
        sendMail();
        curl();
    }
    std::vector<double> msClient, msCurl;
    int failClient = 0, failCurl = 0;
    for (int i = 0; i < kRuns; ++i) {
        msClient.push_back(TimeOnce(sendMail, &failClient));
        msCurl.push_back(TimeOnce(curl, &failCurl));
    }
    const Figures ours = Summarise(msClient, failClient);
    const Figures theirs = Summarise(msCurl, failCurl);
    Print("SendMail STARTTLS + AUTH PLAIN:", ours);
    Print("curl STARTTLS + AUTH PLAIN:", theirs);
    std::printf("ratio SendMail / curl: %.2f (goal: at most 1.0)\n", ours.median / theirs.median);
    std::printf("messages stored by the sink: %lld of %d\n",
                static_cast<long long>(sink.Messages().size()), 2 * (kRuns + kWarmUp));
    return ours.failures || theirs.failures ? 1 : 0;
}
