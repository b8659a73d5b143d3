// The program's icons, drawn at run time in 16 colours at 32 by 32 and 16 by 16 pixels.
#pragma once

#include <QIcon>
#include <QImage>

// Icon resources: the About box's (128), a spare one no window shows (132) and the main
// window's (133).
inline constexpr int ABOUT_ICON = 128;
inline constexpr int SPARE_ICON = 132;
inline constexpr int MAIN_ICON = 133;

// The icon with this resource id holding both sizes; a null icon for unknown ids.
QIcon LoadAppIcon(int iconId);

// The drawing of icon `iconId` at `size` by `size` pixels; the menu entries' icon files are made
// from it at build time.
QImage DrawAppIcon(int iconId, int size);
