#include "relay/ConsoleOutput.h"

#include <QtTest>

// How a relayed text reaches the administrator's console: one line, whatever the client sent.
class TestConsoleOutput : public QObject
{
    Q_OBJECT

private slots:
    void showsEachTextAsOneEscapedLine_data();
    void showsEachTextAsOneEscapedLine();
};

void TestConsoleOutput::showsEachTextAsOneEscapedLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");

    // Line ends
    QTest::newRow("a chat line loses its CR LF") << QStringLiteral("1@alice     |こんにちは\r\n")
                                                 << QStringLiteral("1@alice     |こんにちは");
    QTest::newRow("a final LF alone goes too") << QStringLiteral("hi\n") << QStringLiteral("hi");
    QTest::newRow("a text without a line end stays as it is")
            << QStringLiteral("no line end") << QStringLiteral("no line end");
    QTest::newRow("only the last line end goes")
            << QStringLiteral("a\r\n\r\n") << QStringLiteral("a\\r\\n");
    QTest::newRow("a final bare CR is no line end")
            << QStringLiteral("x\r") << QStringLiteral("x\\r");
    QTest::newRow("a line end alone is an empty line") << QStringLiteral("\r\n") << QString();
    QTest::newRow("an empty text is an empty line") << QString() << QString();

    // Forged lines
    QTest::newRow("a status line after CR LF stays inside the text")
            << QStringLiteral("hi\r\nprynechat-relay: lost Redis at 10.0.0.9:6379\r\n")
            << QStringLiteral("hi\\r\\nprynechat-relay: lost Redis at 10.0.0.9:6379");
    QTest::newRow("so does one after a bare LF")
            << QStringLiteral("hi\nprynechat-relay: SIGTERM, closing every connection")
            << QStringLiteral("hi\\nprynechat-relay: SIGTERM, closing every connection");
    QTest::newRow("a bare CR cannot write over the line")
            << QStringLiteral("ok\rprynechat-relay: relaying on 10.0.0.1:555")
            << QStringLiteral("ok\\rprynechat-relay: relaying on 10.0.0.1:555");
    QTest::newRow("line and paragraph separators")
            << QStringLiteral("a\u2028b\u2029c") << QStringLiteral("a\\u2028b\\u2029c");
    QTest::newRow("next line, a C1 control")
            << QStringLiteral("a\u0085b") << QStringLiteral("a\\u0085b");
    QTest::newRow("a right-to-left override and an isolate")
            << QStringLiteral("\u202egnp.exe\u2067x\u2069")
            << QStringLiteral("\\u202egnp.exe\\u2067x\\u2069");

    // Terminal controls
    QTest::newRow("colour, title and clipboard")
            << QStringLiteral("\x1b[31mred\x1b]0;title\x07\x1b]52;c;SGVsbG8=\x1b\\")
            << QStringLiteral("\\x1b[31mred\\x1b]0;title\\x07\\x1b]52;c;SGVsbG8=\\x1b\\\\");
    QTest::newRow("a C1 CSI clears the screen")
            << QStringLiteral("\u009b2J") << QStringLiteral("\\u009b2J");
    QTest::newRow("tab, DEL and NUL") << QString::fromUtf8(QByteArray("a\tb\x7f\0c", 6))
                                      << QStringLiteral("a\\tb\\x7f\\x00c");

    // Backslashes: an escape in the output is always one the console made
    QTest::newRow("a backslash is doubled")
            << QStringLiteral("C:\\temp") << QStringLiteral("C:\\\\temp");
    QTest::newRow("a written-out \\n is no escaped line break")
            << QStringLiteral("hi\\nprynechat-relay: lost Redis")
            << QStringLiteral("hi\\\\nprynechat-relay: lost Redis");
    QTest::newRow("a written-out escape next to a real one")
            << QStringLiteral("\\x1b\x1b") << QStringLiteral("\\\\x1b\\x1b");

    // Texts that begin like the relay's own lines
    QTest::newRow("a text that begins with the relay's name")
            << QStringLiteral("prynechat-relay: 10.0.0.9:4000 dropped: lagging (2 clients)\r\n")
            << QStringLiteral("\\x70rynechat-relay: 10.0.0.9:4000 dropped: lagging (2 clients)");
    QTest::newRow("the name without its colon")
            << QStringLiteral("prynechat-relay\u200b: SIGTERM")
            << QStringLiteral("\\x70rynechat-relay\u200b: SIGTERM");
    QTest::newRow("an invisible character in front of the name")
            << QStringLiteral("\u200bprynechat-relay: SIGTERM")
            << QStringLiteral("\\u200bprynechat-relay: SIGTERM");
    QTest::newRow("a byte order mark in front")
            << QStringLiteral("\ufeffprynechat-relay: SIGTERM")
            << QStringLiteral("\\ufeffprynechat-relay: SIGTERM");
    QTest::newRow("an invisible tag character in front, beyond the first plane")
            << QStringLiteral("\U000e0001prynechat-relay: SIGTERM")
            << QStringLiteral("\\udb40\\udc01prynechat-relay: SIGTERM");
    QTest::newRow("the name later in the text stays as it is")
            << QStringLiteral("1@bob       |prynechat-relay: is it up?")
            << QStringLiteral("1@bob       |prynechat-relay: is it up?");
    QTest::newRow("the name in capitals is another text")
            << QStringLiteral("PRYNECHAT-RELAY: hi") << QStringLiteral("PRYNECHAT-RELAY: hi");
    QTest::newRow("a journal priority of its own stays as text")
            << QStringLiteral("<3>prynechat-relay: x") << QStringLiteral("<3>prynechat-relay: x");

    QTest::newRow("a combining grapheme joiner in front")
            << QStringLiteral("\u034fprynechat-relay: x")
            << QStringLiteral("\\u034fprynechat-relay: x");
    QTest::newRow("a variation selector in front") << QStringLiteral("\ufe0fprynechat-relay: x")
                                                   << QStringLiteral("\\ufe0fprynechat-relay: x");
    QTest::newRow("a Hangul filler in front") << QStringLiteral("\u3164prynechat-relay: x")
                                              << QStringLiteral("\\u3164prynechat-relay: x");
    QTest::newRow("an ideographic space in front") << QStringLiteral("\u3000prynechat-relay: x")
                                                   << QStringLiteral("\\u3000prynechat-relay: x");
    QTest::newRow("a fullwidth p") << QStringLiteral("\uff50rynechat-relay: x")
                                   << QStringLiteral("\\uff50rynechat-relay: x");
    QTest::newRow("a Cyrillic p") << QStringLiteral("\u0440rynechat-relay: x")
                                  << QStringLiteral("\\u0440rynechat-relay: x");
    QTest::newRow("a mathematical p, beyond the first plane")
            << QStringLiteral("\U0001d429rynechat-relay: x")
            << QStringLiteral("\\ud835\\udc29rynechat-relay: x");

    // What passes
    QTest::newRow("Japanese and emoji pass")
            << QStringLiteral("ログイン 😀") << QStringLiteral("ログイン 😀");
    QTest::newRow("a plain p in front passes")
            << QStringLiteral("prynechat") << QStringLiteral("prynechat");
    QTest::newRow("a Cyrillic letter later passes")
            << QStringLiteral("1@иван      |привет") << QStringLiteral("1@иван      |привет");
    QTest::newRow("a joiner in an emoji passes")
            << QStringLiteral("👩\u200d💻") << QStringLiteral("👩\u200d💻");
}

void TestConsoleOutput::showsEachTextAsOneEscapedLine()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(consoleText(text), shown);
}

QTEST_GUILESS_MAIN(TestConsoleOutput)
#include "tst_ConsoleOutput.moc"
