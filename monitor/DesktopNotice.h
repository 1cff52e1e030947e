#pragma once

#include <QString>

// A second alert channel beside the mail: a notice on the user's desktop. Called from poll
// threads; an implementation returns at once, so that a poll never waits for the desktop.
class IDesktopNotifier {
public:
    enum class Urgency { Normal, Critical };

    virtual ~IDesktopNotifier() = default;
    virtual void Notify(const QString& summary, const QString& body, Urgency urgency) = 0;
};
