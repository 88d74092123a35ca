#pragma once

#include <QPalette>

// The window follows the desktop's light or dark colours. Desktops whose
// platform theme hands Qt their palette (KDE's, for one) need nothing; where
// the theme does not (GNOME with this Qt), the desktop's colour-scheme
// preference is read from the settings portal and a dark preference gets
// the Fusion style with a dark palette.

namespace morvex::ui {

enum class ColorScheme { NoPreference, Dark, Light };

// The desktop's preference: the settings portal's
// "org.freedesktop.appearance" "color-scheme" (1 dark, 2 light) where a
// session bus answers within a moment, else a GTK_THEME ending in ":dark".
ColorScheme desktopColorScheme();

// Whether a palette draws light text on dark windows.
bool isDarkPalette(const QPalette& palette);

// Fusion's colours turned dark: every role of every group, links and
// highlights kept readable.
QPalette darkPalette();

// Gives the application the dark palette when the desktop prefers dark and
// the palette it got is light. True when it did.
bool followDesktopColorScheme(ColorScheme scheme);

} // namespace morvex::ui
