#pragma once

#include <QDialog>

class IDialogPrompt;
class QLineEdit;

// "Metrics": the file rewritten after each poll for node_exporter and the port of the /metrics
// endpoint on 127.0.0.1. OK checks both (the file's folder writable, the port a number from 1 to
// 65535 that is free or already the endpoint's), writes "MetricsFile" and "MetricsPort" and
// closes; otherwise it says what is wrong and stays open. Opened from the Setup menu:
//
//     CMetricsSettingsDlg dlg(window, program.Metrics().Port());
//     if (dlg.exec() == QDialog::Accepted)
//         program.Metrics().Apply(MetricsSettings::Load());
class CMetricsSettingsDlg : public QDialog {
    Q_OBJECT
public:
    // listeningPort: the endpoint's port now (0: none), which is in use by the program itself.
    explicit CMetricsSettingsDlg(QWidget* parent = nullptr, quint16 listeningPort = 0,
                                 IDialogPrompt* prompt = nullptr);

    QLineEdit* FileEdit() const { return m_file; }
    QLineEdit* PortEdit() const { return m_port; }

public slots:
    void accept() override;

private:
    IDialogPrompt* m_prompt;
    quint16 m_listeningPort;
    QLineEdit* m_file = nullptr;
    QLineEdit* m_port = nullptr;
};
