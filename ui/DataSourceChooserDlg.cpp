#include "ui/DataSourceChooserDlg.h"

#include "probe/DatabaseProbe.h"

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

#include <sql.h>
#include <sqlext.h>

#include <utility>

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

class EnvHandle {
public:
    EnvHandle() {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env))) {
            m_env = SQL_NULL_HENV;
            return;
        }
        SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    }
    ~EnvHandle() {
        if (m_env != SQL_NULL_HENV)
            SQLFreeHandle(SQL_HANDLE_ENV, m_env);
    }
    EnvHandle(const EnvHandle&) = delete;
    EnvHandle& operator=(const EnvHandle&) = delete;
    SQLHENV Get() const { return m_env; }

private:
    SQLHENV m_env = SQL_NULL_HENV;
};

QString FromOdbc(const SQLCHAR* text) {
    return QString::fromUtf8(reinterpret_cast<const char*>(text));
}

void AppendDataSources(SQLHENV env, SQLUSMALLINT first, bool system,
                       QList<CDataSourceChooserDlg::DataSourceEntry>* out) {
    // Names and descriptions longer than these come back cut (SQL_SUCCESS_WITH_INFO), which
    // is still a listed data source.
    SQLCHAR name[512];
    SQLCHAR driver[1024];
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT driverLength = 0;
    SQLUSMALLINT direction = first;
    while (SQL_SUCCEEDED(SQLDataSources(env, direction, name, sizeof name, &nameLength, driver,
                                        sizeof driver, &driverLength))) {
        out->append({FromOdbc(name), FromOdbc(driver), system});
        direction = SQL_FETCH_NEXT;
    }
}

QString FirstAttributeKey(const QString& connectionString) {
    const QString first = connectionString.section(u';', 0, 0);
    const int eq = first.indexOf(u'=');
    return (eq < 0 ? QString() : first.left(eq)).trimmed().toUpper();
}

const char* const kCaption = "Trellion";

} // namespace

std::unique_ptr<CDatabaseProbe> CreateSelectedProbe(const std::optional<QString>& choice,
                                                    INotice* notice) {
    // An empty string from the user would make the probe ask again; it is a cancel.
    CPresetChooser::Preset() =
        choice && !choice->isEmpty() ? choice : std::optional<QString>(std::nullopt);
    auto probe = std::make_unique<CDatabaseProbe>(&CPresetChooser::Instance(), QString(),
                                                  /*quiet=*/false, notice);
    CPresetChooser::Preset().reset();
    return probe;
}

CDataSourceChooserDlg::CDataSourceChooserDlg(QWidget* parent) : QDialog(parent) {
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
    m_tabs->addTab(m_sources, QStringLiteral("Data Source"));

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
    m_attributes->setPlaceholderText(QStringLiteral("Server=localhost;Port=5432;Database=name"));
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

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &CDataSourceChooserDlg::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &CDataSourceChooserDlg::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs);
    layout->addLayout(login);
    layout->addWidget(m_busyText);
    layout->addWidget(m_busyBar);
    layout->addWidget(m_buttons);
    resize(520, 380);

    m_warn = [this](const QString& text) {
        QMessageBox::warning(this, QString::fromLatin1(kCaption), text);
    };

    Refresh();
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
    return CreateSelectedProbe(std::nullopt, notice);
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
    for (const DataSourceEntry& entry : ListDataSources()) {
        auto* item = new QTreeWidgetItem(
            m_sources, {entry.name, entry.driver,
                        entry.system ? QStringLiteral("System") : QStringLiteral("User")});
        item->setData(2, Qt::UserRole, entry.system);
        if (entry.name == selected)
            m_sources->setCurrentItem(item);
    }

    const QString driver = m_driver->currentText();
    m_driver->clear();
    m_driver->addItems(ListDrivers());
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
            base = QStringLiteral("DSN=") + QuoteValue(m_sources->currentItem()->text(0));
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
        const QString key = FirstAttributeKey(attributes.trimmed());
        const bool complete = key == u"DRIVER" || key == u"DSN" || key == u"FILEDSN";
        if (!complete && m_driver->currentText().isEmpty())
            missing = QStringLiteral("Please choose a driver.");
        else
            base = TypedString(m_driver->currentText(), attributes);
        break;
    }
    }
    if (!missing.isEmpty()) {
        if (problem)
            *problem = missing;
        return std::nullopt;
    }
    return WithCredentials(base, m_user->text(), m_password->text());
}

void CDataSourceChooserDlg::SetWarningHandler(std::function<void(const QString&)> handler) {
    m_warn = std::move(handler);
}

QList<CDataSourceChooserDlg::DataSourceEntry> CDataSourceChooserDlg::ListDataSources() {
    QList<DataSourceEntry> out;
    EnvHandle env;
    if (env.Get() == SQL_NULL_HENV)
        return out;
    AppendDataSources(env.Get(), SQL_FETCH_FIRST_USER, false, &out);
    AppendDataSources(env.Get(), SQL_FETCH_FIRST_SYSTEM, true, &out);
    return out;
}

QStringList CDataSourceChooserDlg::ListDrivers() {
    QStringList out;
    EnvHandle env;
    if (env.Get() == SQL_NULL_HENV)
        return out;
    SQLCHAR name[512];
    SQLCHAR attributes[2048];
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT attributesLength = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (SQL_SUCCEEDED(SQLDrivers(env.Get(), direction, name, sizeof name, &nameLength,
                                    attributes, sizeof attributes, &attributesLength))) {
        out.append(FromOdbc(name));
        direction = SQL_FETCH_NEXT;
    }
    return out;
}

QString CDataSourceChooserDlg::QuoteValue(const QString& value) {
    if (!value.contains(u';') && !value.startsWith(u'{'))
        return value;
    QString inner = value;
    inner.replace(QStringLiteral("}"), QStringLiteral("}}"));
    return u'{' + inner + u'}';
}

QString CDataSourceChooserDlg::WithCredentials(const QString& connectionString, const QString& user,
                                               const QString& password) {
    QString out = connectionString;
    const auto add = [&out](const char* key, const QString& value) {
        if (value.isEmpty())
            return;
        if (!out.isEmpty() && !out.endsWith(u';'))
            out += u';';
        out += QString::fromLatin1(key) + u'=' + QuoteValue(value);
    };
    add("UID", user);
    add("PWD", password);
    return out;
}

QString CDataSourceChooserDlg::DatabaseFileString(const QString& path) {
    // Without NoCreat the driver creates a file that has gone, and the poll reports an empty new
    // database as reachable instead of the one that was lost.
    return QStringLiteral("DRIVER={") + QString::fromLatin1(kSqliteDriver) +
           QStringLiteral("};Database=") + path + QStringLiteral(";NoCreat=1");
}

QString CDataSourceChooserDlg::TypedString(const QString& driver, const QString& attributes) {
    QString rest = attributes.trimmed();
    while (rest.startsWith(u';'))
        rest.remove(0, 1);
    // A string typed whole (beginning with its own DRIVER, DSN or FILEDSN) is taken as it is.
    const QString key = FirstAttributeKey(rest);
    if (key == u"DRIVER" || key == u"DSN" || key == u"FILEDSN")
        return rest;
    QString name = driver;
    name.replace(QStringLiteral("}"), QStringLiteral("}}"));
    const QString base = QStringLiteral("DRIVER={") + name + u'}';
    return rest.isEmpty() ? base : base + u';' + rest;
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
    // The SQLite driver makes a missing file and connects to it: a mistyped path would pass as
    // a reachable database.
    if (CurrentSource() == Source::DatabaseFile && !QFileInfo(m_file->text().trimmed()).isFile()) {
        Warn(QStringLiteral("The database file does not exist."), m_file);
        return;
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
    INotice* notice = m_notice;
    m_worker = QThread::create([this, connectionString, notice] {
        m_probe = CreateSelectedProbe(connectionString, notice);
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
    emit ConnectionAttemptFinished();
    if (isVisible())
        QDialog::accept();
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
