#include "ui/DataSourceChooserDlg.h"

#include "platform/Notice.h"
#include "probe/ConnectionStrings.h"
#include "probe/DatabaseProbe.h"
#include "ui/NewDataSourceDlg.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <mutex>
#include <utility>

// The failure text a selection's probe gives on the worker thread, read by the dialog once the
// attempt has ended.
class CFailureText : public INotice {
public:
    void ShowNotice(const QString& text) override {
        std::lock_guard lock(m_mutex);
        m_text = text;
    }
    QString Take() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_text, QString());
    }

private:
    std::mutex m_mutex;
    QString m_text;
};

namespace {

// The answer a selection's probe gets when it asks its chooser, set per thread just before
// the probe is created. The probe keeps its chooser pointer for life, so the chooser must be
// one that outlives every probe; later questions get "cancelled".
class CPresetChooser : public IDataSourceChooser {
public:
    static CPresetChooser& Instance() {
        static CPresetChooser chooser;
        return chooser;
    }
    static std::optional<QString>& Preset() {
        thread_local std::optional<QString> preset;
        return preset;
    }
    std::optional<QString> ChooseDataSource() override {
        return std::exchange(Preset(), std::nullopt);
    }
};

const char* const kChooserCaption = "Trellion";

} // namespace

std::unique_ptr<CDatabaseProbe> CreateSelectedProbe(const std::optional<QString>& choice,
                                                    INotice* notice, const ProbeOptions& options) {
    // An empty string from the user would make the probe ask again; it is a cancel.
    CPresetChooser::Preset() =
        choice && !choice->isEmpty() ? choice : std::optional<QString>(std::nullopt);
    auto probe = std::make_unique<CDatabaseProbe>(&CPresetChooser::Instance(), QString(),
                                                  /*quiet=*/false, notice, options);
    CPresetChooser::Preset().reset();
    return probe;
}

CDataSourceChooserDlg::CDataSourceChooserDlg(QWidget* parent)
    : QDialog(parent), m_failureText(std::make_unique<CFailureText>()) {
    setWindowTitle(QStringLiteral("Select Data Source"));
    setObjectName(QStringLiteral("DataSourceChooser"));

    m_tabs = new QTabWidget(this);

    m_sources = new QTreeWidget;
    m_sources->setObjectName(QStringLiteral("dataSources"));
    m_sources->setHeaderLabels(
        {QStringLiteral("Data Source"), QStringLiteral("Driver"), QStringLiteral("Type")});
    m_sources->setRootIsDecorated(false);
    m_sources->setAllColumnsShowFocus(true);
    m_sources->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    connect(m_sources, &QTreeWidget::itemDoubleClicked, this, [this] { accept(); });
    auto* sourcePage = new QWidget;
    auto* sourceLayout = new QVBoxLayout(sourcePage);
    sourceLayout->addWidget(m_sources);
    m_new = new QPushButton(QStringLiteral("New..."));
    m_new->setObjectName(QStringLiteral("newDataSource"));
    connect(m_new, &QPushButton::clicked, this, &CDataSourceChooserDlg::NewDataSource);
    auto* sourceButtons = new QHBoxLayout;
    sourceButtons->addWidget(m_new);
    sourceButtons->addStretch();
    sourceLayout->addLayout(sourceButtons);
    m_tabs->addTab(sourcePage, QStringLiteral("Data Source"));

    auto* filePage = new QWidget;
    auto* fileLayout = new QVBoxLayout(filePage);
    fileLayout->addWidget(new QLabel(QStringLiteral("SQLite database file:")));
    auto* fileRow = new QHBoxLayout;
    m_file = new QLineEdit;
    m_file->setObjectName(QStringLiteral("databaseFile"));
    m_browse = new QPushButton(QStringLiteral("Browse..."));
    connect(m_browse, &QPushButton::clicked, this, &CDataSourceChooserDlg::BrowseForFile);
    fileRow->addWidget(m_file);
    fileRow->addWidget(m_browse);
    fileLayout->addLayout(fileRow);
    fileLayout->addStretch();
    m_tabs->addTab(filePage, QStringLiteral("Database File"));

    auto* typedPage = new QWidget;
    auto* typedLayout = new QFormLayout(typedPage);
    m_driver = new QComboBox;
    m_driver->setObjectName(QStringLiteral("driver"));
    m_attributes = new QLineEdit;
    m_attributes->setObjectName(QStringLiteral("attributes"));
    connect(m_driver, &QComboBox::currentTextChanged, this, [this](const QString& driver) {
        m_attributes->setPlaceholderText(ExampleAttributes(driver));
    });
    typedLayout->addRow(QStringLiteral("Driver:"), m_driver);
    typedLayout->addRow(QStringLiteral("Connection string:"), m_attributes);
    m_tabs->addTab(typedPage, QStringLiteral("Connection String"));

    auto* login = new QFormLayout;
    m_user = new QLineEdit;
    m_user->setObjectName(QStringLiteral("userName"));
    m_password = new QLineEdit;
    m_password->setObjectName(QStringLiteral("password"));
    m_password->setEchoMode(QLineEdit::Password);
    login->addRow(QStringLiteral("User name:"), m_user);
    login->addRow(QStringLiteral("Password:"), m_password);

    m_busyText = new QLabel(QStringLiteral("Connecting to the data source..."));
    m_busyBar = new QProgressBar;
    m_busyBar->setRange(0, 0);
    m_busyBar->setTextVisible(false);
    m_busyText->hide();
    m_busyBar->hide();
    // A failed attempt's reason stays in view while the user corrects the fields.
    m_failure = new QLabel;
    m_failure->setObjectName(QStringLiteral("connectionFailure"));
    m_failure->setWordWrap(true);
    m_failure->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_failure->setStyleSheet(QStringLiteral("color: #b00000"));
    m_failure->hide();

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &CDataSourceChooserDlg::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &CDataSourceChooserDlg::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs);
    layout->addLayout(login);
    layout->addWidget(m_busyText);
    layout->addWidget(m_busyBar);
    layout->addWidget(m_failure);
    layout->addWidget(m_buttons);
    resize(520, 380);

    m_warn = [this](const QString& text) {
        QMessageBox::warning(this, QString::fromLatin1(kChooserCaption), text);
    };

    Refresh();
    m_attributes->setPlaceholderText(ExampleAttributes(m_driver->currentText()));
    SetSource(m_sources->topLevelItemCount() > 0 ? Source::DataSource : Source::DatabaseFile);
}

CDataSourceChooserDlg::~CDataSourceChooserDlg() {
    // The attempt cannot be interrupted; it ends at the latest with the login time-out.
    if (m_worker) {
        m_worker->wait();
        delete m_worker;
    }
}

std::optional<QString> CDataSourceChooserDlg::ChooseDataSource() {
    m_connectOnAccept = false;
    m_accepted.reset();
    exec();
    return m_accepted;
}

std::unique_ptr<CDatabaseProbe> CDataSourceChooserDlg::SelectAndConnect(INotice* notice) {
    m_connectOnAccept = true;
    m_notice = notice;
    m_accepted.reset();
    m_probe.reset();
    exec();
    m_connectOnAccept = false;
    if (m_worker) {
        // exec() was ended from outside while the attempt ran (the application is quitting).
        m_worker->wait();
        FinishAttempt();
    }
    if (m_probe)
        return std::move(m_probe);
    return CreateSelectedProbe(std::nullopt, notice, m_probeOptions);
}

void CDataSourceChooserDlg::SetSource(Source source) {
    m_tabs->setCurrentIndex(static_cast<int>(source));
}

CDataSourceChooserDlg::Source CDataSourceChooserDlg::CurrentSource() const {
    return static_cast<Source>(m_tabs->currentIndex());
}

QList<CDataSourceChooserDlg::DataSourceEntry> CDataSourceChooserDlg::ListedDataSources() const {
    QList<DataSourceEntry> out;
    for (int i = 0; i < m_sources->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = m_sources->topLevelItem(i);
        out.append({item->text(0), item->text(1), item->data(2, Qt::UserRole).toBool()});
    }
    return out;
}

QStringList CDataSourceChooserDlg::ListedDrivers() const {
    QStringList out;
    for (int i = 0; i < m_driver->count(); ++i)
        out.append(m_driver->itemText(i));
    return out;
}

bool CDataSourceChooserDlg::SelectDataSource(const QString& name) {
    for (int i = 0; i < m_sources->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = m_sources->topLevelItem(i);
        if (item->text(0) == name) {
            m_sources->setCurrentItem(item);
            SetSource(Source::DataSource);
            return true;
        }
    }
    return false;
}

void CDataSourceChooserDlg::SetDatabaseFile(const QString& path) {
    m_file->setText(path);
    SetSource(Source::DatabaseFile);
}

bool CDataSourceChooserDlg::SetDriver(const QString& driver) {
    const int index = m_driver->findText(driver);
    if (index < 0)
        return false;
    m_driver->setCurrentIndex(index);
    SetSource(Source::ConnectionString);
    return true;
}

void CDataSourceChooserDlg::SetTypedAttributes(const QString& attributes) {
    m_attributes->setText(attributes);
    SetSource(Source::ConnectionString);
}

void CDataSourceChooserDlg::SetUserName(const QString& user) {
    m_user->setText(user);
}

void CDataSourceChooserDlg::SetPassword(const QString& password) {
    m_password->setText(password);
}

void CDataSourceChooserDlg::Refresh() {
    const QString selected =
        m_sources->currentItem() ? m_sources->currentItem()->text(0) : QString();
    m_sources->clear();
    for (const DataSourceEntry& entry : OdbcConfig::DataSources()) {
        auto* item = new QTreeWidgetItem(
            m_sources, {entry.name, entry.driver,
                        entry.system ? QStringLiteral("System") : QStringLiteral("User")});
        item->setData(2, Qt::UserRole, entry.system);
        if (entry.name == selected)
            m_sources->setCurrentItem(item);
    }

    const QString driver = m_driver->currentText();
    m_driver->clear();
    m_driver->addItems(OdbcConfig::DriverNames());
    if (const int index = m_driver->findText(driver); index >= 0)
        m_driver->setCurrentIndex(index);
}

std::optional<QString> CDataSourceChooserDlg::BuildConnectionString(QString* problem) const {
    QString base;
    QString missing;
    switch (CurrentSource()) {
    case Source::DataSource:
        if (!m_sources->currentItem())
            missing = QStringLiteral("Please select a data source.");
        else
            base = QStringLiteral("DSN=") +
                   ConnectionStrings::QuoteValue(m_sources->currentItem()->text(0));
        break;
    case Source::DatabaseFile: {
        const QString path = m_file->text().trimmed();
        if (path.isEmpty())
            missing = QStringLiteral("Please choose a database file.");
        else if (path.contains(u';'))
            // The SQLite driver reads its attributes up to the next ';' and takes no braces.
            missing = QStringLiteral("The path of the database file must not contain ';'.");
        else
            // A relative path would name another file when the program starts elsewhere.
            base = DatabaseFileString(QFileInfo(path).absoluteFilePath());
        break;
    }
    case Source::ConnectionString: {
        const QString attributes = m_attributes->text();
        if (!ConnectionStrings::NamesItsOwnDriver(attributes) && m_driver->currentText().isEmpty())
            missing = QStringLiteral("Please choose a driver.");
        else
            base = ConnectionStrings::WithDriver(m_driver->currentText(), attributes);
        break;
    }
    }
    if (!missing.isEmpty()) {
        if (problem)
            *problem = missing;
        return std::nullopt;
    }
    return ConnectionStrings::WithCredentials(base, m_user->text(), m_password->text());
}

void CDataSourceChooserDlg::SetWarningHandler(std::function<void(const QString&)> handler) {
    m_warn = std::move(handler);
}

void CDataSourceChooserDlg::accept() {
    if (IsBusy())
        return;
    QString problem;
    const std::optional<QString> connectionString = BuildConnectionString(&problem);
    if (!connectionString) {
        QWidget* focus = m_sources;
        if (CurrentSource() == Source::DatabaseFile)
            focus = m_file;
        else if (CurrentSource() == Source::ConnectionString)
            focus = m_driver;
        Warn(problem, focus);
        return;
    }
    if (CurrentSource() == Source::DatabaseFile) {
        if (const QString file = DatabaseFileProblem(m_file->text().trimmed()); !file.isEmpty()) {
            Warn(file, m_file);
            return;
        }
    }
    m_accepted = connectionString;
    if (m_connectOnAccept) {
        StartAttempt(*connectionString);
        return;
    }
    QDialog::accept();
}

void CDataSourceChooserDlg::reject() {
    // The attempt cannot be called off; Escape and the close button wait for it like OK does.
    if (IsBusy())
        return;
    m_accepted.reset();
    QDialog::reject();
}

void CDataSourceChooserDlg::BrowseForFile() {
    const QString start = m_file->text().isEmpty() ? QString() : QFileInfo(m_file->text()).path();
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Select Database File"), start,
        QStringLiteral("SQLite databases (*.db *.sqlite *.sqlite3 *.db3);;All files (*)"));
    if (!path.isEmpty())
        m_file->setText(path);
}

void CDataSourceChooserDlg::StartAttempt(const QString& connectionString) {
    m_failure->hide();
    m_failureText->Take();
    m_worker = QThread::create([this, connectionString] {
        m_probe = CreateSelectedProbe(connectionString, m_failureText.get(), m_probeOptions);
    });
    // Queued to this dialog's thread: the probe is complete once the worker has finished.
    connect(m_worker, &QThread::finished, this, [this] {
        if (m_worker)
            FinishAttempt();
    });
    SetBusy(true);
    m_worker->start();
    emit ConnectionAttemptStarted();
}

void CDataSourceChooserDlg::FinishAttempt() {
    m_worker->wait();
    delete m_worker;
    m_worker = nullptr;
    SetBusy(false);
    const QString reason = m_failureText->Take();
    if (m_probe && !m_probe->HasConnection()) {
        if (!isVisible()) {
            // The dialog was ended from outside meanwhile: the reason goes where it went before.
            if (!reason.isEmpty() && m_notice)
                m_notice->ShowNotice(reason);
        } else {
            // The user corrects a password or a name here rather than starting over.
            m_accepted.reset();
            m_failure->setText(
                reason.isEmpty() ? QStringLiteral("Could not connect to data source.") : reason);
            m_failure->show();
            m_password->setFocus();
            m_password->selectAll();
            emit ConnectionAttemptFinished();
            return;
        }
    }
    emit ConnectionAttemptFinished();
    if (isVisible())
        QDialog::accept();
}

QString CDataSourceChooserDlg::FailureText() const {
    return m_failure->isHidden() ? QString() : m_failure->text();
}

void CDataSourceChooserDlg::NewDataSource() {
    CNewDataSourceDlg dialog(this);
    if (dialog.exec() != QDialog::Accepted || dialog.CreatedName().isEmpty())
        return;
    Refresh();
    SelectDataSource(dialog.CreatedName());
    m_sources->setFocus();
}

void CDataSourceChooserDlg::SetBusy(bool busy) {
    m_tabs->setEnabled(!busy);
    m_user->setEnabled(!busy);
    m_password->setEnabled(!busy);
    m_buttons->setEnabled(!busy);
    m_busyText->setVisible(busy);
    m_busyBar->setVisible(busy);
    if (busy)
        setCursor(Qt::BusyCursor);
    else
        unsetCursor();
}

void CDataSourceChooserDlg::Warn(const QString& text, QWidget* focus) {
    if (focus)
        focus->setFocus();
    if (m_warn)
        m_warn(text);
}
