#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// The one record on the wire: "<socket number>@<handle name padded to ten>|<text>" CR LF. Receivers
// show it whole and the sender compares it whole, so it is only ever built, never split.
namespace ChatLine {

QString build(int socketNumber, const QString &handleName, const QString &text);

// "ログイン - " / "ログアウト - " followed by the date and the time of day of the moment.
QString loginText(const QDateTime &moment, const QLocale &locale);
QString logoutText(const QDateTime &moment, const QLocale &locale);

// The locale's short date, "/", and its short time of day with seconds and without a time zone.
QString dateTimeText(const QDateTime &moment, const QLocale &locale);

// A locale's short time format with seconds put after the minutes when it has none, and without
// its time zone: "H:mm" gives "H:mm:ss", "h:mm AP" gives "h:mm:ss AP", "H.mm" gives "H.mm.ss".
QString timeOfDayFormat(const QString &shortTimeFormat);

} // namespace ChatLine
