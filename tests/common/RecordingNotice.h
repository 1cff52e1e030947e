#pragma once

#include "platform/Notice.h"

#include <QStringList>

#include <mutex>

// Keeps every notice raised, from whichever thread, for the tests to read.
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
