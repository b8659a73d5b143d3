// Dialog templates kept as data in res/: positions in dialog units, converted to pixels
// from the dialog font's own metrics, and built into Qt widgets.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <vector>

class QWidget;

struct DialogControl {
    int id = -1;   // -1 for controls without an id (group boxes, labels)
    QString kind;  // "groupbox", "radio", "push", "edit", "richedit", "static", "icon", "tab"
    QString text;
    QRect units;         // x, y, width, height in dialog units
    QStringList styles;  // e.g. "group", "tabstop", "readonly", "vscroll", "center"
};

struct DialogTemplate {
    int id = 0;
    QString caption;
    QRect units;
    QString fontName;  // "MS Sans Serif": the platform's sans serif stands in
    int fontPoints = 8;
    QStringList styles;
    std::vector<DialogControl> controls;  // in template (and tab) order
};

// The template with this id from res/; an empty template (no controls) when unknown.
const DialogTemplate& LoadDialogTemplate(int templateId);

// Dialog units to pixels for the template's font.
QRect DialogUnitsToPixels(const DialogTemplate& dialogTemplate, const QRect& units);

// The font a template names, with the platform's sans serif standing in for "MS Sans Serif".
QFont DialogFont(const DialogTemplate& dialogTemplate);
// Horizontal and vertical base units of a font: the average width of the 52 letters and the
// character height, the way Windows measures a dialog font.
QSize DialogBaseUnits(const QFont& font);
// x and width scale by base.width() / 4, y and height by base.height() / 8, each rounded to
// the nearest pixel (halves away from zero).
QRect DialogUnitsToPixels(const QSize& baseUnits, const QRect& units);

// A text of the string table in res/; empty when unknown.
QString LoadResourceString(int stringId);

// Makes a control for a template entry; returns null to take the default widget.
using ControlFactory = std::function<QWidget*(const DialogControl& control, QWidget* parent)>;

// Creates the template's controls as children of `dialog` in template order, sets the
// dialog's font and size, and returns the controls that have an id.
std::map<int, QWidget*> BuildDialog(int templateId, QWidget& dialog,
                                    const ControlFactory& custom = {});
