#include "tests/support/Windows.h"

#include <QAbstractButton>
#include <QKeyEvent>
#include <QTest>

namespace testsupport {

namespace {

// Often enough that a box is answered before a test's own waits time out.
constexpr int answerIntervalMilliseconds = 10;

} // namespace

int visibleMessageBoxes()
{
    return int(visibleWindows<QMessageBox>().size());
}

void typeText(QWidget *target, const QString &text)
{
    for (const QChar character : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(character));
        QApplication::sendEvent(target, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(character));
        QApplication::sendEvent(target, &release);
    }
}

void typeLine(QWidget *target, const QString &text)
{
    typeText(target, text);
    QTest::keyClick(target, Qt::Key_Return);
}

QStringList itemsOf(const QComboBox *combo)
{
    QStringList items;
    for (int index = 0; index < combo->count(); ++index)
        items << combo->itemText(index);
    return items;
}

MessageBoxAnswerer::MessageBoxAnswerer()
{
    timer.setInterval(answerIntervalMilliseconds);
    QObject::connect(&timer, &QTimer::timeout, &timer, [this] { answer(); });
    timer.start();
}

QStringList MessageBoxAnswerer::texts() const
{
    QStringList result;
    for (const ShownBox &box : boxes)
        result << box.text;
    return result;
}

QStringList MessageBoxAnswerer::titles() const
{
    QStringList result;
    for (const ShownBox &box : boxes)
        result << box.title;
    return result;
}

bool MessageBoxAnswerer::allPlain() const
{
    for (const ShownBox &box : boxes) {
        if (box.icon != QMessageBox::NoIcon || box.buttons != QMessageBox::Ok)
            return false;
    }
    return true;
}

void MessageBoxAnswerer::answer()
{
    for (QMessageBox *box : visibleWindows<QMessageBox>()) {
        boxes.append({box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                      box->parentWidget()});
        QAbstractButton *ok = box->button(QMessageBox::Ok);
        // A box without OK is closed all the same; allPlain() tells the test.
        if (ok)
            ok->click();
        else
            box->close();
        return; // one per tick: the click may have opened or destroyed others
    }
}

} // namespace testsupport
