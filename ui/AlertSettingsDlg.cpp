#include "ui/AlertSettingsDlg.h"

#include "monitor/AlertSettings.h"
#include "ui/DialogPrompt.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

CAlertSettingsDlg::CAlertSettingsDlg(QWidget* parent, IDialogPrompt* prompt)
    : QDialog(parent), m_prompt(prompt ? prompt : &DefaultDialogPrompt()) {
    setWindowTitle(QStringLiteral("Alert Settings"));
    const AlertRules rules = AlertSettings::Read().rules;
    const qint64 shown[] = {rules.confirmPolls, rules.confirmMs / 1000, rules.remindMs / 60000,
                            rules.slowMailMs / 60000};
    auto* form = new QFormLayout;
    const auto& ranges = AlertSettings::Ranges();
    for (size_t i = 0; i < ranges.size(); ++i) {
        auto* box = new QLineEdit(QString::number(shown[i]));
        box->setObjectName(QLatin1String(ranges[i].key->name));
        box->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,5}"), box));
        form->addRow(QStringLiteral("%1 (%2 to %3):")
                         .arg(QString::fromUtf8(ranges[i].label))
                         .arg(ranges[i].min)
                         .arg(ranges[i].max),
                     box);
        m_boxes[i] = box;
    }
    auto* hint = new QLabel(QStringLiteral(
        "With 1 failed poll, every failure mails an alert. Raise it when short blips (a server "
        "restart, a dropped connection, waking from sleep) bring alerts and recoveries minutes "
        "apart: the confirming polls come after the pause, not the interval. 0 minutes means "
        "no reminders, and a warning mail for every slow poll."));
    hint->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &CAlertSettingsDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CAlertSettingsDlg::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(hint);
    layout->addWidget(buttons);
    resize(460, sizeHint().height());
}

void CAlertSettingsDlg::accept() {
    const auto& ranges = AlertSettings::Ranges();
    for (size_t i = 0; i < ranges.size(); ++i) {
        const QString problem = AlertSettings::Check(ranges[i], m_boxes[i]->text());
        if (problem.isEmpty())
            continue;
        m_boxes[i]->setFocus();
        m_boxes[i]->selectAll();
        m_prompt->Tell(this, problem);
        return;
    }
    for (size_t i = 0; i < ranges.size(); ++i)
        Config::Write(*ranges[i].key, m_boxes[i]->text().trimmed().toInt());
    QDialog::accept();
}
