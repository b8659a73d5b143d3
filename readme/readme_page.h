// The ReadMe page: shows Readme.rtf, read once at start, and installs the test firmware image.
#pragma once

#include <QWidget>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/elevated_copy.h"
#include "platform/platform.h"
#include "readme/firmware_transfer.h"

class QPushButton;
class QTextEdit;

// The document file, looked for in the working directory, then in the installed data folder.
constexpr const char* README_FILE = "Readme.rtf";
// Bytes the view asks for per callback.
constexpr int32_t STREAM_IN_REQUEST = 4096;

// The view's stream-in callback. `cookie` is the address of a std::string_view S holding the
// text not yet handed over; copies min(length of S, cb) bytes of S to `buffer`, stores the
// count in `*delivered` and drops them from the front of S. Returns 0 in every case. The view
// stops asking on the first call that delivers 0 bytes.
uint32_t StreamInCallback(uintptr_t cookie, uint8_t* buffer, int32_t cb, int32_t* delivered);

// The view's side of a stream-in: calls StreamInCallback with `request`-byte buffers until a
// call delivers 0 bytes and returns what was delivered. `pieces`, when given, receives the
// size of every piece, the final 0 included.
std::string StreamIn(std::string_view text, int32_t request = STREAM_IN_REQUEST,
                     std::vector<int32_t>* pieces = nullptr);

// What the user is asked before the copy is handed to the system's elevation: the image's
// full path and size and where it goes.
std::string ElevationQuestion(const std::string& image, long long size, const std::string& target);

class CReadMePage : public QWidget {
  public:
    CReadMePage(QWidget* parent, const platform::Platform& platform);  // reads Readme.rtf
    ~CReadMePage() override;
    // Copies Test.bin to the drivers directory; when the user may not write there, through
    // the platform's elevated copier, whose password prompt the window keeps working beside.
    // A click while a copy runs does nothing.
    void OnTransfer();
    bool TransferRunning() const { return copier != nullptr; }

    // Whether the document was read at construction (false after the error box).
    bool Loaded() const { return loaded; }
    QTextEdit* ReadMeView() const { return readMeView; }
    QPushButton* TransferButton() const { return transferButton; }

  private:
    bool OnInitDialog();
    // The error box; `detail`, when given, follows the text in a paragraph of its own.
    void ShowFileError(const std::string& detail = {});
    // The failure's box: the file, why, and what the system suggests for the target.
    void ShowTransferFailure(const FirmwareTransferResult& result, const std::string& target);
    void StartElevatedCopy(const std::string& source, const std::string& target);
    void FinishElevatedCopy(const platform::ElevatedCopyOutcome& outcome, const std::string& image,
                            const std::string& target);

    platform::Platform platform;  // a copy: the objects it points to outlive the page
    QTextEdit* readMeView = nullptr;
    QPushButton* transferButton = nullptr;
    bool loaded = false;
    platform::CElevatedCopy* copier = nullptr;  // the elevated copy while it runs
};
