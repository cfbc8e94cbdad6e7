#pragma once

#include <QFont>
#include <QPalette>

// The chat log font: "ＭＳ ゴシック" 9 pt, shown with the monospaced Japanese font that the set-up
// installs, so that the ten-character handle fields of chat lines line up.
QFont chatFont();

// The chat windows' colours: dark grey text on a light blue-violet ground, kept when the window
// loses focus.
QPalette chatPalette(QPalette palette);
