// Shift+F10 as the Menu key: the convention every desktop follows for users without a
// mouse, which Qt leaves to the application.
#include "app/keyboard_menus.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QWidget>

namespace {

class CKeyboardMenus : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress || !watched->isWidgetType()) {
            return false;
        }
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_F10 || key->modifiers() != Qt::ShiftModifier) {
            return false;
        }
        QWidget* focus = QApplication::focusWidget();
        if (focus == nullptr || focus != watched) {
            return false;  // the press reaches the focus widget in its turn
        }
        // At the text cursor where the control has one, as the Menu key puts it.
        const QRect cursor = focus->inputMethodQuery(Qt::ImCursorRectangle).toRect();
        const QPoint at = cursor.isValid() && focus->rect().contains(cursor.center())
                              ? cursor.center()
                              : focus->rect().center();
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, at, focus->mapToGlobal(at),
                               key->modifiers());
        QApplication::sendEvent(focus, &menu);
        return true;
    }
};

}  // namespace

void InstallKeyboardMenus() {
    static CKeyboardMenus* filter = nullptr;
    if (filter == nullptr && qApp != nullptr) {
        filter = new CKeyboardMenus(qApp);
        qApp->installEventFilter(filter);
    }
}
