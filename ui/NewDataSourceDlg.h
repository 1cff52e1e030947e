#pragma once

#include "probe/OdbcConfig.h"

#include <QDialog>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>

class QComboBox;
class QFormLayout;
class QLineEdit;
class QPushButton;

// "New Data Source": a PostgreSQL, MariaDB/MySQL or SQLite data source written to the user's
// odbc.ini through the driver manager's installer calls. Only drivers registered in odbcinst.ini
// are offered. The password is never written: the chooser asks for it at each selection.
class CNewDataSourceDlg : public QDialog {
    Q_OBJECT
public:
    using Kind = OdbcConfig::DriverKind;
    using Attributes = QList<QPair<QString, QString>>;

    explicit CNewDataSourceDlg(QWidget* parent = nullptr);

    // The fields, for tests that fill the dialog without exec().
    QStringList OfferedDrivers() const;
    bool SetDriver(const QString& driver);
    void SetName(const QString& name);
    void SetServer(const QString& server);
    void SetPort(const QString& port);
    void SetDatabase(const QString& database);
    void SetUserName(const QString& user);
    void SetDatabaseFile(const QString& path);

    // The name of the data source written by OK; empty until then.
    QString CreatedName() const { return m_created; }

    // Where the checks on OK report a problem; a "Trellion" message box by default.
    void SetWarningHandler(std::function<void(const QString&)> handler);

    // Why a name cannot be a new data source (empty, not a valid name, or taken by a user or
    // system data source, in any case); empty when it can.
    static QString NameProblem(const QString& name);
    // The odbc.ini values of a data source of the given kind, in the keys its driver reads.
    static Attributes AttributesFor(Kind kind, const QString& server, const QString& port,
                                    const QString& database, const QString& user);

public slots:
    void accept() override;

private:
    Kind CurrentKind() const;
    void ShowFieldsOfDriver();
    void BrowseForFile();
    // The first problem of the fields in order, with the field to put the focus on.
    QString Problem(QWidget** focus) const;
    void Warn(const QString& text, QWidget* focus);

    QFormLayout* m_form = nullptr;
    QLineEdit* m_name = nullptr;
    QComboBox* m_driver = nullptr;
    QLineEdit* m_server = nullptr;
    QLineEdit* m_port = nullptr;
    QLineEdit* m_database = nullptr;
    QLineEdit* m_user = nullptr;
    QWidget* m_fileRow = nullptr;
    QLineEdit* m_file = nullptr;
    QPushButton* m_browse = nullptr;
    std::function<void(const QString&)> m_warn;
    QString m_created;
};
