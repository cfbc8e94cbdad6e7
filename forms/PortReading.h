#pragma once

#include <QString>

#include <optional>

// Reading the port texts users type: pure functions, nothing when the text is no port.
namespace PortReading {

// The start window's port field: a decimal number, a fraction rounded half to even, 0 to 65535.
std::optional<int> readPortField(const QString &text);

// The lenient reading of a number text (blanks anywhere, sign, fraction, exponent, &H and &O,
// no number reads 0), rounded half to even; nothing when it leaves the 32-bit range.
std::optional<int> readNumberLeniently(const QString &text);

} // namespace PortReading
