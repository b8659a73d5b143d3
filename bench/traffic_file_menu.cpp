// Save and log entries of a traffic view's context menu.
#include "bench/traffic_file_menu.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QMenu>

#include "bench/traffic_file.h"
#include "bench/traffic_view.h"

CTrafficFileMenu::CTrafficFileMenu(TrafficView& view, const QString& channel, ShowBox showBox)
    : QObject(&view), view(view), channel(channel), showBox(std::move(showBox)) {
    chooseFile = [this](const QString& caption, const QString& proposed) {
        return QFileDialog::getSaveFileName(this->view.window(), caption, proposed);
    };
    connect(&view, &TrafficView::ContextMenuRequested, this, &CTrafficFileMenu::AddEntries);
    // This menu is the view's child, destroyed after the view's members: the log stops first.
    connect(&view, &TrafficView::Closing, this, &CTrafficFileMenu::StopLog);
}

CTrafficFileMenu::~CTrafficFileMenu() {
    StopLog();
}

bool CTrafficFileMenu::Logging() const {
    return log != nullptr;
}

void CTrafficFileMenu::AddEntries(QMenu* menu) {
    menu->addSeparator();
    menu->addAction(tr("Save Received Bytes\u2026"), this, &CTrafficFileMenu::SaveBytes);
    menu->addAction(tr("Save Text as Shown\u2026"), this, &CTrafficFileMenu::SaveText);
    if (Logging()) {
        menu->addAction(tr("Stop Logging to %1").arg(QDir::toNativeSeparators(logPath)), this,
                        &CTrafficFileMenu::StopLog);
    } else {
        menu->addAction(tr("Log to File\u2026"), this, &CTrafficFileMenu::StartLog);
    }
}

QString CTrafficFileMenu::Proposed(const QString& suffix) const {
    // A name that says what and when, in the user's home folder: nothing is remembered
    // between runs, not even the folder used last.
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    return QDir::home().filePath(QStringLiteral("palvex-%1-%2.%3").arg(channel, stamp, suffix));
}

void CTrafficFileMenu::SaveBytes() {
    Save(tr("Save Received Bytes"), QStringLiteral("bin"), view.HeldBytes(),
         "The received bytes could not be saved.");
}

void CTrafficFileMenu::SaveText() {
    Save(tr("Save Text as Shown"), QStringLiteral("txt"), view.ShownText().toUtf8(),
         "The text could not be saved.");
}

void CTrafficFileMenu::Save(const QString& title, const QString& suffix, const QByteArray& content,
                            const std::string& failed) {
    // The content was taken before the dialog opens: what the user saw when asking is what
    // is saved.
    const QString path = chooseFile(title, Proposed(suffix));
    QString failure;
    if (!path.isEmpty() && !SaveTrafficBytes(path, content, failure)) {
        showBox(failed + "\n\n" + failure.toStdString(), "Error");
    }
}

void CTrafficFileMenu::StartLog() {
    const QString path = chooseFile(tr("Log to File"), Proposed(QStringLiteral("log")));
    if (path.isEmpty()) {
        return;
    }
    StopLog();
    // A failing write stops the log, not the traffic: the view goes on showing every byte.
    // A failure reported by a log that has since been stopped is not this one's.
    const int generation = ++logGeneration;
    auto started = std::make_unique<CTrafficLog>(this, [this, generation](const QString& failure) {
        if (generation != logGeneration) {
            return;
        }
        StopLog();
        showBox(
            "The log file could not be written; logging has stopped.\n\n" + failure.toStdString(),
            "Error");
    });
    QString failure;
    if (!started->Start(path, failure)) {
        showBox("The log file could not be opened.\n\n" + failure.toStdString(), "Error");
        return;
    }
    log = std::move(started);
    logPath = path;
    CTrafficLog* target = log.get();
    view.SetTap([target](const uint8_t* bytes, size_t count, qint64 arrivalMs) {
        target->Append(bytes, count, arrivalMs);
    });
}

void CTrafficFileMenu::StopLog() {
    if (!log) {
        return;
    }
    // Once SetTap returns no worker is inside Append any more, so the log can go.
    view.SetTap(nullptr);
    log->Stop();
    log.reset();
    ++logGeneration;
    logPath.clear();
}
