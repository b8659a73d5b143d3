// The self-closing notice that tells the user the Kit is missing, and the About box.
#pragma once

#include <QDialog>
#include <string>

class QLabel;

// Template 131: shows the template's text, after 10 ms the caller's text, and closes itself
// with OK 2000 ms later. Run with exec().
class CKitNoticeDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int NOTICE_TIMER = 1004;
    static constexpr int FIRST_TICK_MS = 10;
    static constexpr int SHOW_MS = 2000;

    explicit CKitNoticeDlg(QWidget* parent = nullptr);
    ~CKitNoticeDlg() override;
    void SetNoticeText(const std::string& text);  // single-byte ANSI, shown as plain text
    QString Text() const;                         // what the message control shows now
    // palvex-sim: notices without an owner of their own belong to this window (the main
    // window) and block only it, not every window of the program, so the Simulated Kit
    // window stays usable; null, the default, blocks all.
    static void SetBlockedWindow(QWidget* window);

  protected:
    void showEvent(QShowEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    QLabel* messageControl = nullptr;
    QString noticeText;
    int tickCount = 0;
    int timerId = 0;
};

// Template 100: the program's icon, its version line and OK. Run with exec().
class CAboutBox : public QDialog {
    Q_OBJECT
  public:
    CAboutBox();
    ~CAboutBox() override;
};
