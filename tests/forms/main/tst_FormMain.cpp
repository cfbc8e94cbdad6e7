#include "forms/SharedSettings.h"
#include "forms/main/FormMain.h"
#include "tests/support/Windows.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include <cstdio>

class TestFormMain : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // layout
    void isBorderlessWithFixedSize();
    void controlsFitTheWindowWithoutOverlap_data();
    void controlsFitTheWindowWithoutOverlap();
    void showsItsTexts_data();
    void showsItsTexts();
    void labelsShowTheirWholeText_data();
    void labelsShowTheirWholeText();
    void fieldsAreNamedByTheirLabels();
    void versionLabelShowsWholeBuildVersion();
    void showsThePicture();
    void fieldsLimitTheirLength_data();
    void fieldsLimitTheirLength();

    // keyboard
    void quitButtonHasTheFirstFocus();
    void tabRunsQuitClientServerThenFields();
    void keysPressTheFocusedButton_data();
    void keysPressTheFocusedButton();

    // settings
    void pressStoresSettings_data();
    void pressStoresSettings();
    void laterPressOverwritesSettings();
    void refusedPortShowsMessageAndStoresNothing_data();
    void refusedPortShowsMessageAndStoresNothing();

    // quitting
    void quitEndsTheProcessAtOnce_data();
    void quitEndsTheProcessAtOnce();
};

namespace {

void setSettings(int port, const QString &handleName, const QString &serverIP)
{
    SharedSettings::gintPort = port;
    SharedSettings::gstrHandleName = handleName;
    SharedSettings::gstrServerIP = serverIP;
}

// A top-level window that tells the parent process when it is asked to close.
class ReportingWindow : public QWidget
{
public:
    bool waitWhenClosing = false;

protected:
    void closeEvent(QCloseEvent *event) override
    {
        std::fputs("closeEvent ran\n", stdout);
        std::fflush(stdout);
        // Like a client's logout wait: keeps events flowing and never lets go.
        while (waitWhenClosing)
            QCoreApplication::processEvents();
        QWidget::closeEvent(event);
    }
};

// Runs in a child process started by quitEndsTheProcessAtOnce: the quit button must end this
// process with status 0 before anything below the click runs.
int pressQuitInChild(const QString &variant)
{
    auto *form = new FormMain;
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->show();
    auto *other = new ReportingWindow;
    other->setAttribute(Qt::WA_DeleteOnClose);
    other->show();

    if (variant == QLatin1String("during a nested wait")) {
        other->waitWhenClosing = true;
        QTimer::singleShot(0, other, &QWidget::close);
        QTimer::singleShot(50, form, [form]() {
            std::fputs("pressing quit\n", stdout);
            QTest::mouseClick(form->btnChoise[0], Qt::LeftButton);
            std::fputs("quit returned\n", stdout);
        });
    } else {
        form->PortInp->setText(variant);
        QTimer::singleShot(0, form, [form]() {
            std::fputs("pressing quit\n", stdout);
            QTest::mouseClick(form->btnChoise[0], Qt::LeftButton);
            std::fputs("quit returned\n", stdout);
        });
    }
    const int status = QApplication::exec();
    std::printf("event loop returned %d\n", status);
    return 3;
}

} // namespace

void TestFormMain::init()
{
    setSettings(0, QString(), QString());
}

void TestFormMain::cleanup()
{
    // Whatever a press opened goes without its closing procedure.
    QList<QPointer<QWidget>> windows;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible())
            windows.append(window);
    }
    for (const QPointer<QWidget> &window : windows)
        delete window.data();
}

void TestFormMain::isBorderlessWithFixedSize()
{
    FormMain form;

    QVERIFY(form.isWindow());
    QVERIFY(form.windowFlags().testFlag(Qt::FramelessWindowHint));
    QCOMPARE(form.minimumSize(), QSize(323, 353));
    QCOMPARE(form.maximumSize(), QSize(323, 353));
    QCOMPARE(form.size(), QSize(323, 353));
    QCOMPARE(form.windowTitle(), QString());
    QVERIFY(!form.windowIcon().isNull());
    QCOMPARE(form.windowIcon().availableSizes(), QList<QSize>{QSize(32, 32)});
}

void TestFormMain::controlsFitTheWindowWithoutOverlap_data()
{
    QTest::addColumn<qreal>("pointSize"); // 0: the platform's own
    QTest::newRow("platform font") << 0.0;
    QTest::newRow("10 pt desktop") << 10.0;
    QTest::newRow("11 pt desktop") << 11.0;
    QTest::newRow("12 pt desktop") << 12.0;
}

void TestFormMain::controlsFitTheWindowWithoutOverlap()
{
    // What a user sees at any of these font sizes: every control whole inside the window, none
    // covering another, and each field showing its whole text.
    QFETCH(qreal, pointSize);
    const QFont platformFont = QApplication::font();
    const auto restoreFont = qScopeGuard([&platformFont] { QApplication::setFont(platformFont); });
    if (pointSize > 0) {
        QFont larger = platformFont;
        larger.setPointSizeF(pointSize);
        QApplication::setFont(larger);
    }

    FormMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QList<QWidget *> controls = form.findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    QCOMPARE(controls.size(), 14);
    for (const QWidget *control : controls) {
        QVERIFY2(form.rect().contains(control->geometry()), qPrintable(control->objectName()));
        for (const QWidget *other : controls) {
            if (other != control)
                QVERIFY2(!control->geometry().intersects(other->geometry()),
                         qPrintable(control->objectName() + QStringLiteral(" covers ")
                                    + other->objectName()));
        }
    }
    const QList<std::pair<const QLabel *, const QLineEdit *>> rows = {
            {form.Label4, form.PortInp},
            {form.Label5, form.NameInp},
            {form.Label6, form.ServerIPInp}};
    for (const auto &[label, field] : rows) {
        // A field too narrow for its text scrolls it, and "localhost" shows as "ocalhost".
        const int textWidth = field->fontMetrics().horizontalAdvance(field->text());
        QVERIFY2(textWidth + 8 <= field->width(),
                 qPrintable(QStringLiteral("%1: %2 px of text in %3 px")
                                    .arg(field->objectName())
                                    .arg(textWidth)
                                    .arg(field->width())));
        // Right of its own label, on the same row.
        QVERIFY(label->geometry().right() < field->geometry().left());
        QVERIFY(label->geometry().top() < field->geometry().bottom()
                && field->geometry().top() < label->geometry().bottom());
    }
}

void TestFormMain::showsItsTexts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");

    QTest::newRow("port label") << "Label4"
                                << "使用するポート";
    QTest::newRow("port field") << "PortInp"
                                << "555";
    QTest::newRow("name label") << "Label5"
                                << "ハンドルネーム";
    QTest::newRow("name field") << "NameInp"
                                << "Default";
    QTest::newRow("server label") << "Label6"
                                  << "サーバのＩＰ";
    QTest::newRow("server field") << "ServerIPInp"
                                  << "localhost";
    QTest::newRow("server button") << "btnChoise_1"
                                   << "サーバ";
    QTest::newRow("server button label") << "Label1"
                                         << "まず、サーバを立ててください";
    QTest::newRow("client button") << "btnChoise_2"
                                   << "クライアント";
    QTest::newRow("client button label") << "Label2"
                                         << "チャットのクライアント";
    QTest::newRow("quit button") << "btnChoise_0"
                                 << "終了";
    QTest::newRow("quit button label") << "Label3"
                                       << "このプログラムを終了";
}

void TestFormMain::showsItsTexts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);

    FormMain form;
    QObject *control = form.findChild<QObject *>(name);
    QVERIFY(control);
    QCOMPARE(control->property("text").toString(), text);
}

void TestFormMain::labelsShowTheirWholeText_data()
{
    QTest::addColumn<qreal>("pointSize"); // 0: the platform's own
    QTest::newRow("platform font") << 0.0;
    QTest::newRow("10 pt desktop") << 10.0;
    QTest::newRow("11 pt desktop") << 11.0;
    QTest::newRow("12 pt desktop") << 12.0;
}

void TestFormMain::labelsShowTheirWholeText()
{
    QFETCH(qreal, pointSize);
    const QList<const char *> names = {"Label1", "Label2", "Label3",  "Label4",
                                       "Label5", "Label6", "LabelVer"};
    QMap<QString, QPoint> anchors;
    {
        FormMain atPlatformFont;
        for (const char *name : names)
            anchors[name] = atPlatformFont.findChild<QLabel *>(name)->pos();
    }
    const QFont platformFont = QApplication::font();
    const auto restoreFont = qScopeGuard([&platformFont] { QApplication::setFont(platformFont); });
    if (pointSize > 0) {
        QFont larger = platformFont;
        larger.setPointSizeF(pointSize);
        QApplication::setFont(larger);
    }

    FormMain form;
    for (const char *name : names) {
        const QLabel *label = form.findChild<QLabel *>(name);
        const QRect room = label->contentsRect();
        const int flags = label->wordWrap() ? int(Qt::TextWordWrap) : 0;
        const QRect needed = label->fontMetrics().boundingRect(QRect(0, 0, room.width(), 10000),
                                                               flags, label->text());
        QVERIFY2(needed.width() <= room.width() && needed.height() <= room.height(),
                 qPrintable(QStringLiteral("%1 needs %2 x %3, has %4 x %5")
                                    .arg(label->objectName())
                                    .arg(needed.width())
                                    .arg(needed.height())
                                    .arg(room.width())
                                    .arg(room.height())));
        QVERIFY(form.rect().contains(label->geometry()));
        // Left-aligned labels grow from where they are drawn; the version label may move left.
        if (label != form.LabelVer)
            QCOMPARE(label->pos(), anchors[name]);
    }
}

void TestFormMain::fieldsAreNamedByTheirLabels()
{
    FormMain form;
    QCOMPARE(form.PortInp->accessibleName(), form.Label4->text());
    QCOMPARE(form.NameInp->accessibleName(), form.Label5->text());
    QCOMPARE(form.ServerIPInp->accessibleName(), form.Label6->text());
}

void TestFormMain::versionLabelShowsWholeBuildVersion()
{
    FormMain form;

    QCOMPARE(form.LabelVer->text(), QString("Ver:1.0.0"));
    // Anchored where it was drawn; it may only grow so that the text shows whole.
    QCOMPARE(form.LabelVer->pos(), QPoint(264, 336));
    QVERIFY(form.LabelVer->width() >= 46);
    QVERIFY(form.LabelVer->height() >= 12);
    QVERIFY(form.LabelVer->height() < 2 * form.LabelVer->fontMetrics().height()); // one line
}

void TestFormMain::showsThePicture()
{
    FormMain form;

    const QPixmap picture = form.Picture1->pixmap();
    QCOMPARE(picture.size(), QSize(249, 79));
    QVERIFY(form.Picture1->contentsRect().height() >= 79);
    QCOMPARE(form.Picture1->contentsRect().topLeft(), QPoint(1, 1));
}

void TestFormMain::fieldsLimitTheirLength_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");

    QTest::newRow("port takes five") << "PortInp"
                                     << "1234567"
                                     << "12345";
    QTest::newRow("name takes ten") << "NameInp"
                                    << "abcdefghijkl"
                                    << "abcdefghij";
    QTest::newRow("server takes any length") << "ServerIPInp"
                                             << "chat-server.example.internal.lan"
                                             << "chat-server.example.internal.lan";
}

void TestFormMain::fieldsLimitTheirLength()
{
    QFETCH(QString, name);
    QFETCH(QString, typed);
    QFETCH(QString, kept);

    FormMain form;
    auto *field = form.findChild<QLineEdit *>(name);
    QVERIFY(field);
    field->clear();
    QTest::keyClicks(field, typed);
    QCOMPARE(field->text(), kept);
}

void TestFormMain::quitButtonHasTheFirstFocus()
{
    FormMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));

    QCOMPARE(QApplication::focusWidget(), form.btnChoise[0]);
}

void TestFormMain::tabRunsQuitClientServerThenFields()
{
    FormMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));

    const QList<QWidget *> expected = {form.btnChoise[2], form.btnChoise[1], form.PortInp,
                                       form.NameInp,      form.ServerIPInp,  form.btnChoise[0]};
    QList<QWidget *> visited;
    for (int step = 0; step < expected.size(); ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited.append(QApplication::focusWidget());
    }
    QCOMPARE(visited, expected);
}

void TestFormMain::keysPressTheFocusedButton_data()
{
    QTest::addColumn<int>("key");

    QTest::newRow("space") << int(Qt::Key_Space);
    QTest::newRow("return") << int(Qt::Key_Return);
    QTest::newRow("enter") << int(Qt::Key_Enter);
}

void TestFormMain::keysPressTheFocusedButton()
{
    QFETCH(int, key);

    FormMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), form.btnChoise[2]);

    QTest::keyClick(form.btnChoise[2], Qt::Key(key));
    QCOMPARE(SharedSettings::gstrHandleName, QString("Default"));
    QCOMPARE(SharedSettings::gstrServerIP, QString("localhost"));
    QCOMPARE(SharedSettings::gintPort, 555);
}

void TestFormMain::pressStoresSettings_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("portText");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("server");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("storedName");
    QTest::addColumn<QString>("storedServer");

    QTest::newRow("default fields, client") << 2 << "555"
                                            << "Default"
                                            << "localhost" << 555 << "Default"
                                            << "localhost";
    QTest::newRow("default fields, server") << 1 << "555"
                                            << "Default"
                                            << "localhost" << 555 << "Default"
                                            << "localhost";
    QTest::newRow("empty name becomes Default") << 2 << "600"
                                                << ""
                                                << "host" << 600 << "Default"
                                                << "host";
    QTest::newRow("name of exactly ten stays") << 2 << "600"
                                               << "abcdefghij"
                                               << "host" << 600 << "abcdefghij"
                                               << "host";
    QTest::newRow("name of spaces is kept") << 2 << "600"
                                            << "   "
                                            << "host" << 600 << "   "
                                            << "host";
    QTest::newRow("Japanese name") << 2 << "600"
                                   << "ぷらいん"
                                   << "host" << 600 << "ぷらいん"
                                   << "host";
    QTest::newRow("empty server becomes localhost") << 1 << "600"
                                                    << "me"
                                                    << "" << 600 << "me"
                                                    << "localhost";
    QTest::newRow("server of one space is kept") << 2 << "600"
                                                 << "me"
                                                 << " " << 600 << "me"
                                                 << " ";
    QTest::newRow("half goes up to the even port") << 2 << "55.5"
                                                   << "me"
                                                   << "host" << 56 << "me"
                                                   << "host";
}

void TestFormMain::pressStoresSettings()
{
    QFETCH(int, button);
    QFETCH(QString, portText);
    QFETCH(QString, name);
    QFETCH(QString, server);
    QFETCH(int, port);
    QFETCH(QString, storedName);
    QFETCH(QString, storedServer);

    FormMain form;
    form.show();
    setSettings(-1, QStringLiteral("before"), QStringLiteral("before"));
    form.PortInp->setText(portText);
    form.NameInp->setText(name);
    form.ServerIPInp->setText(server);

    QTest::mouseClick(form.btnChoise[button], Qt::LeftButton);

    QCOMPARE(SharedSettings::gintPort, port);
    QCOMPARE(SharedSettings::gstrHandleName, storedName);
    QCOMPARE(SharedSettings::gstrServerIP, storedServer);
    // The start window stays as it was.
    QVERIFY(form.isVisible());
    QCOMPARE(form.NameInp->text(), name);
    QCOMPARE(form.ServerIPInp->text(), server);
}

void TestFormMain::laterPressOverwritesSettings()
{
    FormMain form;
    form.show();

    QTest::mouseClick(form.btnChoise[2], Qt::LeftButton);
    QCOMPARE(SharedSettings::gstrHandleName, QString("Default"));

    form.NameInp->clear();
    QTest::keyClicks(form.NameInp, QStringLiteral("taro"));
    form.PortInp->clear();
    QTest::keyClicks(form.PortInp, QStringLiteral("4321"));
    form.ServerIPInp->clear();
    QTest::keyClicks(form.ServerIPInp, QStringLiteral("10.0.0.7"));
    QTest::mouseClick(form.btnChoise[2], Qt::LeftButton);

    QCOMPARE(SharedSettings::gintPort, 4321);
    QCOMPARE(SharedSettings::gstrHandleName, QString("taro"));
    QCOMPARE(SharedSettings::gstrServerIP, QString("10.0.0.7"));
}

void TestFormMain::refusedPortShowsMessageAndStoresNothing_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("portText");

    QTest::newRow("letters, client") << 2 << "abc";
    QTest::newRow("letters, server") << 1 << "abc";
}

void TestFormMain::refusedPortShowsMessageAndStoresNothing()
{
    QFETCH(int, button);
    QFETCH(QString, portText);

    FormMain form;
    form.show();
    setSettings(1234, QStringLiteral("before"), QStringLiteral("before"));
    form.PortInp->setText(portText);
    form.NameInp->setText(QStringLiteral("someone"));
    form.ServerIPInp->setText(QString());

    testsupport::MessageBoxAnswerer answerer;
    QTest::mouseClick(form.btnChoise[button], Qt::LeftButton);

    QCOMPARE(answerer.texts(),
             QStringList{
                     "ポート番号が正しくありません。0 から 65535 までの数字を入力してください。"});
    QCOMPARE(answerer.titles(), QStringList{"Pryne Chat"});
    QVERIFY(answerer.allPlain());
    QCOMPARE(SharedSettings::gintPort, 1234);
    QCOMPARE(SharedSettings::gstrHandleName, QString("before"));
    QCOMPARE(SharedSettings::gstrServerIP, QString("before"));
    QVERIFY(form.isVisible());
}

void TestFormMain::quitEndsTheProcessAtOnce_data()
{
    QTest::addColumn<QString>("variant");

    QTest::newRow("valid port") << "555";
    QTest::newRow("port of letters") << "abc";
    QTest::newRow("port out of range") << "99999";
    QTest::newRow("during a nested wait") << "during a nested wait";
}

void TestFormMain::quitEndsTheProcessAtOnce()
{
    QFETCH(QString, variant);

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--press-quit"), variant});
    QVERIFY(child.waitForFinished(20000));

    const QString output = QString::fromLocal8Bit(child.readAllStandardOutput());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    if (variant == QLatin1String("during a nested wait"))
        QCOMPARE(output, QString("closeEvent ran\npressing quit\n"));
    else
        QCOMPARE(output, QString("pressing quit\n")); // no window was asked to close
}

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--press-quit") == 0)
        return pressQuitInChild(QString::fromLocal8Bit(argv[2]));
    TestFormMain test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_FormMain.moc"
