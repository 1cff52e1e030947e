#pragma once

#include "platform/Notice.h"

#include <QPointer>
#include <QWidget>

// Shows notices as "Trellion" message boxes on the UI thread. The caller, on any thread, only
// queues the text: a poll or a mail send never waits for the user to press OK. The box is
// queued on the application object, so a notice from a poll that outlives the window is safe;
// it is dropped then, as the program is ending. A text already waiting in an open box is not
// shown twice.
class CNoticeBox : public INotice {
public:
    explicit CNoticeBox(QWidget* parent);
    void ShowNotice(const QString& text) override;

    // The object name of every notice box (tests find them by it).
    static constexpr const char* kObjectName = "TrellionNotice";

private:
    QPointer<QWidget> m_parent;
    bool m_owned;
};
