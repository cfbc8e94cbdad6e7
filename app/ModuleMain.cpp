#include "app/ModuleMain.h"

#include "forms/MessageBox.h"
#include "forms/client/FormTCPClientMain.h"
#include "forms/main/FormMain.h"
#include "forms/server/FormTCPServerMain.h"

namespace ModuleMain {

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
        MessageBox::showMessage(QStringList{QStringLiteral("Exe Command Lines"), QString(),
                                            QStringLiteral("[/s] = Auto Server Mode Command"),
                                            QStringLiteral("[/c] = Auto Client Mode Command"),
                                            QStringLiteral("[/?] = This Message Box")}
                                        .join(QStringLiteral("\r\n")));
    }
    return false;
}

} // namespace ModuleMain
