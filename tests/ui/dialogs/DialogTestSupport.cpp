#include "tests/ui/dialogs/DialogTestSupport.h"

#include "settings/SettingsStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

namespace DialogTest {

void RecordingPrompt::Tell(QWidget*, const QString& text) {
    boxes.append({false, text, QApplication::focusWidget()});
    if (onBox)
        onBox(boxes.constLast());
}

bool RecordingPrompt::Ask(QWidget*, const QString& text) {
    boxes.append({true, text, QApplication::focusWidget()});
    if (onBox)
        onBox(boxes.constLast());
    return answers.isEmpty() ? true : answers.takeFirst();
}

QStringList RecordingPrompt::Texts() const {
    QStringList texts;
    for (const Box& box : boxes)
        texts << box.text;
    return texts;
}

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

bool WaitWithoutEvents(const std::function<bool()>& pred, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(2);
    }
    return true;
}

void ResetSettingsStore() {
    QFile::remove(SettingsStore::FilePath());
}

QStringList WriteLog(const QString& path, int count, bool lastLineEnd) {
    QStringList lines;
    lines.reserve(count);
    QByteArray data;
    for (int i = 0; i < count; ++i) {
        const QString line = QStringLiteral("<12/06/2003 14:05:09> line %1 of the log, Database %2")
                                 .arg(i)
                                 .arg(i % 4 + 1);
        lines << line;
        data += line.toUtf8();
        if (lastLineEnd || i + 1 < count)
            data += "\r\n";
    }
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(data);
    return lines;
}

} // namespace DialogTest
