#include "ui/NewDataSourceDlg.h"

#include "probe/OdbcConfig.h"
#include "ui/DataSourceChooserDlg.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <utility>

namespace {

using Kind = CNewDataSourceDlg::Kind;

QString DefaultPort(Kind kind) {
    switch (kind) {
    case Kind::PostgreSql:
        return QStringLiteral("5432");
    case Kind::MariaDb:
        return QStringLiteral("3306");
    default:
        return QString();
    }
}

// odbc.ini holds one line per value.
bool IsOneLine(const QString& value) {
    return !value.contains(u'\n') && !value.contains(u'\r');
}

} // namespace

CNewDataSourceDlg::CNewDataSourceDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("New Data Source"));
    setObjectName(QStringLiteral("NewDataSource"));

    m_name = new QLineEdit;
    m_name->setObjectName(QStringLiteral("dataSourceName"));
    m_name->setMaxLength(OdbcConfig::kMaxDataSourceNameBytes);
    m_driver = new QComboBox;
    m_driver->setObjectName(QStringLiteral("driver"));
    for (const QString& driver : OdbcConfig::DriverNames()) {
        if (OdbcConfig::KindOfDriver(driver) != Kind::Other)
            m_driver->addItem(driver);
    }
    m_server = new QLineEdit(QStringLiteral("localhost"));
    m_server->setObjectName(QStringLiteral("server"));
    m_port = new QLineEdit;
    m_port->setObjectName(QStringLiteral("port"));
    m_database = new QLineEdit;
    m_database->setObjectName(QStringLiteral("database"));
    m_user = new QLineEdit;
    m_user->setObjectName(QStringLiteral("userName"));

    m_fileRow = new QWidget;
    auto* fileLayout = new QHBoxLayout(m_fileRow);
    fileLayout->setContentsMargins(0, 0, 0, 0);
    m_file = new QLineEdit;
    m_file->setObjectName(QStringLiteral("databaseFile"));
    m_browse = new QPushButton(QStringLiteral("Browse..."));
    connect(m_browse, &QPushButton::clicked, this, &CNewDataSourceDlg::BrowseForFile);
    fileLayout->addWidget(m_file);
    fileLayout->addWidget(m_browse);

    m_form = new QFormLayout;
    m_form->addRow(QStringLiteral("Name:"), m_name);
    m_form->addRow(QStringLiteral("Driver:"), m_driver);
    m_form->addRow(QStringLiteral("Server:"), m_server);
    m_form->addRow(QStringLiteral("Port:"), m_port);
    m_form->addRow(QStringLiteral("Database:"), m_database);
    m_form->addRow(QStringLiteral("User name:"), m_user);
    m_form->addRow(QStringLiteral("Database file:"), m_fileRow);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &CNewDataSourceDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CNewDataSourceDlg::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(m_form);
    layout->addStretch();
    layout->addWidget(buttons);
    resize(440, 300);

    m_warn = [this](const QString& text) {
        QMessageBox::warning(this, QStringLiteral("Trellion"), text);
    };
    connect(m_driver, &QComboBox::currentTextChanged, this, &CNewDataSourceDlg::ShowFieldsOfDriver);
    ShowFieldsOfDriver();
}

QStringList CNewDataSourceDlg::OfferedDrivers() const {
    QStringList out;
    for (int i = 0; i < m_driver->count(); ++i)
        out.append(m_driver->itemText(i));
    return out;
}

bool CNewDataSourceDlg::SetDriver(const QString& driver) {
    const int index = m_driver->findText(driver);
    if (index >= 0)
        m_driver->setCurrentIndex(index);
    return index >= 0;
}

void CNewDataSourceDlg::SetName(const QString& name) {
    m_name->setText(name);
}

void CNewDataSourceDlg::SetServer(const QString& server) {
    m_server->setText(server);
}

void CNewDataSourceDlg::SetPort(const QString& port) {
    m_port->setText(port);
}

void CNewDataSourceDlg::SetDatabase(const QString& database) {
    m_database->setText(database);
}

void CNewDataSourceDlg::SetUserName(const QString& user) {
    m_user->setText(user);
}

void CNewDataSourceDlg::SetDatabaseFile(const QString& path) {
    m_file->setText(path);
}

void CNewDataSourceDlg::SetWarningHandler(std::function<void(const QString&)> handler) {
    m_warn = std::move(handler);
}

QString CNewDataSourceDlg::NameProblem(const QString& name) {
    if (name.trimmed().isEmpty())
        return QStringLiteral("Please enter a name for the data source.");
    if (name != name.trimmed() || !OdbcConfig::IsValidDataSourceName(name) ||
        name.compare(u"DEFAULT", Qt::CaseInsensitive) == 0)
        return QStringLiteral("'") + name +
               QStringLiteral("' is not a valid data source name: at most 32 characters, none of "
                              "[ ] { } ( ) , ; ? * = ! @ \\, and not DEFAULT.");
    for (const auto& entry : OdbcConfig::DataSources()) {
        if (entry.name.compare(name, Qt::CaseInsensitive) == 0)
            return QStringLiteral("A data source named '") + entry.name +
                   QStringLiteral("' already exists.");
    }
    return QString();
}

CNewDataSourceDlg::Attributes CNewDataSourceDlg::AttributesFor(Kind kind, const QString& server,
                                                               const QString& port,
                                                               const QString& database,
                                                               const QString& user) {
    Attributes out;
    const auto add = [&out](const char* key, const QString& value) {
        if (!value.isEmpty())
            out.append({QString::fromLatin1(key), value});
    };
    switch (kind) {
    case Kind::PostgreSql: // psqlodbc's own odbc.ini keys
        add("Servername", server);
        add("Port", port);
        add("Database", database);
        add("Username", user);
        break;
    case Kind::MariaDb:
        add("Server", server);
        add("Port", port);
        add("Database", database);
        add("User", user);
        break;
    case Kind::Sqlite:
        add("Database", database);
        // A file that has gone must not come back as a new, empty database.
        add("NoCreat", QStringLiteral("1"));
        break;
    case Kind::Other:
        break;
    }
    return out;
}

void CNewDataSourceDlg::accept() {
    QWidget* focus = nullptr;
    const QString problem = Problem(&focus);
    if (!problem.isEmpty()) {
        Warn(problem, focus);
        return;
    }
    const Kind kind = CurrentKind();
    const QString database = kind == Kind::Sqlite
                                 ? QFileInfo(m_file->text().trimmed()).absoluteFilePath()
                                 : m_database->text().trimmed();
    const Attributes attributes =
        AttributesFor(kind, m_server->text().trimmed(), m_port->text().trimmed(), database,
                      kind == Kind::Sqlite ? QString() : m_user->text().trimmed());
    QString error;
    if (!OdbcConfig::WriteUserDataSource(m_name->text(), m_driver->currentText(), attributes,
                                         &error)) {
        Warn(QStringLiteral("The data source could not be written.\n\n") + error, m_name);
        return;
    }
    m_created = m_name->text();
    QDialog::accept();
}

CNewDataSourceDlg::Kind CNewDataSourceDlg::CurrentKind() const {
    return OdbcConfig::KindOfDriver(m_driver->currentText());
}

void CNewDataSourceDlg::ShowFieldsOfDriver() {
    const Kind kind = CurrentKind();
    const bool file = kind == Kind::Sqlite;
    m_form->setRowVisible(m_server, !file);
    m_form->setRowVisible(m_port, !file);
    m_form->setRowVisible(m_database, !file);
    m_form->setRowVisible(m_user, !file);
    m_form->setRowVisible(m_fileRow, file);
    // A port the user left at the other server's default follows the driver.
    const QString port = m_port->text().trimmed();
    if (port.isEmpty() || port == DefaultPort(Kind::PostgreSql) ||
        port == DefaultPort(Kind::MariaDb))
        m_port->setText(DefaultPort(kind));
}

void CNewDataSourceDlg::BrowseForFile() {
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Select Database File"), QFileInfo(m_file->text()).path(),
        QStringLiteral("SQLite databases (*.db *.sqlite *.sqlite3 *.db3);;All files (*)"));
    if (!path.isEmpty())
        m_file->setText(path);
}

QString CNewDataSourceDlg::Problem(QWidget** focus) const {
    *focus = m_name;
    if (const QString name = NameProblem(m_name->text()); !name.isEmpty())
        return name;
    *focus = m_driver;
    if (m_driver->currentText().isEmpty())
        return QStringLiteral("No PostgreSQL, MariaDB, MySQL or SQLite driver is registered.");
    if (CurrentKind() == Kind::Sqlite) {
        *focus = m_file;
        const QString path = m_file->text().trimmed();
        if (path.isEmpty())
            return QStringLiteral("Please choose a database file.");
        if (!IsOneLine(path))
            return QStringLiteral("The path of the database file must be one line.");
        return CDataSourceChooserDlg::DatabaseFileProblem(path);
    }
    const struct {
        QLineEdit* field;
        const char* missing;
    } required[] = {{m_server, "Please enter the server."},
                    {m_database, "Please enter the database."}};
    for (const auto& r : required) {
        *focus = r.field;
        if (r.field->text().trimmed().isEmpty())
            return QString::fromLatin1(r.missing);
    }
    *focus = m_port;
    const QString port = m_port->text().trimmed();
    bool number = false;
    const int value = port.toInt(&number);
    if (!port.isEmpty() && (!number || value < 1 || value > 65535))
        return QStringLiteral("The port must be a number from 1 to 65535.");
    for (QLineEdit* field : {m_server, m_database, m_user}) {
        *focus = field;
        if (!IsOneLine(field->text().trimmed()))
            return QStringLiteral("A field holds more than one line.");
    }
    return QString();
}

void CNewDataSourceDlg::Warn(const QString& text, QWidget* focus) {
    if (focus)
        focus->setFocus();
    if (m_warn)
        m_warn(text);
}
