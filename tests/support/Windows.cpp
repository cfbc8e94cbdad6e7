#include "tests/support/Windows.h"

#include <QAbstractButton>

namespace testsupport {

namespace {

// Often enough that a box is answered before a test's own waits time out.
constexpr int answerIntervalMilliseconds = 10;

} // namespace

int visibleMessageBoxes()
{
    return int(visibleWindows<QMessageBox>().size());
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
