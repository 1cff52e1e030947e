#pragma once

#include <QByteArray>
#include <QList>

#include <atomic>
#include <mutex>
#include <thread>

// A TCP peer on 127.0.0.1 that plays a fixed script against one SMTP client connection: for
// replies no real server gives on demand (refusals at a chosen step, replies in pieces, binary
// or endless replies, silence, a dropped connection). It records what the client sent.
class ScriptedSmtpPeer {
public:
    struct Step {
        enum class Kind { Say, Hear, HearData, Pause, Hang, Drop };
        Kind kind;
        QByteArray text;
        int ms = 0;
    };
    static Step Say(const QByteArray& text) { return {Step::Kind::Say, text}; }
    // One command line from the client, recorded without its line end.
    static Step Hear() { return {Step::Kind::Hear, {}}; }
    // The message text after DATA, recorded whole up to and including "\r\n.\r\n".
    static Step HearData() { return {Step::Kind::HearData, {}}; }
    static Step Pause(int ms) { return {Step::Kind::Pause, {}, ms}; }
    // Says nothing more; waits until the client gives up and closes.
    static Step Hang() { return {Step::Kind::Hang, {}}; }
    // Closes the connection at once.
    static Step Drop() { return {Step::Kind::Drop, {}}; }

    ScriptedSmtpPeer();
    ~ScriptedSmtpPeer();
    ScriptedSmtpPeer(const ScriptedSmtpPeer&) = delete;
    ScriptedSmtpPeer& operator=(const ScriptedSmtpPeer&) = delete;

    // Listens on a free port and plays `script` to the first client. After the script the
    // peer keeps reading (recording any further lines) until the client closes.
    bool Start(const QList<Step>& script);
    int Port() const { return m_port; }

    // Waits until the client has closed the connection (or the script failed) and returns
    // everything heard, in order.
    QList<QByteArray> Finish(int timeoutMs = 60000);
    // Whether a client connected at all.
    bool Accepted() const { return m_accepted; }

private:
    void Run(QList<Step> script);
    bool ReadMore(int fd, int timeoutMs);

    int m_listenFd = -1;
    int m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_accepted{false};
    mutable std::mutex m_mutex;
    QList<QByteArray> m_heard;
    QByteArray m_buffer; // only touched by the peer thread
};
