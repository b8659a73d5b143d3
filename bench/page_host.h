// What the page shows outside itself, in the window around it: the status bar's panes and the
// self-closing notice about the Kit. The window installs a host; without one the page shows
// nothing outside itself.
#pragma once

#include <string>

class IPageHost {
  public:
    virtual ~IPageHost() = default;
    // Pane texts are single-byte ANSI; a tool tip is in the system's encoding (a device path).
    virtual void SetStatusPane(int pane, const std::string& text) = 0;
    virtual void SetStatusPaneToolTip(int pane, const std::string& text) = 0;
    // Returns once the notice has closed itself.
    virtual void ShowNotice(const std::string& text) = 0;
};

// The host of the page, or null; set and read on the GUI thread only.
IPageHost* PageHost();
void SetPageHost(IPageHost* host);
