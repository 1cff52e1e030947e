#include "ui/LogSettingsDlg.h"

#include "platform/LogFile.h"
#include "ui/DialogPrompt.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// A log may be a new file, but its folder must already be there: the writer creates files,
// never folders.
class LogFileDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override {
        const QStringList files = selectedFiles();
        if (!files.isEmpty()) {
            const QFileInfo chosen(files.constFirst());
            if (!chosen.isDir() && !QFileInfo(chosen.absolutePath()).isDir()) {
                QMessageBox::warning(this, windowTitle(),
                                     QStringLiteral("The folder '%1' does not exist.")
                                         .arg(QDir::toNativeSeparators(chosen.absolutePath())));
                return;
            }
        }
        QFileDialog::accept();
    }
};

QGroupBox* LogGroup(const QString& title, QCheckBox* box, const QString& label, QLineEdit* path,
                    QPushButton* browse) {
    auto* group = new QGroupBox(title);
    auto* grid = new QGridLayout(group);
    grid->addWidget(box, 0, 0, 1, 2);
    grid->addWidget(new QLabel(label), 1, 0, 1, 2);
    grid->addWidget(path, 2, 0);
    grid->addWidget(browse, 2, 1);
    return group;
}

} // namespace

CLogSettingsDlg::CLogSettingsDlg(const LogSettings& settings, QWidget* parent,
                                 IDialogPrompt* prompt)
    : QDialog(parent), m_prompt(prompt ? prompt : &DefaultDialogPrompt()), m_settings(settings) {
    setWindowTitle(QStringLiteral("Logs"));

    m_doAccess = new QCheckBox(QStringLiteral("Log all transactions"));
    m_doAccess->setChecked(settings.doAccessLog);
    m_accessPath = new QLineEdit(settings.accessLogPath);
    m_accessPath->setObjectName(QStringLiteral("accessLogPath"));
    auto* browseAccess = new QPushButton(QStringLiteral("Browse"));
    browseAccess->setObjectName(QStringLiteral("browseAccess"));
    browseAccess->setAutoDefault(false);

    m_doError = new QCheckBox(QStringLiteral("Log errors"));
    m_doError->setChecked(settings.doErrorLog);
    m_errorPath = new QLineEdit(settings.errorLogPath);
    m_errorPath->setObjectName(QStringLiteral("errorLogPath"));
    auto* browseError = new QPushButton(QStringLiteral("Browse"));
    browseError->setObjectName(QStringLiteral("browseError"));
    browseError->setAutoDefault(false);

    connect(browseAccess, &QPushButton::clicked, this, [this] { Browse(Log::Access); });
    connect(browseError, &QPushButton::clicked, this, [this] { Browse(Log::Error); });

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &CLogSettingsDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CLogSettingsDlg::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(LogGroup(QStringLiteral("Access Log"), m_doAccess,
                               QStringLiteral("Access log file name"), m_accessPath, browseAccess));
    layout->addWidget(LogGroup(QStringLiteral("Error Log"), m_doError,
                               QStringLiteral("Error log file name"), m_errorPath, browseError));
    layout->addWidget(buttons);
    resize(480, sizeHint().height());
}

QFileDialog* CLogSettingsDlg::MakeBrowseDialog(Log log) {
    auto* dialog = new LogFileDialog(this);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    // The writer only appends to the file chosen, so there is nothing to confirm about an
    // existing one; nothing is created or changed here.
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setOption(QFileDialog::DontConfirmOverwrite);
    dialog->setDefaultSuffix(QStringLiteral("log"));
    // "All Files" means every file, as "*.*" does on the desktop these names come from; "*.*"
    // in Qt would hide files without a dot.
    dialog->setNameFilters({log == Log::Access ? QStringLiteral("Access Log Files (*.log)")
                                               : QStringLiteral("Error Log Files (*.log)"),
                            QStringLiteral("All Files (*)")});
    return dialog;
}

void CLogSettingsDlg::Browse(Log log) {
    QFileDialog* dialog = MakeBrowseDialog(log);
    if (dialog->exec() == QDialog::Accepted && !dialog->selectedFiles().isEmpty()) {
        QLineEdit* edit = log == Log::Access ? m_accessPath : m_errorPath;
        edit->setText(dialog->selectedFiles().constFirst());
    }
    dialog->deleteLater();
}

void CLogSettingsDlg::accept() {
    // A log that cannot be opened would only fill the memory queue, unnoticed.
    const struct {
        QCheckBox* on;
        QLineEdit* path;
        const char* name;
    } logs[] = {{m_doAccess, m_accessPath, "access"}, {m_doError, m_errorPath, "error"}};
    for (const auto& log : logs) {
        if (!log.on->isChecked())
            continue;
        const QString problem = CheckLogAppend(log.path->text());
        if (problem.isEmpty())
            continue;
        log.path->setFocus();
        log.path->selectAll();
        m_prompt->Tell(this, QStringLiteral("The %1 log '%2' cannot be opened for appending: %3.")
                                 .arg(QLatin1String(log.name),
                                      QDir::toNativeSeparators(log.path->text()), problem));
        return;
    }
    m_settings.doAccessLog = m_doAccess->isChecked();
    m_settings.accessLogPath = m_accessPath->text();
    m_settings.doErrorLog = m_doError->isChecked();
    m_settings.errorLogPath = m_errorPath->text();
    QDialog::accept();
}
