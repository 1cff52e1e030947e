// trellion-check: the desktop's database probe as a monitoring plugin (Icinga, Nagios, and
// OpenMetrics for Prometheus' textfile collector). Qt Core and ODBC only: no display needed.
#include "check/CheckOptions.h"
#include "check/CheckResult.h"
#include "check/CheckRunner.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include <unistd.h>

namespace {

using namespace Check;

// Exactly one of the run and the time-out prints and ends the process.
std::atomic<bool> g_claimed{false};

void Print(FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

// The plugin's own time-out: a driver that ignores its login time-out (or hangs after the
// login) must not hold the monitoring engine's worker. The answer is UNKNOWN, as the process
// could not judge the database.
class Deadline {
public:
    Deadline(int seconds, QByteArray text) : m_text(std::move(text)) {
        m_thread = std::thread([this, seconds] {
            std::unique_lock lock(m_mutex);
            if (m_cv.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_done; }))
                return;
            if (g_claimed.exchange(true))
                return;
            // The main thread is inside a driver call: leave without running destructors.
            [[maybe_unused]] const ssize_t written = ::write(1, m_text.constData(), m_text.size());
            ::_exit(static_cast<int>(State::Unknown));
        });
    }
    ~Deadline() {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

private:
    QByteArray m_text;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

} // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const Parsed parsed = ParseArguments(args);
    switch (parsed.action) {
    // Plugins end --help and --version with UNKNOWN: neither says anything of a database.
    case Parsed::Action::Help:
        Print(stdout, HelpText());
        return static_cast<int>(State::Unknown);
    case Parsed::Action::Version:
        Print(stdout, VersionText());
        return static_cast<int>(State::Unknown);
    case Parsed::Action::Fail:
        Print(stdout, UnknownLine(parsed.error));
        Print(stderr, UsageText() + QStringLiteral("Try 'trellion-check --help'.\n"));
        return static_cast<int>(State::Unknown);
    case Parsed::Action::Run:
        break;
    }
    for (const QString& warning : parsed.warnings)
        Print(stderr, QStringLiteral("trellion-check: %1\n").arg(warning));

    const Options& options = parsed.options;
    ProbeReport late;
    late.title = TitleOf(options);
    late.unknown = true;
    late.failure = QStringLiteral("%1 gave no result within the plugin's time-out of %2 s")
                       .arg(late.title)
                       .arg(options.timeoutSeconds);
    const Result lateResult = Judge(late, options);
    const QString lateText = options.format == Format::OpenMetrics
                                 ? OpenMetricsText(late, lateResult)
                                 : PluginText(lateResult);

    Result result;
    QString text;
    {
        Deadline deadline(options.timeoutSeconds, lateText.toLocal8Bit());
        const ProbeReport report = Run(options);
        for (const QString& warning : report.warnings)
            Print(stderr, QStringLiteral("trellion-check: %1\n").arg(warning));
        result = Judge(report, options);
        text = options.format == Format::OpenMetrics ? OpenMetricsText(report, result)
                                                     : PluginText(result);
        if (g_claimed.exchange(true)) {
            // The time-out is printing and ending the process.
            for (;;)
                ::pause();
        }
    }
    Print(stdout, text);
    return static_cast<int>(result.state);
}
