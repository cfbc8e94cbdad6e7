#include "forms/MessageBox.h"
#include "forms/QtTranslation.h"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <memory>

// What every window shares with the desktop: message boxes that show their title, and Qt's own
// texts in Japanese.
class TestDesktopTexts : public QObject
{
    Q_OBJECT

private slots:
    void messageBoxIsWideEnoughForItsTitle();
    void contextMenusAreJapanese();
};

void TestDesktopTexts::messageBoxIsWideEnoughForItsTitle()
{
    // The shortest text a box shows; on its own the box would be as narrow as its OK button.
    QString title;
    int width = 0;
    QTimer::singleShot(0, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        title = box->windowTitle();
        width = box->width();
        box->accept();
    });
    MessageBox::showMessage(QStringLiteral("x"));

    QFont titleFont = QApplication::font();
    titleFont.setBold(true);
    // The title itself and at least a close button and an icon beside it.
    const int needed = QFontMetrics(titleFont).horizontalAdvance(title) + 2 * 32;
    QVERIFY2(width >= needed, qPrintable(QStringLiteral("%1 < %2").arg(width).arg(needed)));
}

void TestDesktopTexts::contextMenusAreJapanese()
{
    QVERIFY2(QtTranslation::install(*QCoreApplication::instance()),
             "qtbase_ja.qm not found: scripts/setup.sh installs qt6-translations-l10n");
    QLineEdit field(QStringLiteral("テキスト"));
    const std::unique_ptr<QMenu> menu(field.createStandardContextMenu());
    QStringList texts;
    for (const QAction *action : menu->actions())
        texts << action->text();
    const auto has = [&texts](const QString &start) {
        return std::any_of(texts.cbegin(), texts.cend(),
                           [&start](const QString &text) { return text.startsWith(start); });
    };
    QVERIFY2(has(QStringLiteral("コピー")) && has(QStringLiteral("貼り付け")),
             qPrintable(texts.join(u' ')));
}

QTEST_MAIN(TestDesktopTexts)
#include "tst_DesktopTexts.moc"
