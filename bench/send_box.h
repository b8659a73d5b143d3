// A send box of the page: the text a Send carries, with a history of what was sent (Up and
// Down, as in a shell), a hex mode and, on the serial box, a line end. The choices live in
// the box's context menu, so the box looks and behaves as a plain edit until asked.
#pragma once

#include <QLineEdit>
#include <QString>
#include <deque>
#include <string>

class QMenu;

enum class LineEnd { NONE, CR, LF, CR_LF };

// The bytes of a line end.
std::string LineEndBytes(LineEnd lineEnd);
// Reads bytes written as hex: tokens apart by blanks, each token one or more bytes of two
// digits each, either case ("1B 56 76", "1b5676", "1B56 76"). False when a token is not hex
// or has an odd number of digits; `problem` then names the token.
bool ParseHex(const QString& text, std::string& bytes, QString& problem);
// "1B 56 76".
QString HexFromBytes(const std::string& bytes);

class CSendBox : public QLineEdit {
    Q_OBJECT
  public:
    // Entries the history keeps; the oldest goes first.
    static constexpr int HISTORY_SIZE = 100;

    explicit CSendBox(QWidget* parent = nullptr);

    // The most bytes one send carries; a text box holds that many characters.
    void SetLimit(int bytes);
    // Offers the line end in the context menu (the serial box).
    void OfferLineEnd(bool offer) { lineEndOffered = offer; }

    bool HexMode() const { return hexMode; }
    // Shows the box's bytes the other way. False, with the mode unchanged and the reason in
    // `problem`, when the hex cannot be read or holds more than a text box can.
    bool SetHexMode(bool hex, QString& problem);
    LineEnd GetLineEnd() const { return lineEnd; }
    void SetLineEnd(LineEnd end) { lineEnd = end; }

    // The bytes a send carries: the text as ANSI, or the hex bytes, then the line end; in
    // `entry`, when given, the same without the line end. False, with the reason in
    // `problem`, when the hex cannot be read or the bytes exceed the limit.
    bool Payload(std::string& bytes, QString& problem, std::string* entry = nullptr) const;
    // Adds what was sent (without its line end) as the newest entry, unless it equals the
    // newest already; browsing starts again from the box's text.
    void Remember(const std::string& bytes);
    const std::deque<std::string>& History() const { return history; }

    // The standard entries of an edit, then hex and line end. The caller owns it.
    QMenu* CreateContextMenu();

  signals:
    // A choice in the menu could not be made; the page shows why.
    void Refused(const QString& problem);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void Browse(int step);
    // Bytes as this box shows them in its current mode.
    QString Shown(const std::string& bytes) const;

    int limit = 64;
    bool lineEndOffered = false;
    bool hexMode = false;
    LineEnd lineEnd = LineEnd::NONE;
    std::deque<std::string> history;
    int browsing = -1;  // the history entry shown, or -1 while the user's own text is
    QString draft;      // what was being typed when browsing started
};
