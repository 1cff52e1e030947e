#pragma once

#include <QString>

// A second alert channel beside the mail: a notice on the user's desktop. Called from poll
// threads; an implementation returns at once, so that a poll never waits for the desktop.
class IDesktopNotifier {
public:
    enum class Urgency { Normal, Critical };

    virtual ~IDesktopNotifier() = default;
    // A notice with a key replaces the one shown last with the same key (a recovery takes the
    // place of its alert); without a key it stands alone.
    virtual void Notify(const QString& summary, const QString& body, Urgency urgency,
                        const QString& key = {}) = 0;
};
