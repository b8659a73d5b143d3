// The main window's status bar of three panes, reached from anywhere on the GUI thread.
#pragma once

#include <QStatusBar>
#include <array>
#include <string>

class QLabel;

// Pane 0: serial link state; pane 1: COM port and line settings; pane 2: firmware version.
class CStatusBar : public QStatusBar {
    Q_OBJECT
  public:
    static constexpr int PANE_COUNT = 3;
    static constexpr int PANE0_WIDTH = 150;
    static constexpr int PANE1_MARGIN = 400;  // pane 1 is the client width less this

    // Panes start with the string table's texts 102, 103 and 104; pane 1 takes
    // clientWidth - 400 pixels and pane 2 the rest. Registers itself as g_statusBar, and as
    // the page's host: its panes, and the Kit notice, which belongs to the same window.
    CStatusBar(QWidget* parent, int clientWidth);
    ~CStatusBar() override;

    void SetPane(int pane, const QString& text);
    QLabel* Pane(int pane) const;

  private:
    std::array<QLabel*, PANE_COUNT> panes{};
};

// The bar of the main window while it exists, else null.
extern CStatusBar* g_statusBar;

// Pane texts are single-byte ANSI (Windows-1252), shown as plain text; a tool tip is in the
// system's own encoding (a device path).
void SetStatusPane(int pane, const std::string& text);         // no-op when no bar exists
void SetStatusPaneToolTip(int pane, const std::string& text);  // no-op when no bar exists
std::string StatusPaneText(int pane);                          // "" when no bar exists
