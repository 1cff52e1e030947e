#pragma once

#include "platform/Notice.h"

#include <QStringList>

#include <mutex>

// Keeps every notice the client raises, from whichever thread.
class RecordingNotice : public INotice {
public:
    void ShowNotice(const QString& text) override {
        std::lock_guard lock(m_mutex);
        m_texts << text;
    }
    QStringList Texts() const {
        std::lock_guard lock(m_mutex);
        return m_texts;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_texts;
};
