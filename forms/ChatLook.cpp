#include "forms/ChatLook.h"

#include <QColor>
#include <QString>

QFont chatFont()
{
    static const QString family = QStringLiteral("ＭＳ ゴシック");
    // Chat lines pad handles to ten characters, so the log needs a Japanese gothic in which a
    // full-width character is exactly two half-width ones; these have that, and are what Debian
    // ships. Registered once.
    static const bool substituted = [] {
        QFont::insertSubstitutions(family,
                                   {QStringLiteral("IPAGothic"), QStringLiteral("IPAゴシック"),
                                    QStringLiteral("Noto Sans Mono CJK JP")});
        return true;
    }();
    Q_UNUSED(substituted);
    QFont font(family, 9);
    font.setStyleHint(QFont::TypeWriter);
    return font;
}

QPalette chatPalette(QPalette palette)
{
    const QColor background(192, 192, 255);
    const QColor text(64, 64, 64);
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Base, background);
        palette.setColor(group, QPalette::Text, text);
    }
    palette.setColor(QPalette::Disabled, QPalette::Base, background);
    return palette;
}
