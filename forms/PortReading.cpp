#include "forms/PortReading.h"

#include "net/SocketHelpers.h"

#include <QRegularExpression>

#include <cfenv>
#include <cmath>
#include <limits>

namespace PortReading {

namespace {

// Rounds half to even and keeps the result only when it fits into [lowest, highest].
std::optional<int> roundIntoRange(double value, double lowest, double highest)
{
    if (!std::isfinite(value))
        return std::nullopt;
    const int savedMode = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(value);
    std::fesetround(savedMode);
    if (rounded < lowest || rounded > highest)
        return std::nullopt;
    return int(rounded);
}

// The value of a hexadecimal or octal digit, -1 for anything else.
int digitValue(QChar character, int radix)
{
    const char16_t code = character.unicode();
    int value = -1;
    if (code >= u'0' && code <= u'9')
        value = code - u'0';
    else if (code >= u'a' && code <= u'f')
        value = code - u'a' + 10;
    else if (code >= u'A' && code <= u'F')
        value = code - u'A' + 10;
    return value < radix ? value : -1;
}

bool isBlank(QChar character)
{
    return character == u' ' || character == u'\t' || character == u'\n';
}

} // namespace

std::optional<int> readPortField(const QString &text)
{
    static const QRegularExpression decimal(QStringLiteral("^\\s*\\+?(\\d+\\.?\\d*|\\.\\d+)\\s*$"));
    const QRegularExpressionMatch match = decimal.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    bool ok = false;
    const double value = match.captured(1).toDouble(&ok);
    if (!ok)
        return std::nullopt;
    return roundIntoRange(value, 0, socks::maxPort);
}

std::optional<int> readNumberLeniently(const QString &text)
{
    QString compact;
    for (const QChar character : text) {
        if (!isBlank(character))
            compact.append(character);
    }

    if (compact.size() >= 2 && compact[0] == u'&') {
        const QChar radixLetter = compact[1].toUpper();
        const int radix = radixLetter == u'H' ? 16 : radixLetter == u'O' ? 8 : 0;
        if (radix != 0) {
            double value = 0;
            for (int index = 2; index < compact.size(); ++index) {
                const int digit = digitValue(compact[index], radix);
                if (digit < 0)
                    break;
                value = value * radix + digit;
            }
            return roundIntoRange(value, std::numeric_limits<int>::min(),
                                  std::numeric_limits<int>::max());
        }
    }

    // The longest leading decimal number: sign, digits, fraction, exponent.
    static const QRegularExpression leadingNumber(
            QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)([eEdD][+-]?\\d+)?"));
    const QRegularExpressionMatch match = leadingNumber.match(compact);
    if (!match.hasMatch())
        return 0;
    QString number = match.captured(0);
    number.replace(u'd', u'e').replace(u'D', u'e');
    bool ok = false;
    const double value = number.toDouble(&ok);
    if (!ok && !std::isinf(value))
        return std::nullopt;
    return roundIntoRange(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
}

} // namespace PortReading
