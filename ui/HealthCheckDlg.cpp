#include "ui/HealthCheckDlg.h"

#include "monitor/SlotStatus.h"
#include "settings/SettingKeys.h"
#include "ui/DialogPrompt.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QThread>
#include <QVBoxLayout>

#include <memory>

namespace {

constexpr int kMaxTimeoutSeconds = 3600;

QString Ms(double ms) {
    return FormatMs(ms) + QStringLiteral("ms");
}

} // namespace

CHealthCheckDlg::CHealthCheckDlg(const QString& section, const QString& connectionString,
                                 ProbeOptions options, QWidget* parent, IDialogPrompt* prompt)
    : QDialog(parent), m_section(section), m_connectionString(connectionString),
      m_options(std::move(options)), m_prompt(prompt ? prompt : &DefaultDialogPrompt()) {
    setWindowTitle(QStringLiteral("Health Check - ") + section);

    m_query = new QPlainTextEdit(Config::Read(section, Config::kHealthQuery));
    m_query->setObjectName(QStringLiteral("healthQuery"));
    m_query->setTabChangesFocus(true);
    m_query->setPlaceholderText(QStringLiteral("SELECT count(*) FROM queue"));
    m_expect = new QLineEdit(Config::Read(section, Config::kHealthExpect));
    m_expect->setObjectName(QStringLiteral("healthExpect"));
    m_expect->setPlaceholderText(QStringLiteral("0:10, =ok, ~pattern, or empty for any row"));
    m_timeout = new QSpinBox;
    m_timeout->setObjectName(QStringLiteral("healthTimeout"));
    m_timeout->setRange(1, kMaxTimeoutSeconds);
    m_timeout->setSuffix(QStringLiteral(" s"));
    const int stored = Config::Read(section, Config::kHealthTimeout);
    m_timeout->setValue(stored < 1 ? HealthQuery::kDefaultTimeoutSeconds : stored);

    m_test = new QPushButton(QStringLiteral("Test"));
    m_test->setObjectName(QStringLiteral("healthTest"));
    m_test->setAutoDefault(false);
    connect(m_test, &QPushButton::clicked, this, &CHealthCheckDlg::Test);
    m_result = new QLabel;
    m_result->setObjectName(QStringLiteral("healthResult"));
    m_result->setWordWrap(true);
    m_result->setTextFormat(Qt::PlainText);
    m_result->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Query:"), m_query);
    form->addRow(QStringLiteral("Expect:"), m_expect);
    form->addRow(QStringLiteral("Time-out:"), m_timeout);
    auto* testRow = new QHBoxLayout;
    testRow->addWidget(m_test, 0, Qt::AlignTop);
    testRow->addWidget(m_result, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &CHealthCheckDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CHealthCheckDlg::reject);

    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral(
        "A query run at every poll after connecting; its first value must match, or the "
        "database counts as unreachable. Blank: polls only connect."));
    intro->setWordWrap(true);
    layout->addWidget(intro);
    layout->addLayout(form);
    layout->addLayout(testRow);
    layout->addWidget(buttons);
    resize(520, sizeHint().height());
}

HealthQuery CHealthCheckDlg::Entered() const {
    return HealthQuery{m_query->toPlainText(), m_expect->text(), m_timeout->value()};
}

QString CHealthCheckDlg::Describe(const HealthTrial& trial) {
    if (!trial.connected)
        return trial.connectError.isEmpty()
                   ? QStringLiteral("Could not connect.")
                   : QStringLiteral("Could not connect: ") + trial.connectError.simplified();
    const QString took = QStringLiteral("Took ") + Ms(trial.totalMs) +
                         QStringLiteral(" (connect ") + Ms(trial.totalMs - trial.queryMs) +
                         QStringLiteral(", query ") + Ms(trial.queryMs) + u')';
    if (trial.verdict.passed)
        return QStringLiteral("Passes: ") + trial.verdict.shownValue + u'\n' + took;
    return trial.verdict.reason + u'\n' + took;
}

void CHealthCheckDlg::Test() {
    const HealthQuery query = Entered();
    if (!query.IsSet()) {
        m_result->setText(QStringLiteral("Enter a query to test."));
        return;
    }
    m_test->setEnabled(false);
    m_result->setText(QStringLiteral("Testing..."));
    // The trial runs on a thread of its own and ends with its time-out; a dialog closed
    // meanwhile just misses the result.
    auto trial = std::make_shared<HealthTrial>();
    QThread* thread =
        QThread::create([trial, query, connectionString = m_connectionString, options = m_options] {
            *trial = HealthTrial::Run(connectionString, query, options);
        });
    ++s_running;
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &QObject::destroyed, [] { --s_running; });
    connect(thread, &QThread::finished, this, [this, trial] {
        m_result->setText(Describe(*trial));
        m_test->setEnabled(true);
        emit TestFinished();
    });
    thread->start();
}

void CHealthCheckDlg::accept() {
    const HealthQuery query = Entered();
    if (const std::optional<QString> refusal = HealthQuery::Refusal(query.sql)) {
        m_query->setFocus();
        m_prompt->Tell(this, *refusal);
        return;
    }
    QString why;
    if (!HealthExpect::Parse(query.expect, &why)) {
        m_expect->setFocus();
        m_expect->selectAll();
        m_prompt->Tell(this, why);
        return;
    }
    Config::Write(m_section, Config::kHealthQuery, query.sql);
    Config::Write(m_section, Config::kHealthExpect, query.expect);
    Config::Write(m_section, Config::kHealthTimeout, query.timeoutSeconds);
    QDialog::accept();
}
