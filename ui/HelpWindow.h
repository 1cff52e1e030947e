#pragma once

#include <QDialog>
#include <QString>

class QTextBrowser;
class QWidget;

// "On the web...": hands the address to the desktop's browser. When none takes it, a box shows
// the address in a read-only field, selected, so that the user can copy it into a browser of
// their own; false then (after the box is closed).
bool OpenWebPage(QWidget* parent, const QString& address);

// The program's own help viewer: one HTML file with one topic per section, each topic carrying
// an anchor "ctx-<context number>" so that a window can open help at its own topic.
class CHelpWindow : public QDialog {
    Q_OBJECT
public:
    // The two help commands a window can ask for.
    static constexpr int kHelpContext = 1;
    static constexpr int kHelpFinder = 11;

    // The help file shipped inside the program.
    static QString DefaultHelpFile();

    // Opens helpFile at the topic for data (kHelpContext) or at its first topic (any other
    // command, or a context without a topic). A missing file shows nothing and returns null;
    // otherwise the one help window, raised.
    static CHelpWindow* Show(const QString& helpFile, quint32 data, int command);

    // The help window when one is open (tests).
    static CHelpWindow* Current();

    QTextBrowser* Browser() const { return m_browser; }
    // The anchor shown last; empty for the first topic.
    QString CurrentTopic() const { return m_topic; }

private:
    explicit CHelpWindow(QWidget* parent = nullptr);
    bool Open(const QString& helpFile, const QString& anchor);

    QTextBrowser* m_browser;
    QString m_file;
    QString m_topic;
};
