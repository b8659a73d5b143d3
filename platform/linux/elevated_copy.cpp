// The elevated copier on Linux: pkexec (or whatever ElevatedCopier names) as a QProcess, the
// image as its standard input, its error output kept for the reason.
#include "platform/elevated_copy.h"

#include <QProcess>
#include <QStringList>

namespace platform {

struct CElevatedCopy::State {
    QProcess* process = nullptr;
    bool ended = false;
};

CElevatedCopy::CElevatedCopy(QObject* parent, const std::vector<std::string>& command,
                             const std::string& image,
                             std::function<void(const ElevatedCopyOutcome&)> done)
    : QObject(parent), state(std::make_shared<State>()) {
    QProcess* const process = new QProcess(this);
    state->process = process;
    process->setProgram(QString::fromStdString(command.empty() ? std::string() : command.front()));
    QStringList arguments;
    for (std::size_t i = 1; i < command.size(); ++i) {
        arguments << QString::fromStdString(command[i]);
    }
    process->setArguments(arguments);
    process->setStandardInputFile(QString::fromStdString(image));
    process->setStandardOutputFile(QProcess::nullDevice());
    // Either signal ends it, once: a process that failed to start never finishes.
    const auto finish = [process, state = state.get(), done = std::move(done)] {
        if (state->ended) {
            return;
        }
        state->ended = true;
        ElevatedCopyOutcome outcome;
        outcome.started = process->error() != QProcess::FailedToStart;
        outcome.exitCode = process->exitStatus() == QProcess::NormalExit && outcome.started
                               ? process->exitCode()
                               : -1;
        const QStringList lines =
            QString::fromLocal8Bit(process->readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        outcome.said = lines.isEmpty() ? std::string() : lines.back().trimmed().toStdString();
        done(outcome);
    };
    // Queued: QProcess reports some failures to start from within start(), and the caller
    // must have its object back before it hears the end.
    connect(process, &QProcess::finished, this, finish, Qt::QueuedConnection);
    connect(
        process, &QProcess::errorOccurred, this,
        [finish](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart) {
                finish();
            }
        },
        Qt::QueuedConnection);
    process->start();
}

CElevatedCopy::~CElevatedCopy() {
    // pkexec still asking for the password can be ended; the copier it became, running as
    // root, cannot be, but takes no time. The signals go with this object, so `done` never runs.
    QProcess* const process = state->process;
    disconnect(process, nullptr, this, nullptr);
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(1000);
    }
}

namespace {

// One word for a POSIX shell whatever it holds: in single quotes nothing is special but the
// quote itself, which ends the quoting, is written escaped, and starts it again.
std::string ShellWord(const std::string& text) {
    std::string word = "'";
    for (const char c : text) {
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return word + "'";
}

}  // namespace

std::string CopyByHandText(const std::string& image, const std::string& target) {
    // An administrator pastes this into a root shell: the folder names are the user's.
    return "To copy it by hand, as root: install -m 644 " + ShellWord(image) + " " +
           ShellWord(target);
}

}  // namespace platform
