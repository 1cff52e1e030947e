#pragma once

#include "platform/Notice.h"

#include <QPointer>
#include <QWidget>

#include <memory>

class NoticePump;

// Shows notices as "Trellion" message boxes on the UI thread. The caller, on any thread, only
// queues the text: a poll or a mail send never waits for the user to press OK. The texts cross
// in a queue under a mutex, with a bare wake-up through the event loop, so the thread checker
// sees the hand-off. A notice from a poll that outlives the window is dropped, as the program is
// ending then. A text already waiting in an open box is not shown twice.
class CNoticeBox : public INotice {
public:
    // Made on the UI thread; may be destroyed on any.
    explicit CNoticeBox(QWidget* parent);
    ~CNoticeBox() override;
    CNoticeBox(const CNoticeBox&) = delete;
    CNoticeBox& operator=(const CNoticeBox&) = delete;

    void ShowNotice(const QString& text) override;

    // The window the boxes belong to, made after the notice: boxes open over it, and texts that
    // come after it has gone are dropped. UI thread.
    void SetOwner(QWidget* owner);

    // The object name of every notice box (tests find them by it).
    static constexpr const char* kObjectName = "TrellionNotice";

private:
    NoticePump* m_pump; // lives on the UI thread, owned by the application object
};
