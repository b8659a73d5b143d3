// Saving a channel's traffic to a file, and logging it as it arrives on a writer thread.
#include "bench/traffic_file.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <chrono>

#include "bench/ansi_text.h"
#include "platform/exclusive_file.h"
#include "platform/log_output.h"

namespace {

QString Failure(const QString& path, const QString& reason) {
    return QFileInfo(path).absoluteFilePath() + QStringLiteral(": ") + reason;
}

bool Save(const QString& path, const char* data, size_t size, QString& failure) {
    std::string reason;
    const std::unique_ptr<platform::IFileWriter> writer =
        platform::CreateReplacement(path.toStdString(), &reason);
    if (!writer) {
        failure = Failure(path, QString::fromStdString(reason));
        return false;
    }
    // Destroyed without a Commit, the writer removes its temporary file.
    if (!writer->Write(data, size) || !writer->Commit()) {
        failure = Failure(path, QString::fromStdString(writer->FailureText()));
        return false;
    }
    return true;
}

}  // namespace

bool SaveTrafficBytes(const QString& path, const QByteArray& bytes, QString& failure) {
    return Save(path, bytes.constData(), static_cast<size_t>(bytes.size()), failure);
}

CTrafficLog::CTrafficLog(QObject* context, std::function<void(const QString&)> onFailure)
    : context(context), onFailure(std::move(onFailure)) {}

CTrafficLog::~CTrafficLog() {
    Stop();
}

bool CTrafficLog::Start(const QString& path, QString& failure) {
    Stop();
    std::string reason;
    std::unique_ptr<platform::ILogOutput> output =
        platform::OpenLogOutput(path.toStdString(), &reason);
    if (!output) {
        failure = Failure(path, QString::fromStdString(reason));
        return false;
    }
    // A line an earlier log left open is ended, so this log's first stamp starts a line. A
    // pipe or a device has no earlier content to look at.
    const QFileInfo target(path);
    if (target.isFile() && target.size() > 0) {
        QFile earlier(path);
        if (earlier.open(QIODevice::ReadOnly) && earlier.seek(target.size() - 1) &&
            earlier.read(1) != "\n") {
            output->Write("\n", 1, [](int64_t) { return false; });
        }
    }
    {
        std::lock_guard<std::mutex> hold(queueMutex);
        queue.clear();
        queued = 0;
        dropped = 0;
        stopping = false;
        accepting = true;
    }
    lineOpen = false;
    lastWasCr = false;
    failed = false;
    writer = std::thread(&CTrafficLog::WriterLoop, this, std::move(output),
                         QFileInfo(path).absoluteFilePath());
    return true;
}

void CTrafficLog::Stop() {
    {
        std::lock_guard<std::mutex> hold(queueMutex);
        accepting = false;
        stopping = true;
    }
    wake.notify_all();
    if (writer.joinable()) {
        writer.join();
    }
}

bool CTrafficLog::Running() const {
    std::lock_guard<std::mutex> hold(queueMutex);
    return accepting;
}

void CTrafficLog::Append(const uint8_t* bytes, size_t count, int64_t arrivalMs) {
    if (count == 0) {
        return;
    }
    bool idle = false;
    {
        std::lock_guard<std::mutex> hold(queueMutex);
        if (!accepting) {
            return;
        }
        // The writer sleeps only while there is nothing to write; later appends need not
        // wake it.
        idle = queue.empty() && dropped == 0;
        // Once bytes are dropped, later ones are too until the writer catches up, so the
        // log's note stands where the gap is.
        if (dropped > 0 || queued + count > LOG_QUEUE_LIMIT || queue.size() >= LOG_QUEUE_CHUNKS) {
            if (dropped == 0) {
                firstDropMs = arrivalMs;
            }
            dropped += count;
        } else {
            queue.push_back({std::string(reinterpret_cast<const char*>(bytes), count), arrivalMs});
            queued += count;
        }
    }
    if (idle) {
        wake.notify_one();
    }
}

void CTrafficLog::WriterLoop(std::unique_ptr<platform::ILogOutput> output, QString shownPath) {
    // A reader that stops taking the log holds the writer while the log runs (appends are
    // dropped and counted meanwhile), and only LOG_STOP_MS longer once it is stopped.
    const platform::ILogOutput::KeepWaiting keepWaiting = [this](int64_t stalledMs) {
        std::lock_guard<std::mutex> hold(queueMutex);
        return !stopping || stalledMs < LOG_STOP_MS;
    };
    std::vector<Chunk> batch;
    std::string text;
    for (;;) {
        uint64_t lost = 0;
        int64_t lostAtMs = 0;
        bool last = false;
        {
            std::unique_lock<std::mutex> hold(queueMutex);
            wake.wait(hold, [this] { return stopping || !queue.empty() || dropped > 0; });
            if (!stopping) {
                // Gather what comes meanwhile: one write per LOG_WRITE_MS at most.
                wake.wait_for(hold, std::chrono::milliseconds(LOG_WRITE_MS),
                              [this] { return stopping; });
            }
            batch.swap(queue);
            queued = 0;
            lost = std::exchange(dropped, 0);
            lostAtMs = firstDropMs;
            last = stopping;
        }
        text.clear();
        Format(batch, text);
        batch.clear();
        if (lost > 0) {
            if (lineOpen) {
                text += '\n';
                lineOpen = false;
            }
            AppendStamp(lostAtMs, text);
            // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) on "[" + string.
            text += '[';
            text += std::to_string(lost);
            text += " bytes not logged: the disk did not keep up]\n";
        }
        if (!text.empty() && !output->Write(text.data(), text.size(), keepWaiting)) {
            Fail(shownPath, output->FailureText());
        }
        if (last) {
            break;
        }
    }
}

void CTrafficLog::Format(const std::vector<Chunk>& chunks, std::string& out) {
    for (const Chunk& chunk : chunks) {
        QString line;
        for (const char c : chunk.bytes) {
            const auto byte = static_cast<uint8_t>(c);
            if (byte == 0) {
                continue;  // adds nothing, also between the CR and LF of a line end
            }
            const bool wasCr = std::exchange(lastWasCr, byte == '\r');
            if (byte == '\n' && wasCr) {
                continue;  // the LF of a CR LF
            }
            if (byte == '\r' || byte == '\n') {
                if (!lineOpen) {
                    AppendStamp(chunk.arrivalMs, out);  // an empty line has its time too
                }
                out += line.toUtf8().toStdString() + '\n';
                line.clear();
                lineOpen = false;
                continue;
            }
            if (!lineOpen) {
                AppendStamp(chunk.arrivalMs, out);
                lineOpen = true;
            }
            // As the view draws it: a log shown by cat or tail -f replays no terminal control.
            line.append(ShownChar(CharFromAnsi(byte)));
        }
        out += line.toUtf8().toStdString();
    }
}

void CTrafficLog::AppendStamp(int64_t ms, std::string& out) {
    const int64_t second = ms / 1000;
    if (second != stampSecond) {
        stampSecond = second;
        stampPrefix = QDateTime::fromMSecsSinceEpoch(second * 1000)
                          .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss."))
                          .toStdString();
    }
    const int64_t milli = ms % 1000;
    out += stampPrefix;
    out += static_cast<char>('0' + milli / 100);
    out += static_cast<char>('0' + milli / 10 % 10);
    out += static_cast<char>('0' + milli % 10);
    out += "  ";
}

void CTrafficLog::Fail(const QString& shownPath, const std::string& reason) {
    if (std::exchange(failed, true) || context == nullptr || !onFailure) {
        return;
    }
    const QString text = Failure(shownPath, QString::fromStdString(reason));
    QMetaObject::invokeMethod(
        context, [callback = onFailure, text] { callback(text); }, Qt::QueuedConnection);
}
