#pragma once

#include <QString>

// Where engine code sends a text that the user must see. The window implements it with a
// "Trellion" message box on the UI thread; callers may be on any thread and are not blocked.
class INotice {
public:
    virtual ~INotice() = default;
    virtual void ShowNotice(const QString& text) = 0;
};
