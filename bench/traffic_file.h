// Files made from a channel's traffic: what was received saved at once, and a log that
// follows the traffic from now on.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Writes the bytes to `path`, replacing a file there whole or not at all: a failure leaves
// the old file as it was. False with "path: the system's reason" in `failure`.
bool SaveTrafficBytes(const QString& path, const QByteArray& bytes, QString& failure);

// A log of one channel's traffic, appended to a file as it arrives: each line starts with
// its arrival time. Start and Stop on the GUI thread; Append from any thread, never waiting
// for the disk: a writer thread takes the queued bytes and writes them within
// LOG_WRITE_MS, so a crash loses at most the last second. A disk that falls behind makes
// Append drop bytes beyond LOG_QUEUE_LIMIT, and the log says how many.
namespace platform {
class ILogOutput;
}

class CTrafficLog {
  public:
    // How long the writer gathers bytes before it writes them.
    static constexpr int LOG_WRITE_MS = 200;
    // Bytes waiting for the disk beyond this are dropped (and counted).
    static constexpr size_t LOG_QUEUE_LIMIT = 1 << 20;
    // And so are chunks beyond this many, however small.
    static constexpr size_t LOG_QUEUE_CHUNKS = 1 << 14;
    // How long Stop waits for a pipe's reader that takes nothing more before the last
    // bytes are given up.
    static constexpr int64_t LOG_STOP_MS = 500;

    // A write failure is reported once per Start by calling `onFailure` with
    // "path: the system's reason" on `context`'s thread (queued). The context outlives the
    // log, or at least its Stop; a call still queued when the context goes is dropped.
    CTrafficLog(QObject* context, std::function<void(const QString&)> onFailure);
    ~CTrafficLog();  // stops

    // Opens `path` to append to (an earlier log there is kept) and starts the writer. False
    // with "path: the system's reason" in `failure` when it cannot be opened. A running log
    // is stopped first.
    bool Start(const QString& path, QString& failure);
    // Writes what is queued, closes the file and joins the writer: within LOG_STOP_MS and a
    // moment, also when the file is a pipe whose reader has stopped reading.
    void Stop();
    bool Running() const;

    // Any thread: received bytes, with the time they arrived (ms since the epoch). Bytes are
    // shown as the traffic view shows them (Windows-1252, written as UTF-8; control bytes as
    // their pictures, see ShownChar; CR, LF and CR LF end a line; a zero byte adds nothing).
    void Append(const uint8_t* bytes, size_t count, int64_t arrivalMs);

  private:
    struct Chunk {
        std::string bytes;
        int64_t arrivalMs = 0;
    };
    void WriterLoop(std::unique_ptr<platform::ILogOutput> output, QString shownPath);
    // Turns chunks into the log's text; lineOpen and lastWasCr carry over between batches.
    void Format(const std::vector<Chunk>& chunks, std::string& out);
    // Reports the first failure of this log.
    void Fail(const QString& shownPath, const std::string& reason);
    // "yyyy-MM-dd hh:mm:ss.zzz  " for a line starting at `ms`; the date and time up to the
    // second are made once per second, so a flood of short lines stays cheap to stamp.
    void AppendStamp(int64_t ms, std::string& out);

    QObject* context;
    std::function<void(const QString&)> onFailure;
    std::thread writer;

    mutable std::mutex queueMutex;  // guards the members down to wake
    std::vector<Chunk> queue;
    size_t queued = 0;        // bytes in queue
    uint64_t dropped = 0;     // bytes dropped since the writer last took the queue
    int64_t firstDropMs = 0;  // arrival of the first of them
    bool accepting = false;   // between Start and Stop
    bool stopping = false;
    std::condition_variable wake;

    // The writer thread's own state.
    bool lineOpen = false;     // the last line has its time stamp and no line end yet
    bool lastWasCr = false;    // a CR LF split between chunks is one line end
    bool failed = false;       // reported already
    int64_t stampSecond = -1;  // the second stampPrefix is of
    std::string stampPrefix;   // "yyyy-MM-dd hh:mm:ss."
};
