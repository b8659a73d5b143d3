// The ReadMe page: template 129 with the document view and the firmware transfer button.
#include "readme/readme_page.h"

#include <QFileInfo>
#include <QLocale>
#include <QPushButton>
#include <QTextCursor>
#include <QTextEdit>
#include <algorithm>
#include <cstring>

#include "platform/elevated_copy.h"
#include "platform/exclusive_file.h"
#include "readme/firmware_copier.h"
#include "readme/rtf_reader.h"
#include "res/dialog_template.h"

namespace {

constexpr int README_TEMPLATE = 129;
constexpr int README_VIEW = 1001;
constexpr int TRANSFER_BUTTON = 1015;
constexpr const char* FILE_ERROR_TEXT = "Something wrong with the file access.";
constexpr const char* FILE_ERROR_CAPTION = "Error";
constexpr const char* CONFIRM_CAPTION = "Transfer";
constexpr std::size_t READ_PIECE = 64 * 1024;

// Reads the whole document under an exclusive lock, up to the reader's size bound; false
// when the file is missing, locked or unreadable.
bool ReadDocument(const std::string& path, std::string& text) {
    const std::unique_ptr<platform::IFileReader> file = platform::OpenExclusive(path);
    if (!file) {
        return false;
    }
    text.clear();
    while (text.size() < RTF_MAX_DOCUMENT_BYTES) {
        const std::size_t offset = text.size();
        text.resize(std::min(offset + READ_PIECE, RTF_MAX_DOCUMENT_BYTES));
        const long long count = file->Read(text.data() + offset, text.size() - offset);
        if (count < 0) {
            return false;
        }
        text.resize(offset + static_cast<std::size_t>(count));
        if (count == 0) {
            break;
        }
    }
    return true;
}

// A path as a line of a box: a control character in a folder's name (a line break could fake
// another line of the box) is shown as \xNN.
std::string VisiblePath(const std::string& path) {
    std::string shown;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            static constexpr char HEX[] = "0123456789ABCDEF";
            shown += {'\\', 'x', HEX[byte >> 4], HEX[byte & 15]};
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace

std::string ElevationQuestion(const std::string& image, long long size, const std::string& target) {
    return "Only an administrator may write " + VisiblePath(target) +
           ". The system will ask for an administrator's password or consent to copy this "
           "firmware image there:\n\n" +
           VisiblePath(image) + "\n" + QLocale(QLocale::English).toString(size).toStdString() +
           " bytes\n\nCopy this image?";
}

uint32_t StreamInCallback(uintptr_t cookie, uint8_t* buffer, int32_t cb, int32_t* delivered) {
    auto* rest = reinterpret_cast<std::string_view*>(cookie);
    const std::size_t count = cb > 0 ? std::min(rest->size(), static_cast<std::size_t>(cb)) : 0;
    if (count > 0) {
        std::memcpy(buffer, rest->data(), count);
    }
    rest->remove_prefix(count);
    *delivered = static_cast<int32_t>(count);
    return 0;
}

std::string StreamIn(std::string_view text, int32_t request, std::vector<int32_t>* pieces) {
    std::string_view rest = text;
    std::vector<uint8_t> buffer(static_cast<std::size_t>(std::max(request, 0)));
    std::string collected;
    collected.reserve(text.size());
    for (;;) {
        int32_t delivered = 0;
        StreamInCallback(reinterpret_cast<uintptr_t>(&rest), buffer.data(), request, &delivered);
        if (pieces != nullptr) {
            pieces->push_back(delivered);
        }
        if (delivered <= 0) {
            return collected;
        }
        collected.append(reinterpret_cast<const char*>(buffer.data()),
                         static_cast<std::size_t>(std::min(delivered, request)));
    }
}

CReadMePage::CReadMePage(QWidget* parent, const platform::Platform& platform)
    : QWidget(parent), platform(platform) {
    OnInitDialog();
}

CReadMePage::~CReadMePage() = default;

bool CReadMePage::OnInitDialog() {
    const std::map<int, QWidget*> controls = BuildDialog(README_TEMPLATE, *this);
    const auto view = controls.find(README_VIEW);
    const auto button = controls.find(TRANSFER_BUTTON);
    readMeView = view != controls.end() ? qobject_cast<QTextEdit*>(view->second) : nullptr;
    transferButton =
        button != controls.end() ? qobject_cast<QPushButton*>(button->second) : nullptr;
    if (readMeView == nullptr) {
        readMeView = new QTextEdit(this);
    }
    if (transferButton == nullptr) {
        transferButton =
            new QPushButton(QStringLiteral("Transfer testing BIN code to  AppLoader DIR"), this);
    }
    readMeView->setReadOnly(true);
    readMeView->setAccessibleName(QStringLiteral("ReadMe"));
    connect(transferButton, &QPushButton::clicked, this, &CReadMePage::OnTransfer);

    std::string text;
    if (!ReadDocument(platform::FindDocument(README_FILE, platform.documentFolders), text)) {
        ShowFileError();
        return false;
    }
    // A zero byte ends the text.
    text.resize(std::strlen(text.c_str()));
    const std::string delivered = StreamIn(text);
    ReadRtf(delivered, *readMeView->document());
    readMeView->moveCursor(QTextCursor::Start);
    loaded = true;
    return true;
}

void CReadMePage::OnTransfer() {
    if (copier != nullptr) {
        return;
    }
    const std::string source = platform::FindDocument(FIRMWARE_SOURCE, platform.documentFolders);
    const std::string target = FirmwareTargetPath(platform.driversDirectory);
    const FirmwareTransferResult result = TransferFirmware(source, target);
    if (!result.done && result.denied && !platform.elevatedCopier.empty()) {
        StartElevatedCopy(source, target);
    } else if (!result.done) {
        ShowTransferFailure(result, target);
    }
}

void CReadMePage::ShowTransferFailure(const FirmwareTransferResult& result,
                                      const std::string& target) {
    // Which file and why, below the usual text: "/lib/firmware/kitboard.bin: Permission
    // denied" tells the user what to do about it; where the system has more to say about the
    // target's folder, that follows.
    std::string detail = result.path.empty() ? result.reason : result.path + ": " + result.reason;
    if (!target.empty() && result.path == platform::AbsolutePath(target) &&
        !platform.driversRemedy.empty()) {
        detail += "\n\n" + platform.driversRemedy;
    }
    ShowFileError(detail);
}

void CReadMePage::StartElevatedCopy(const std::string& source, const std::string& target) {
    // The copier is handed the image as an open file and takes no path, so it can write nothing
    // but the target it knows.
    const std::string image = platform::AbsolutePath(source);
    // The system's prompt names only the copier: whoever gives the rights must first see which
    // file they are given for (a Test.bin in the working directory wins over the installed one).
    const long long size = QFileInfo(QString::fromStdString(image)).size();
    if (platform.messageBoxes == nullptr ||
        !platform.messageBoxes->Ask(ElevationQuestion(image, size, target), CONFIRM_CAPTION,
                                    this)) {
        return;
    }
    transferButton->setEnabled(false);
    copier = new platform::CElevatedCopy(
        this, platform.elevatedCopier, image,
        [this, image, target](const platform::ElevatedCopyOutcome& outcome) {
            copier->deleteLater();
            copier = nullptr;
            transferButton->setEnabled(true);
            FinishElevatedCopy(outcome, image, target);
        });
}

void CReadMePage::FinishElevatedCopy(const platform::ElevatedCopyOutcome& outcome,
                                     const std::string& image, const std::string& target) {
    const int code = outcome.exitCode;
    if (outcome.started && code == COPIER_DONE) {
        return;
    }
    const std::string path = code == COPIER_IMAGE_REFUSED ? image : platform::AbsolutePath(target);
    std::string reason;
    if (code == COPIER_IMAGE_REFUSED || code == COPIER_TARGET_REFUSED ||
        code == COPIER_WRITE_FAILED) {
        reason = outcome.said;
    } else if (code == platform::ELEVATION_DISMISSED) {
        reason = "The request for the right to write here was dismissed";
    } else {
        // No right given, no way to ask for it, or no copier: say what the system said, and
        // how an administrator copies the image by hand.
        if (!outcome.started) {
            reason = platform.elevatedCopier.front() + " could not be started";
            reason += outcome.said.empty() ? "" : ": " + outcome.said;
        } else {
            reason = outcome.said.empty() ? "The copy with an administrator's rights failed"
                                          : outcome.said;
        }
        reason += "\n\n" + platform::CopyByHandText(image, target);
    }
    // The system's remedy is for a copy without the right; this one had it.
    ShowFileError(path + ": " + reason);
}

void CReadMePage::ShowFileError(const std::string& detail) {
    if (platform.messageBoxes != nullptr) {
        const std::string text =
            detail.empty() ? FILE_ERROR_TEXT : FILE_ERROR_TEXT + ("\n\n" + detail);
        platform.messageBoxes->ShowOwned(text, FILE_ERROR_CAPTION, this);
    }
}
