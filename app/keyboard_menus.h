// Context menus from the keyboard: Shift+F10 opens the focused control's menu, as the Menu
// key does, on every platform.
#pragma once

// Once per process, after the QApplication exists.
void InstallKeyboardMenus();
