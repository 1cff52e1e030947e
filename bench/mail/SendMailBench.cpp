// Times one SendMail to a local aiosmtpd (median of 50) and, as the baseline, the same
// commands and message sent by hand over a plain blocking socket with no settings read, no
// resolution and no reply checks beyond waiting for each line: the ratio is what the client
// itself adds to the server's own cost.
#include "mail/SmtpClient.h"
#include "platform/Notice.h"
#include "settings/SettingsStore.h"
#include "tests/common/SmtpSink.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kRuns = 50;
constexpr int kWarmUp = 5;

class CountingNotice : public INotice {
public:
    void ShowNotice(const QString& text) override {
        ++count;
        std::fprintf(stderr, "notice: %s\n", qPrintable(text));
    }
    int count = 0;
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

// Runs the two alternately, so that a change of load on the machine hits both alike.
std::pair<Figures, Figures> Measure(const std::function<bool()>& a,
                                    const std::function<bool()>& b) {
    for (int i = 0; i < kWarmUp; ++i) {
        a();
        b();
    }
    std::vector<double> msA, msB;
    int failA = 0, failB = 0;
    for (int i = 0; i < kRuns; ++i) {
        msA.push_back(TimeOnce(a, &failA));
        msB.push_back(TimeOnce(b, &failB));
    }
    return {Summarise(msA, failA), Summarise(msB, failB)};
}

// Reads until a line whose fourth character is not '-'; true if it starts with `code`.
bool Expect(int fd, const char* code) {
    std::string reply;
    for (;;) {
        char chunk[1024];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        reply.append(chunk, static_cast<size_t>(n));
        // Replies come one at a time here, so the last line is at the end of the buffer.
        if (reply.size() < 2 || reply.back() != '\n')
            continue;
        const size_t lineStart = reply.rfind('\n', reply.size() - 2);
        const size_t begin = lineStart == std::string::npos ? 0 : lineStart + 1;
        if (reply.size() - begin >= 4 && reply[begin + 3] == '-')
            continue;
        return reply.compare(0, 3, code) == 0;
    }
}

bool Say(int fd, const QByteArray& text) {
    return ::send(fd, text.constData(), text.size(), MSG_NOSIGNAL) == text.size();
}

bool HandWritten(int port, const QByteArray& message) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    Expect(fd, "220") && Say(fd, "HELO bench\r\n") && Expect(fd, "250") &&
                    Say(fd, "MAIL FROM: monitor@example.org\r\n") && Expect(fd, "250") &&
                    Say(fd, "RCPT TO: ops@example.com\r\n") && Expect(fd, "250") &&
                    Say(fd, "DATA\r\n") && Expect(fd, "354") && Say(fd, message) &&
                    Expect(fd, "250");
    ::close(fd);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/trellion-bench-XXXXXX"));
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit() + "/config");
    qputenv("TRELLION_TEST_HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);

    SmtpSink sink;
    if (!sink.Start()) {
        std::fprintf(stderr, "bench_mail: cannot start the SMTP sink\n");
        return 1;
    }
    SettingsStore::WriteString(QStringLiteral("Settings"), QStringLiteral("SMTP"),
                               QStringLiteral("127.0.0.1:%1").arg(sink.Port()));
    CountingNotice notice;
    SmtpClient client(&notice);
    client.SetSender(QStringLiteral("Trellion"), QStringLiteral("monitor@example.org"));
    const QString subject = QStringLiteral("Database 1 unreachable");
    const QString body =
        QStringLiteral("Database 1 (Orders) could not be reached on 12/06/2026 at 21:30:00.\n"
                       "[unixODBC][Driver Manager]Data source name not found\n");

    const QByteArray message = SmtpClient::BuildMessage(
        QStringLiteral("Trellion"), QStringLiteral("monitor@example.org"),
        QStringLiteral("ops@example.com"), subject, body, std::time(nullptr));
    const auto [client_, baseline] = Measure(
        [&] {
            return client.SendMail(QStringLiteral("monitor@example.org"),
                                   QStringLiteral("ops@example.com"), subject, body);
        },
        [&] { return HandWritten(sink.Port(), message); });

    std::printf("SendMail to local aiosmtpd:      median %.3f ms (min %.3f, max %.3f), %d of %d "
                "failed\n",
                client_.median, client_.min, client_.max, client_.failures, kRuns);
    std::printf("hand-written exchange (baseline): median %.3f ms (min %.3f, max %.3f), %d of %d "
                "failed\n",
                baseline.median, baseline.min, baseline.max, baseline.failures, kRuns);
    std::printf("ratio SendMail / baseline: %.2f\n", client_.median / baseline.median);
    std::printf("messages stored by the sink: %lld\n",
                static_cast<long long>(sink.Messages().size()));
    return client_.failures || baseline.failures || notice.count ? 1 : 0;
}
