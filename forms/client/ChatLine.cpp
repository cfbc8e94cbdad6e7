#include "forms/client/ChatLine.h"

#include <QList>

namespace ChatLine {

namespace {

constexpr int handleNameWidth = 10;

// One piece of a QDateTime format: a run of one pattern letter, or literal text as written in the
// format (quotes included, so that pieces can be joined back unchanged).
struct FormatPiece
{
    QString raw;
    QChar letter; // null for literal text
};

bool isPatternLetter(QChar character)
{
    return character.isLetter() && character.unicode() < 128;
}

QList<FormatPiece> splitFormat(const QString &format)
{
    QList<FormatPiece> pieces;
    auto appendLiteral = [&pieces](const QString &text) {
        if (!pieces.isEmpty() && pieces.last().letter.isNull())
            pieces.last().raw += text;
        else
            pieces.append({text, QChar()});
    };

    int index = 0;
    while (index < format.size()) {
        const QChar character = format[index];
        int end = index + 1;
        if (character == u'\'') {
            // A quoted literal runs to the next lone quote; two quotes in a row are one quote.
            while (end < format.size()) {
                if (format[end] == u'\'') {
                    if (end + 1 < format.size() && format[end + 1] == u'\'') {
                        end += 2;
                        continue;
                    }
                    ++end;
                    break;
                }
                ++end;
            }
            appendLiteral(format.mid(index, end - index));
        } else if (isPatternLetter(character)) {
            while (end < format.size() && format[end] == character)
                ++end;
            pieces.append({format.mid(index, end - index), character});
        } else {
            appendLiteral(QString(character));
        }
        index = end;
    }
    return pieces;
}

bool isHourLetter(QChar letter)
{
    return letter == u'h' || letter == u'H';
}

void dropTimeZone(QList<FormatPiece> &pieces)
{
    for (int index = 0; index < pieces.size();) {
        if (pieces[index].letter != u't') {
            ++index;
            continue;
        }
        // Take the blank that set the zone apart with it.
        if (index > 0 && pieces[index - 1].letter.isNull()) {
            QString &before = pieces[index - 1].raw;
            while (!before.isEmpty() && before.back().isSpace())
                before.chop(1);
        } else if (index + 1 < pieces.size() && pieces[index + 1].letter.isNull()) {
            QString &after = pieces[index + 1].raw;
            while (!after.isEmpty() && after.front().isSpace())
                after.remove(0, 1);
        }
        pieces.removeAt(index);
    }
}

void addSeconds(QList<FormatPiece> &pieces)
{
    for (const FormatPiece &piece : pieces) {
        if (piece.letter == u's')
            return;
    }
    for (int minute = 0; minute < pieces.size(); ++minute) {
        if (pieces[minute].letter != u'm')
            continue;
        // Seconds follow the minutes the way the minutes follow the hours ("H.mm" gives "H.mm.ss").
        QString separator = QStringLiteral(":");
        for (int hour = minute - 1; hour >= 0; --hour) {
            if (isHourLetter(pieces[hour].letter)) {
                separator.clear();
                for (int between = hour + 1; between < minute; ++between)
                    separator += pieces[between].raw;
                break;
            }
        }
        pieces.insert(minute + 1, {QStringLiteral("ss"), u's'});
        if (!separator.isEmpty())
            pieces.insert(minute + 1, {separator, QChar()});
        return;
    }
}

} // namespace

QString build(int socketNumber, const QString &handleName, const QString &text)
{
    return QString::number(socketNumber) + u'@' + handleName.leftJustified(handleNameWidth, u' ')
            + u'|' + text + QStringLiteral("\r\n");
}

QString timeOfDayFormat(const QString &shortTimeFormat)
{
    QList<FormatPiece> pieces = splitFormat(shortTimeFormat);
    dropTimeZone(pieces);
    addSeconds(pieces);
    QString format;
    for (const FormatPiece &piece : pieces)
        format += piece.raw;
    return format.trimmed();
}

QString dateTimeText(const QDateTime &moment, const QLocale &locale)
{
    return locale.toString(moment.date(), QLocale::ShortFormat) + u'/'
            + locale.toString(moment.time(),
                              timeOfDayFormat(locale.timeFormat(QLocale::ShortFormat)));
}

QString loginText(const QDateTime &moment, const QLocale &locale)
{
    return QStringLiteral("ログイン - ") + dateTimeText(moment, locale);
}

QString logoutText(const QDateTime &moment, const QLocale &locale)
{
    return QStringLiteral("ログアウト - ") + dateTimeText(moment, locale);
}

} // namespace ChatLine
