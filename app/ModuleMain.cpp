#include "app/ModuleMain.h"

#include "forms/client/FormTCPClientMain.h"
#include "forms/main/FormMain.h"
#include "forms/server/FormTCPServerMain.h"

#include <QMessageBox>
#include <QRegularExpression>

#include <cfenv>
#include <cmath>
#include <limits>

namespace ModuleMain {

int gintPort = 0;
QString gstrHandleName;
QString gstrServerIP;

namespace {

const QChar doubleQuote = u'"';
const QChar space = u' ';

// A quoted argument loses its first and last character, whatever the last one is; a lone
// double quote has nothing left.
QString stripQuotes(const QString &element)
{
    if (!element.startsWith(doubleQuote))
        return element;
    return element.size() < 2 ? QString() : element.mid(1, element.size() - 2);
}

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

void CutToken(QString &text, QString &head, int count)
{
    if (count < text.size()) {
        head = text.left(count);
        text = text.mid(count);
    } else {
        head = text;
        text.clear();
    }
}

int GetCommandArgs(QStringList &args, const QString &argumentText)
{
    args = QStringList{QString()};
    QString remaining = argumentText;
    int count = 0;
    while (!remaining.isEmpty()) {
        ++count;
        args.append(QString());
        QString &element = args[count - 1];

        // Positions are 1-based here, 0 meaning "not found".
        int position = remaining.indexOf(space) + 1;
        if (position != 0 && remaining.left(position).contains(doubleQuote)) {
            const int quote = remaining.indexOf(doubleQuote, 1) + 1;
            if (quote == 0) {
                // A quote that never closes takes the rest of the text with it.
                element = remaining.mid(1);
                break;
            }
            position = remaining.indexOf(space, quote - 1) + 1;
        }

        if (position != 0) {
            CutToken(remaining, element, position);
            element.chop(1);
            element = stripQuotes(element);
            continue;
        }
        element = stripQuotes(remaining);
        break;
    }
    return int(args.size()) - 1;
}

QString argumentTextFromArguments(const QStringList &arguments)
{
    QStringList parts;
    for (const QString &argument : arguments) {
        if (argument.isEmpty() || argument.contains(space))
            parts.append(doubleQuote + argument + doubleQuote);
        else
            parts.append(argument);
    }
    return parts.join(space);
}

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
    return roundIntoRange(value, 0, 65535);
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

QString applicationTitle()
{
    return QStringLiteral("Pryne Chat");
}

QString versionText()
{
    return QStringLiteral("%1.%2.%3")
            .arg(PRYNECHAT_VERSION_MAJOR)
            .arg(PRYNECHAT_VERSION_MINOR)
            .arg(PRYNECHAT_VERSION_PATCH);
}

void showMessage(const QString &text, QWidget *parent)
{
    QMessageBox box(QMessageBox::NoIcon, applicationTitle(), text, QMessageBox::Ok, parent);
    box.exec();
}

bool Main(const QString &argumentText)
{
    QStringList args;
    if (GetCommandArgs(args, argumentText) == 0) {
        auto *form = new FormMain;
        form->setAttribute(Qt::WA_DeleteOnClose);
        form->show();
        return true;
    }

    const QString first = args[0].toLower();
    if (first == QLatin1String("/s")) {
        // No start window was shown: its port field's default is the port.
        auto *form = new FormTCPServerMain(QStringLiteral("555"));
        form->setAttribute(Qt::WA_DeleteOnClose);
        form->show();
        return true;
    }
    if (first == QLatin1String("/c")) {
        auto *client = new FormTCPClientMain;
        client->setAttribute(Qt::WA_DeleteOnClose);
        client->show();
        return true;
    }
    if (first == QLatin1String("/?")) {
        showMessage(QStringList{QStringLiteral("Exe Command Lines"), QString(),
                                QStringLiteral("[/s] = Auto Server Mode Command"),
                                QStringLiteral("[/c] = Auto Client Mode Command"),
                                QStringLiteral("[/?] = This Message Box")}
                            .join(QStringLiteral("\r\n")));
    }
    return false;
}

} // namespace ModuleMain
