// Send boxes: history, hex mode and line end of what the page's Send buttons carry.
#include "bench/send_box.h"

#include <QActionGroup>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QRegularExpression>

#include "bench/ansi_text.h"
#include "channel/hex_digit.h"

namespace {

// A bad token is quoted in the message; a pasted page of junk is cut.
constexpr int QUOTED_TOKEN = 24;
// Hex of a full send with a blank after each byte.
constexpr int HEX_CHARS_PER_BYTE = 3;

QString Quoted(const QString& token) {
    return QStringLiteral("\"") +
           (token.size() > QUOTED_TOKEN ? token.left(QUOTED_TOKEN) + QStringLiteral("...")
                                        : token) +
           QStringLiteral("\"");
}

int HexDigit(QChar ch) {
    return HexDigitValue(ch.unicode());
}

// One character per byte, zero bytes included, so text and hex convert both ways.
QString TextFromBytes(const std::string& bytes) {
    QString text;
    for (const char byte : bytes) {
        text.append(CharFromAnsi(static_cast<uint8_t>(byte)));
    }
    return text;
}

}  // namespace

std::string LineEndBytes(LineEnd lineEnd) {
    switch (lineEnd) {
        case LineEnd::CR:
            return "\r";
        case LineEnd::LF:
            return "\n";
        case LineEnd::CR_LF:
            return "\r\n";
        case LineEnd::NONE:
            break;
    }
    return {};
}

bool ParseHex(const QString& text, std::string& bytes, QString& problem) {
    const QString example = QObject::tr("Give each byte as two hex digits, as in 1B 56 76.");
    bytes.clear();
    for (const QString& token :
         text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)) {
        for (const QChar ch : token) {
            if (HexDigit(ch) < 0) {
                problem = QObject::tr("%1 is not hex. %2").arg(Quoted(token), example);
                return false;
            }
        }
        if (token.size() % 2 != 0) {
            problem =
                QObject::tr("%1 has an odd number of hex digits. %2").arg(Quoted(token), example);
            return false;
        }
        for (qsizetype i = 0; i < token.size(); i += 2) {
            bytes.push_back(static_cast<char>(HexDigit(token[i]) * 16 + HexDigit(token[i + 1])));
        }
    }
    return true;
}

QString HexFromBytes(const std::string& bytes) {
    QString text;
    for (const char byte : bytes) {
        if (!text.isEmpty()) {
            text.append(QLatin1Char(' '));
        }
        text.append(QStringLiteral("%1")
                        .arg(static_cast<uint8_t>(byte), 2, 16, QLatin1Char('0'))
                        .toUpper());
    }
    return text;
}

CSendBox::CSendBox(QWidget* parent) : QLineEdit(parent) {
    SetLimit(limit);
}

void CSendBox::SetLimit(int bytes) {
    limit = bytes;
    setMaxLength(hexMode ? limit * HEX_CHARS_PER_BYTE : limit);
}

bool CSendBox::SetHexMode(bool hex, QString& problem) {
    if (hex == hexMode) {
        return true;
    }
    std::string bytes;
    if (hex) {
        bytes = AnsiFromText(text());
    } else if (!ParseHex(text(), bytes, problem)) {
        return false;
    } else if (static_cast<int>(bytes.size()) > limit) {
        problem = tr("The box holds %1 bytes; as text it can hold %2. Nothing was changed.")
                      .arg(bytes.size())
                      .arg(limit);
        return false;
    }
    hexMode = hex;
    // The longer limit first, so the converted text is never cut.
    setMaxLength(limit * HEX_CHARS_PER_BYTE);
    setText(Shown(bytes));
    SetLimit(limit);
    draft.clear();
    browsing = -1;
    return true;
}

bool CSendBox::Payload(std::string& bytes, QString& problem, std::string* entry) const {
    if (!hexMode) {
        bytes = AnsiFromText(text());
    } else if (!ParseHex(text(), bytes, problem)) {
        return false;
    }
    if (entry != nullptr) {
        *entry = bytes;
    }
    const std::string end = LineEndBytes(lineEnd);
    bytes += end;
    if (static_cast<int>(bytes.size()) > limit) {
        problem = (end.empty() ? tr("This send is %1 bytes; ")
                               : tr("This send is %1 bytes with its line end; "))
                      .arg(bytes.size()) +
                  tr("one send carries at most %1. Nothing was sent.").arg(limit);
        return false;
    }
    return true;
}

void CSendBox::Remember(const std::string& bytes) {
    if (history.empty() || history.back() != bytes) {
        history.push_back(bytes);
        if (static_cast<int>(history.size()) > HISTORY_SIZE) {
            history.pop_front();
        }
    }
    browsing = -1;
    draft.clear();
}

QString CSendBox::Shown(const std::string& bytes) const {
    return hexMode ? HexFromBytes(bytes) : TextFromBytes(bytes);
}

void CSendBox::Browse(int step) {
    const int size = static_cast<int>(history.size());
    if (browsing < 0) {
        if (step > 0 || size == 0) {
            return;
        }
        draft = text();
        browsing = size;
        // The box still shows what was just sent: Up goes to the entry before it.
        if (size > 1 && text() == Shown(history.back())) {
            browsing = size - 1;
        }
    }
    const int next = browsing + step;
    if (next < 0) {
        return;  // the oldest entry stays
    }
    if (next >= size) {
        browsing = -1;
        setText(draft);
        return;
    }
    browsing = next;
    setText(Shown(history[static_cast<size_t>(next)]));
}

void CSendBox::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) {
            Browse(event->key() == Qt::Key_Up ? -1 : 1);
            event->accept();
            return;
        }
    }
    QLineEdit::keyPressEvent(event);
}

QMenu* CSendBox::CreateContextMenu() {
    QMenu* menu = createStandardContextMenu();
    menu->addSeparator();
    QAction* hex = menu->addAction(tr("Hex bytes (1B 56 76)"));
    hex->setCheckable(true);
    hex->setChecked(hexMode);
    connect(hex, &QAction::triggered, this, [this](bool on) {
        QString problem;
        if (!SetHexMode(on, problem)) {
            emit Refused(problem);
        }
    });
    if (lineEndOffered) {
        QMenu* ends = menu->addMenu(tr("Line end"));
        auto* group = new QActionGroup(ends);
        const std::pair<LineEnd, QString> choices[] = {{LineEnd::NONE, tr("None")},
                                                       {LineEnd::CR, tr("CR")},
                                                       {LineEnd::LF, tr("LF")},
                                                       {LineEnd::CR_LF, tr("CR LF")}};
        for (const auto& [end, name] : choices) {
            QAction* choice = ends->addAction(name);
            choice->setCheckable(true);
            choice->setChecked(end == lineEnd);
            group->addAction(choice);
            connect(choice, &QAction::triggered, this, [this, end = end] { lineEnd = end; });
        }
    }
    return menu;
}

void CSendBox::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = CreateContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}
