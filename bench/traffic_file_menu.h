// The file entries of a traffic view's context menu: save what the view holds, and log what
// arrives from now on, until stopped. Failures reach the user as boxes owned by the page;
// the traffic itself never stops for them.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>

class CTrafficLog;
class QMenu;
class QWidget;
class TrafficView;

class CTrafficFileMenu : public QObject {
    Q_OBJECT
  public:
    // Asks the user for a file to write: the caption and a proposed name; "" when cancelled.
    using ChooseFile = std::function<QString(const QString& caption, const QString& proposed)>;
    // Shows a box with the text and caption.
    using ShowBox = std::function<void(const std::string& text, const std::string& caption)>;

    // `channel` names the channel in proposed file names ("usb", "rs232").
    CTrafficFileMenu(TrafficView& view, const QString& channel, ShowBox showBox);
    ~CTrafficFileMenu() override;  // stops a running log

    // The file dialog by default; tests answer in its place.
    void SetChooseFile(ChooseFile choose) { chooseFile = std::move(choose); }
    bool Logging() const;

    // The menu's actions, also callable directly.
    void SaveBytes();
    void SaveText();
    void StartLog();
    void StopLog();

  private:
    void AddEntries(QMenu* menu);
    QString Proposed(const QString& suffix) const;
    // Asks where, and writes `content` there; a failure gets an Error box starting `failed`.
    void Save(const QString& title, const QString& suffix, const QByteArray& content,
              const std::string& failed);

    TrafficView& view;
    QString channel;
    ShowBox showBox;
    ChooseFile chooseFile;
    std::unique_ptr<CTrafficLog> log;
    QString logPath;
    int logGeneration = 0;
};
