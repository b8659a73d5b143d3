// Dialog templates kept as data in res/: positions in dialog units, converted to pixels
// from the dialog font's own metrics, and built into Qt widgets.
#include "res/dialog_template.h"

#include <QButtonGroup>
#include <QFile>
#include <QFontMetrics>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTextEdit>
#include <QWidget>
#include <cstdlib>

#include "res/app_icons.h"

// The resource file lives in a static library, so its registration must be pulled in by
// name or the linker drops it.
static void InitResources() {
    Q_INIT_RESOURCE(palvex);
}

namespace {

const char RESOURCE_PATH[] = ":/palvex/dialogs.json";

struct ResourceData {
    std::map<int, DialogTemplate> templates;
    std::map<int, QString> strings;
};

QRect ReadRect(const QJsonValue& value) {
    const QJsonArray a = value.toArray();
    if (a.size() != 4) {
        return QRect();
    }
    return QRect(a[0].toInt(), a[1].toInt(), a[2].toInt(), a[3].toInt());
}

QStringList ReadStrings(const QJsonValue& value) {
    QStringList list;
    for (const QJsonValue& item : value.toArray()) {
        list << item.toString();
    }
    return list;
}

ResourceData Parse() {
    InitResources();
    ResourceData data;
    QFile file(RESOURCE_PATH);
    if (!file.open(QIODevice::ReadOnly)) {
        return data;
    }
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    for (const QJsonValue& value : root.value("dialogs").toArray()) {
        const QJsonObject d = value.toObject();
        DialogTemplate t;
        t.id = d.value("id").toInt();
        t.caption = d.value("caption").toString();
        t.units = ReadRect(d.value("rect"));
        t.fontName = d.value("font").toString();
        t.fontPoints = d.value("points").toInt(8);
        t.styles = ReadStrings(d.value("styles"));
        for (const QJsonValue& c : d.value("controls").toArray()) {
            const QJsonObject o = c.toObject();
            DialogControl control;
            control.id = o.value("id").toInt(-1);
            control.kind = o.value("kind").toString();
            control.text = o.value("text").toString();
            control.units = ReadRect(o.value("rect"));
            control.styles = ReadStrings(o.value("styles"));
            t.controls.push_back(control);
        }
        data.templates[t.id] = t;
    }
    const QJsonObject strings = root.value("strings").toObject();
    for (auto it = strings.begin(); it != strings.end(); ++it) {
        data.strings[it.key().toInt()] = it.value().toString();
    }
    return data;
}

// Parsed once, on first use; the GUI thread is the only reader.
const ResourceData& Resources() {
    static const ResourceData data = Parse();
    return data;
}

// Windows' MulDiv: value * numerator / denominator rounded, halves away from zero.
int MulDiv(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    const long long rounded =
        product >= 0 ? (product + half) / denominator : -((-product + half) / denominator);
    return static_cast<int>(rounded);
}

// A group box drawn the way the templates were designed: an etched frame whose top line runs
// through the middle of the title, so the controls placed by the template sit inside it.
// (Qt's own styles put the title above the frame, which pushes the frame onto the controls.)
class CTemplateGroupBox : public QGroupBox {
  public:
    using QGroupBox::QGroupBox;

  protected:
    void paintEvent(QPaintEvent* event) override {
        QPainter painter(this);
        const QFontMetrics metrics(font());
        const QRect frame = rect().adjusted(0, metrics.height() / 2, -1, -1);
        painter.setPen(palette().color(QPalette::Mid));
        painter.drawRect(frame.adjusted(0, 0, -1, -1));
        painter.setPen(palette().color(QPalette::Light));
        painter.drawRect(frame.adjusted(1, 1, 0, 0));
        // A child repainted below the title (a traffic view's scroll bar, many times a second)
        // brings its group box along: measuring the title then would be wasted.
        const QString text = title();
        if (!text.isEmpty() && event->rect().top() < metrics.height()) {
            const QRect textRect(metrics.averageCharWidth(), 0, metrics.horizontalAdvance(text),
                                 metrics.height());
            painter.fillRect(textRect, palette().color(QPalette::Window));
            painter.setPen(palette().color(QPalette::WindowText));
            painter.drawText(textRect, Qt::AlignLeft | Qt::AlignTop, text);
        }
    }
};

QWidget* DefaultWidget(const DialogControl& control, QWidget* parent) {
    const QString& kind = control.kind;
    if (kind == "groupbox") {
        return new CTemplateGroupBox(control.text, parent);
    }
    if (kind == "radio") {
        return new QRadioButton(control.text, parent);
    }
    if (kind == "push") {
        auto* button = new QPushButton(control.text, parent);
        if (control.styles.contains("default")) {
            button->setDefault(true);
        }
        return button;
    }
    if (kind == "edit") {
        auto* edit = new QLineEdit(control.text, parent);
        edit->setReadOnly(control.styles.contains("readonly"));
        edit->setFrame(control.styles.contains("border"));
        return edit;
    }
    if (kind == "richedit") {
        auto* edit = new QTextEdit(parent);
        edit->setReadOnly(true);
        edit->setPlainText(control.text);
        if (!control.styles.contains("border")) {
            edit->setFrameStyle(QFrame::NoFrame);
        }
        // A multi-line box with automatic horizontal scrolling does not wrap its lines.
        if (control.styles.contains("autohscroll")) {
            edit->setLineWrapMode(QTextEdit::NoWrap);
        }
        return edit;
    }
    if (kind == "icon") {
        auto* label = new QLabel(parent);
        label->setPixmap(LoadAppIcon(control.text.toInt()).pixmap(32, 32));
        return label;
    }
    if (kind == "tab") {
        return new QTabBar(parent);
    }
    auto* label = new QLabel(control.text, parent);  // "static" and anything unknown
    // Static texts of the templates show "&" as it is when told so; QLabel never treats it as
    // a mnemonic without a buddy, so nothing more is needed for "noprefix".
    Qt::Alignment alignment = Qt::AlignLeft;
    if (control.styles.contains("center")) {
        alignment = Qt::AlignHCenter;
    } else if (control.styles.contains("right")) {
        alignment = Qt::AlignRight;
    }
    label->setAlignment(alignment | Qt::AlignTop);
    return label;
}

// The templates were laid out for one face at one size; the font this system really has (or a
// larger scale) can need more room. A one-line text or a radio button then grows to its text on
// the side its alignment leaves free, rather than be cut off.
void FitText(QWidget& widget, QRect& rect) {
    const auto* label = qobject_cast<QLabel*>(&widget);
    const bool fits = (label != nullptr && !label->text().isEmpty() && !label->wordWrap()) ||
                      qobject_cast<QRadioButton*>(&widget) != nullptr;
    const int needed = widget.sizeHint().width();
    if (!fits || needed <= rect.width()) {
        return;
    }
    const Qt::Alignment alignment = label != nullptr ? label->alignment() : Qt::AlignLeft;
    const int more = needed - rect.width();
    if (alignment & Qt::AlignRight) {
        rect.setLeft(rect.left() - more);
    } else if (alignment & Qt::AlignHCenter) {
        rect.adjust(-more / 2, 0, more - more / 2, 0);
    } else {
        rect.setWidth(needed);
    }
}

}  // namespace

const DialogTemplate& LoadDialogTemplate(int templateId) {
    static const DialogTemplate empty;
    const auto& templates = Resources().templates;
    const auto it = templates.find(templateId);
    return it == templates.end() ? empty : it->second;
}

QString LoadResourceString(int stringId) {
    const auto& strings = Resources().strings;
    const auto it = strings.find(stringId);
    return it == strings.end() ? QString() : it->second;
}

QFont DialogFont(const DialogTemplate& dialogTemplate) {
    // "MS Sans Serif" is not on this platform; its own sans serif takes the place.
    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(dialogTemplate.fontPoints > 0 ? dialogTemplate.fontPoints : 8);
    return font;
}

QSize DialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int extent = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    // The average of the 52 letters, rounded the way Windows rounds its dialog base units.
    return QSize((extent / 26 + 1) / 2, metrics.height());
}

QRect DialogUnitsToPixels(const QSize& baseUnits, const QRect& units) {
    return QRect(MulDiv(units.x(), baseUnits.width(), 4), MulDiv(units.y(), baseUnits.height(), 8),
                 MulDiv(units.width(), baseUnits.width(), 4),
                 MulDiv(units.height(), baseUnits.height(), 8));
}

QRect DialogUnitsToPixels(const DialogTemplate& dialogTemplate, const QRect& units) {
    return DialogUnitsToPixels(DialogBaseUnits(DialogFont(dialogTemplate)), units);
}

std::map<int, QWidget*> BuildDialog(int templateId, QWidget& dialog, const ControlFactory& custom) {
    std::map<int, QWidget*> controls;
    const DialogTemplate& t = LoadDialogTemplate(templateId);
    const QFont font = DialogFont(t);
    const QSize base = DialogBaseUnits(font);
    dialog.setFont(font);
    if (!t.caption.isEmpty()) {
        dialog.setWindowTitle(t.caption);
    }
    // The template's size is the client area's.
    dialog.resize(DialogUnitsToPixels(base, t.units).size());

    QButtonGroup* radioGroup = nullptr;
    for (const DialogControl& control : t.controls) {
        QWidget* widget = custom ? custom(control, &dialog) : nullptr;
        const bool own = widget == nullptr;
        if (own) {
            widget = DefaultWidget(control, &dialog);
        } else if (widget->parentWidget() != &dialog) {
            widget->setParent(&dialog);
        }
        widget->setFont(font);
        QRect rect = DialogUnitsToPixels(base, control.units);
        if (control.kind == "icon" && own) {
            // A static icon takes the icon's own size, whatever the template says.
            rect.setSize(QSize(32, 32));
        } else if (own) {
            FitText(*widget, rect);
        }
        widget->setGeometry(rect);

        // A control with the group style starts a new group; radio buttons up to the next
        // one are mutually exclusive.
        if (control.styles.contains("group")) {
            radioGroup = nullptr;
        }
        if (auto* radio = qobject_cast<QRadioButton*>(widget)) {
            if (radioGroup == nullptr) {
                radioGroup = new QButtonGroup(&dialog);
            }
            radioGroup->addButton(radio);
        }
        // Tab visits only the controls marked as tab stops; the others keep the focus a
        // click gives them. A tab widget takes its focus through its tab bar.
        if (control.styles.contains("tabstop")) {
            widget->setFocusPolicy(Qt::StrongFocus);
        } else {
            for (QWidget* w : {widget, widget->focusProxy()}) {
                if (w != nullptr) {
                    w->setFocusPolicy(Qt::FocusPolicy(w->focusPolicy() & ~Qt::TabFocus));
                }
            }
        }
        if (control.styles.contains("hidden")) {
            widget->hide();
        }
        if (control.id >= 0) {
            widget->setObjectName(QStringLiteral("control%1").arg(control.id));
            controls[control.id] = widget;
        }
    }
    return controls;
}
