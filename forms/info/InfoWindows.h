#pragma once

// Gives the network components their information windows. A program with windows calls this
// once after creating its QApplication; until then, and in programs without widgets,
// setInfoVisible(true) shows nothing.
namespace InfoWindows {

void install();

} // namespace InfoWindows
