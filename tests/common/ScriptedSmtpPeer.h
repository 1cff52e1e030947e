#pragma once

#include "tests/common/SilentListener.h"

#include <QList>

#include <atomic>
#include <mutex>
#include <thread>

// A TCP peer on 127.0.0.1 that plays a script to one SMTP client, for what no real server does
// on demand (a refusal at a chosen step, replies in pieces, silence, a dropped connection), and
// records what the client sent. A step is a text to say or one of the markers below; after the
// script (unless it dropped) the peer stays silent and records lines until the client closes.
class ScriptedSmtpPeer {
public:
    static inline const QByteArray kHear = "<hear>";   // one line, recorded without CR LF
    static inline const QByteArray kData = "<data>";   // the message, up to "\r\n.\r\n"
    static inline const QByteArray kPause = "<pause>"; // a tenth of a second
    static inline const QByteArray kDrop = "<drop>";   // closes the connection

    explicit ScriptedSmtpPeer(const QList<QByteArray>& script);
    ~ScriptedSmtpPeer();
    int Port() const { return m_listener.Port(); }
    // Waits (a minute at most) until the client has closed; everything heard, in order.
    QList<QByteArray> Finish();

private:
    void Run(const QList<QByteArray>& script);
    SilentListener m_listener;
    std::atomic<int> m_fd{-1};
    std::atomic<bool> m_done{false};
    std::mutex m_mutex;
    QList<QByteArray> m_heard;
    std::thread m_thread;
};
