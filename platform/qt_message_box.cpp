// Message boxes from any thread on Qt: the GUI thread shows the box itself; a worker thread
// asks the GUI thread to show it and sleeps until the user has closed it.
#include "platform/qt_message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

struct CQtMessageBoxSink::State {
    std::mutex mutex;
    std::condition_variable done;
    bool shutDown = false;                  // guarded by mutex
    uint64_t epoch = 0;                     // guarded by mutex; each Shutdown starts a new one
    bool ownerModal = false;                // GUI thread only
    std::atomic<int> openBoxes{0};          // GUI thread writes, anyone reads
    std::atomic<int> queuedRequests{0};     // posted by workers, taken by the GUI thread
    std::atomic<bool> shutDownFlag{false};  // mirror of shutDown for lock-free reads
    QPointer<QWidget> mainWindow;           // GUI thread only
};

namespace {

// Texts arrive as UTF-8 on every system: the OS's error texts on Linux come in the user's
// locale, which is UTF-8, and the Windows backends convert the system's wide texts; the
// program's own are ASCII.
QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool OnGuiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

// Runs one box on the GUI thread and returns when the user has closed it. Qt centres a box
// over its owner's window; one without an owner goes to the middle of the screen, which is
// also where the main window first appears.
// Returns the button the user chose; NoButton when the box went with its owner.
QMessageBox::StandardButton RunBox(CQtMessageBoxSink::State& state, const QString& text,
                                   const QString& caption, QWidget* owner,
                                   QMessageBox::Icon icon = QMessageBox::Information,
                                   QMessageBox::StandardButtons buttons = QMessageBox::Ok) {
    QWidget* parent = owner != nullptr ? owner : state.mainWindow.data();
    if (parent != nullptr && !parent->window()->isVisible()) {
        parent = nullptr;
    }
    // On the heap: an owner that goes while the box is open takes the box with it.
    QPointer<QMessageBox> box = new QMessageBox(icon, caption, text, buttons, parent);
    // Texts may carry what a board or a device sent; "<b>" in them is text, not markup.
    box->setTextFormat(Qt::PlainText);
    if (state.ownerModal && parent != nullptr) {
        box->setWindowModality(Qt::WindowModal);
    }
    ++state.openBoxes;
    box->exec();
    --state.openBoxes;
    const QMessageBox::StandardButton chosen =
        box ? box->standardButton(box->clickedButton()) : QMessageBox::NoButton;
    delete box.data();
    return chosen;
}

}  // namespace

CQtMessageBoxSink::CQtMessageBoxSink() : state(std::make_shared<State>()) {}

CQtMessageBoxSink::~CQtMessageBoxSink() {
    Shutdown();
}

void CQtMessageBoxSink::SetMainWindow(QWidget* window) {
    state->mainWindow = window;
}

void CQtMessageBoxSink::SetOwnerModal(bool ownerModal) {
    state->ownerModal = ownerModal;
}

void CQtMessageBoxSink::Show(const std::string& text, const std::string& caption) {
    ShowOwned(text, caption, nullptr);
}

void CQtMessageBoxSink::ShowOwned(const std::string& text, const std::string& caption,
                                  QWidget* owner) {
    if (state->shutDownFlag.load()) {
        return;
    }
    const QString boxText = FromUtf8(text);
    const QString boxCaption = FromUtf8(caption);
    if (OnGuiThread()) {
        RunBox(*state, boxText, boxCaption, owner);
        return;
    }
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        return;  // no GUI thread to show it
    }

    // One request: the worker sleeps on the condition variable until the GUI thread has
    // run the box or the sink shuts down. The request and the state are shared, so a
    // request still queued when the worker has gone does no harm.
    struct Request {
        bool finished = false;  // guarded by the state's mutex
    };
    auto request = std::make_shared<Request>();
    std::shared_ptr<State> shared = state;
    uint64_t epoch;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        epoch = state->epoch;
    }
    ++state->queuedRequests;
    QMetaObject::invokeMethod(
        app,
        [shared, request, boxText, boxCaption, owner, epoch]() {
            --shared->queuedRequests;
            bool skip;
            {
                // A request from before a Shutdown may name an owner that has gone since.
                std::lock_guard<std::mutex> lock(shared->mutex);
                skip = shared->shutDown || shared->epoch != epoch;
            }
            if (!skip) {
                RunBox(*shared, boxText, boxCaption, owner);
            }
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                request->finished = true;
            }
            shared->done.notify_all();
        },
        Qt::QueuedConnection);

    std::unique_lock<std::mutex> lock(state->mutex);
    state->done.wait(lock,
                     [&] { return request->finished || state->shutDown || state->epoch != epoch; });
}

bool CQtMessageBoxSink::Ask(const std::string& text, const std::string& caption, QWidget* owner) {
    if (state->shutDownFlag.load() || !OnGuiThread()) {
        return false;
    }
    return RunBox(*state, FromUtf8(text), FromUtf8(caption), owner, QMessageBox::Question,
                  QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void CQtMessageBoxSink::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->shutDown = true;
        ++state->epoch;
        state->shutDownFlag.store(true);
    }
    state->done.notify_all();
}

void CQtMessageBoxSink::Resume() {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->shutDown = false;
    state->shutDownFlag.store(false);
}

bool CQtMessageBoxSink::IsShutDown() const {
    return state->shutDownFlag.load();
}

int CQtMessageBoxSink::OpenBoxes() const {
    return state->openBoxes.load();
}

int CQtMessageBoxSink::QueuedRequests() const {
    return state->queuedRequests.load();
}
