#pragma once

#include "probe/DataSourceChooser.h"
#include "probe/OdbcConfig.h"
#include "probe/ProbeOptions.h"

#include <QDialog>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

class CDatabaseProbe;
class CFailureText;
class INotice;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QThread;
class QTreeWidget;

// A selection's creation of its probe (one connection attempt, quiet = false) with the
// user's answer already known: a connection string, or nothing for a cancelled choice. Safe on
// any thread; the probe never keeps a pointer to anything shorter-lived than the process.
std::unique_ptr<CDatabaseProbe> CreateSelectedProbe(const std::optional<QString>& choice,
                                                    INotice* notice,
                                                    const ProbeOptions& options = {});

// The "Select Data Source" dialog. unixODBC offers no dialog of its own for an empty
// connection string, so this one stands in: a user or system data source, a SQLite database
// file, or a connection string typed for any installed driver, with an optional user name and
// password added as UID and PWD.
class CDataSourceChooserDlg : public QDialog, public IDataSourceChooser {
    Q_OBJECT
public:
    enum class Source { DataSource = 0, DatabaseFile = 1, ConnectionString = 2 };

    using DataSourceEntry = OdbcConfig::DataSource;

    // The driver a database file is opened with.
    static constexpr const char* kSqliteDriver = "SQLite3";

    explicit CDataSourceChooserDlg(QWidget* parent = nullptr);
    ~CDataSourceChooserDlg() override;

    // Runs the dialog modally: the connection string to connect with, or nothing on Cancel.
    std::optional<QString> ChooseDataSource() override;

    // The options the selection's probe is made with (the engine's own).
    void SetProbeOptions(ProbeOptions options) { m_probeOptions = std::move(options); }

    // Runs the dialog modally and makes the selection's connection attempt after OK: the
    // probe is created on a worker thread while the dialog shows that it is busy, so the
    // window keeps painting and polling. A failed attempt keeps the dialog open with the
    // driver's reason shown in it, for another try. Returns the new probe whatever the outcome
    // (Cancel gives an unconnected probe); never null. notice gets the reason only when the
    // dialog was ended from outside during the attempt.
    std::unique_ptr<CDatabaseProbe> SelectAndConnect(INotice* notice);

    // The fields, for the window's callers and for tests that fill the dialog without exec().
    void SetSource(Source source);
    Source CurrentSource() const;
    QList<DataSourceEntry> ListedDataSources() const;
    QStringList ListedDrivers() const;
    bool SelectDataSource(const QString& name);
    void SetDatabaseFile(const QString& path);
    bool SetDriver(const QString& driver);
    void SetTypedAttributes(const QString& attributes);
    void SetUserName(const QString& user);
    void SetPassword(const QString& password);
    // Re-reads the data sources and drivers (the configuration may change while it is open).
    void Refresh();

    // The string the current fields give, or nothing with *problem set to what is missing.
    std::optional<QString> BuildConnectionString(QString* problem = nullptr) const;
    // The string accepted by OK; empty after Cancel.
    std::optional<QString> AcceptedConnectionString() const { return m_accepted; }
    // The reason the last attempt failed, shown in the dialog; empty when none is shown.
    QString FailureText() const;
    // True while the connection attempt after OK runs.
    bool IsBusy() const { return m_worker != nullptr; }

    // Where the checks on OK report a missing field; a "Trellion" message box by default.
    void SetWarningHandler(std::function<void(const QString&)> handler);

    // The string of the Database File tab: the SQLite driver with NoCreat=1.
    static QString DatabaseFileString(const QString& path);
    // The example shown in the empty Connection String field for the chosen driver.
    static QString ExampleAttributes(const QString& driver);
    // Why a file cannot be chosen as a SQLite database (missing, unreadable, or without the
    // SQLite header); empty when it can. An empty file is a new database and is accepted.
    static QString DatabaseFileProblem(const QString& path);

public slots:
    void accept() override;
    void reject() override;

signals:
    // The attempt after OK has begun (the dialog shows that it is busy) or has ended.
    void ConnectionAttemptStarted();
    void ConnectionAttemptFinished();

private:
    void BrowseForFile();
    // "New...": a data source made in its own dialog, then listed and selected.
    void NewDataSource();
    void StartAttempt(const QString& connectionString);
    void FinishAttempt();
    void SetBusy(bool busy);
    void Warn(const QString& text, QWidget* focus);

    QTabWidget* m_tabs = nullptr;
    QTreeWidget* m_sources = nullptr;
    QLineEdit* m_file = nullptr;
    QPushButton* m_browse = nullptr;
    QComboBox* m_driver = nullptr;
    QLineEdit* m_attributes = nullptr;
    QLineEdit* m_user = nullptr;
    QLineEdit* m_password = nullptr;
    QPushButton* m_new = nullptr;
    QLabel* m_failure = nullptr;
    QLabel* m_busyText = nullptr;
    QProgressBar* m_busyBar = nullptr;
    QDialogButtonBox* m_buttons = nullptr;

    std::function<void(const QString&)> m_warn;
    std::optional<QString> m_accepted;

    // Set only inside SelectAndConnect: OK then starts the attempt instead of closing.
    bool m_connectOnAccept = false;
    INotice* m_notice = nullptr;
    ProbeOptions m_probeOptions;
    QThread* m_worker = nullptr;
    std::unique_ptr<CFailureText> m_failureText;
    std::unique_ptr<CDatabaseProbe> m_probe;
};
