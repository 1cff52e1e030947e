#include "ui/MetricsSettingsDlg.h"

#include "metrics/MetricsFile.h"
#include "metrics/MetricsServer.h"
#include "settings/SettingKeys.h"
#include "ui/DialogPrompt.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

CMetricsSettingsDlg::CMetricsSettingsDlg(QWidget* parent, quint16 listeningPort,
                                         IDialogPrompt* prompt)
    : QDialog(parent), m_prompt(prompt ? prompt : &DefaultDialogPrompt()),
      m_listeningPort(listeningPort) {
    setWindowTitle(QStringLiteral("Metrics"));
    m_file = new QLineEdit(Config::Read(Config::kMetricsFile));
    m_file->setObjectName(QStringLiteral("metricsFile"));
    m_file->setPlaceholderText(QStringLiteral("none"));
    const int port = Config::Read(Config::kMetricsPort);
    m_port = new QLineEdit(port > 0 ? QString::number(port) : QString());
    m_port->setObjectName(QStringLiteral("metricsPort"));
    m_port->setPlaceholderText(QStringLiteral("none"));
    m_port->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), m_port));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Metrics file (node_exporter textfile)"), m_file);
    form->addRow(QStringLiteral("Metrics port on 127.0.0.1"), m_port);
    auto* note = new QLabel(QStringLiteral(
        "Both are read by a Prometheus on this computer; leave a field empty to turn it off."));
    note->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &CMetricsSettingsDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CMetricsSettingsDlg::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(note);
    layout->addWidget(buttons);
    resize(480, sizeHint().height());
}

void CMetricsSettingsDlg::accept() {
    const QString file = m_file->text().trimmed();
    if (!file.isEmpty()) {
        const QString problem = MetricsFile::Problem(file);
        if (!problem.isEmpty()) {
            m_file->setFocus();
            m_file->selectAll();
            m_prompt->Tell(this, problem);
            return;
        }
    }
    const QString portText = m_port->text().trimmed();
    bool isNumber = true;
    const int port = portText.isEmpty() ? 0 : portText.toInt(&isNumber);
    QString portProblem;
    if (!isNumber || port < 0 || port > 65535)
        portProblem = QStringLiteral("The metrics port must be a number from 1 to 65535, or "
                                     "empty for none.");
    else if (port != 0 && port != m_listeningPort) {
        const QString why = MetricsServer::PortProblem(quint16(port));
        if (!why.isEmpty())
            portProblem =
                QStringLiteral("Port %1 on 127.0.0.1 cannot be used: %2").arg(port).arg(why);
    }
    if (!portProblem.isEmpty()) {
        m_port->setFocus();
        m_port->selectAll();
        m_prompt->Tell(this, portProblem);
        return;
    }
    Config::Write(Config::kMetricsFile, file);
    Config::Write(Config::kMetricsPort, port);
    QDialog::accept();
}
