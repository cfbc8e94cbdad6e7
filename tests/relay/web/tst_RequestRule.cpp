#include "relay/web/RequestRule.h"

#include <QtTest>

// What the web port answers to a request head, decided before anything is served.
class TestRequestRule : public QObject
{
    Q_OBJECT

private slots:
    void judgesHeads_data();
    void judgesHeads();
    void waitsForTheWholeHeadWithinItsBound_data();
    void waitsForTheWholeHeadWithinItsBound();
    void answersNotModifiedToACurrentCopy();
};

namespace {

using Outcome = RequestRule::Outcome;

RequestRule pageRule()
{
    return RequestRule({QStringLiteral("localhost"), QStringLiteral("chatbox"),
                        QStringLiteral("chatbox.local")},
                       {"/", "/chat.js", "/chat.css", "/icon.png"}, "/chat");
}

const QByteArray upgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                           "Sec-WebSocket-Version: 13\r\n";

QByteArray get(const QByteArray &target, const QByteArray &fields = "Host: 192.168.1.10:8080\r\n")
{
    return "GET " + target + " HTTP/1.1\r\n" + fields + "\r\n";
}

QByteArray chat(const QByteArray &host, const QByteArray &origin)
{
    return get("/chat", "Host: " + host + "\r\n" + upgrade + "Origin: " + origin + "\r\n");
}

} // namespace

void TestRequestRule::judgesHeads_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("path");

    const int file = int(Outcome::ServeFile), open = int(Outcome::OpenChat);
    const int refuse = int(Outcome::Refuse);
    QTest::newRow("the page") << get("/") << file << 0 << QByteArray("/");
    QTest::newRow("its script") << get("/chat.js") << file << 0 << QByteArray("/chat.js");
    QTest::newRow("its style") << get("/chat.css") << file << 0 << QByteArray("/chat.css");
    QTest::newRow("its icon") << get("/icon.png") << file << 0 << QByteArray("/icon.png");
    QTest::newRow("header names in any case")
            << QByteArray("GET / HTTP/1.1\r\nhOsT:localhost:8080\r\n\r\n") << file << 0
            << QByteArray("/");
    QTest::newRow("HTTP/1.0") << QByteArray("GET / HTTP/1.0\r\nHost: 10.0.0.2\r\n\r\n") << file << 0
                              << QByteArray("/");
    QTest::newRow("the machine's name")
            << get("/", "Host: chatbox:8080\r\n") << file << 0 << QByteArray("/");
    QTest::newRow("its name with a final dot")
            << get("/", "Host: ChatBox.local.:8080\r\n") << file << 0 << QByteArray("/");
    QTest::newRow("IPv6 literal") << get("/", "Host: [::1]:8080\r\n") << file << 0
                                  << QByteArray("/");

    QTest::newRow("another file") << get("/etc/passwd") << refuse << 404 << QByteArray();
    QTest::newRow("climbing out") << get("/../chat.js") << refuse << 404 << QByteArray();
    QTest::newRow("index by name") << get("/index.html") << refuse << 404 << QByteArray();
    QTest::newRow("a query") << get("/?q=1") << refuse << 404 << QByteArray();
    QTest::newRow("absolute form")
            << get("http://192.168.1.10:8080/") << refuse << 404 << QByteArray();
    QTest::newRow("favicon") << get("/favicon.ico") << refuse << 404 << QByteArray();
    QTest::newRow("POST") << QByteArray("POST / HTTP/1.1\r\nHost: 10.0.0.2\r\n\r\n") << refuse
                          << 405 << QByteArray();
    QTest::newRow("a body announced")
            << get("/", "Host: 10.0.0.2\r\nContent-Length: 5\r\n") << refuse << 400 << QByteArray();
    QTest::newRow("a chunked body") << get("/", "Host: 10.0.0.2\r\nTransfer-Encoding: chunked\r\n")
                                    << refuse << 400 << QByteArray();
    QTest::newRow("no Host") << QByteArray("GET / HTTP/1.1\r\n\r\n") << refuse << 400
                             << QByteArray();
    QTest::newRow("two Hosts") << get("/", "Host: 10.0.0.2\r\nHost: evil.example\r\n") << refuse
                               << 400 << QByteArray();
    QTest::newRow("a folded line")
            << get("/", "Host: 10.0.0.2\r\n X-Folded: yes\r\n") << refuse << 400 << QByteArray();
    QTest::newRow("a blank before the colon")
            << get("/", "Host : 10.0.0.2\r\n") << refuse << 400 << QByteArray();
    QTest::newRow("a bare LF inside a field")
            << get("/", "Host: 10.0.0.2\r\nX-A: b\nc\r\n") << refuse << 400 << QByteArray();
    QTest::newRow("HTTP/2") << QByteArray("GET / HTTP/2.0\r\nHost: 10.0.0.2\r\n\r\n") << refuse
                            << 400 << QByteArray();
    QTest::newRow("garbage") << QByteArray("\x16\x03\x01\x02\x01\r\n\r\n") << refuse << 400
                             << QByteArray();
    QTest::newRow("a foreign name (DNS rebinding)")
            << get("/", "Host: evil.example:8080\r\n") << refuse << 421 << QByteArray();
    QTest::newRow("IPv4 in brackets")
            << get("/", "Host: [10.0.0.2]:8080\r\n") << refuse << 421 << QByteArray();
    QTest::newRow("a port that is no number")
            << get("/", "Host: 10.0.0.2:80x\r\n") << refuse << 421 << QByteArray();

    QTest::newRow("the chat from its page")
            << chat("192.168.1.10:8080", "http://192.168.1.10:8080") << open << 0 << QByteArray();
    QTest::newRow("origin in capitals")
            << chat("chatbox:8080", "http://ChatBox:8080") << open << 0 << QByteArray();
    QTest::newRow("port 80 left out of the origin")
            << chat("10.0.0.2:80", "http://10.0.0.2") << open << 0 << QByteArray();
    QTest::newRow("another site's page")
            << chat("192.168.1.10:8080", "http://evil.example") << refuse << 403 << QByteArray();
    QTest::newRow("same host, another port")
            << chat("192.168.1.10:8080", "http://192.168.1.10:8081") << refuse << 403
            << QByteArray();
    QTest::newRow("https page") << chat("192.168.1.10:8080", "https://192.168.1.10:8080") << refuse
                                << 403 << QByteArray();
    QTest::newRow("a sandboxed page")
            << chat("192.168.1.10:8080", "null") << refuse << 403 << QByteArray();
    QTest::newRow("no origin") << get("/chat", "Host: 192.168.1.10:8080\r\n" + upgrade) << refuse
                               << 403 << QByteArray();
    QTest::newRow("origin with a path")
            << chat("10.0.0.2:8080", "http://10.0.0.2:8080/x") << refuse << 403 << QByteArray();
    QTest::newRow("the chat without an upgrade") << get("/chat") << refuse << 426 << QByteArray();
    const QByteArray own = chat("10.0.0.2", "http://10.0.0.2");
    QTest::newRow("another version")
            << QByteArray(own).replace(": 13", ": 8") << refuse << 426 << QByteArray();
    QTest::newRow("no key") << QByteArray(own).replace("-Key", "-Ke") << refuse << 400
                            << QByteArray();
    QTest::newRow("a key of 15 bytes")
            << QByteArray(own).replace("ZQ==", "") << refuse << 400 << QByteArray();
    QTest::newRow("HTTP/1.0") << QByteArray(own).replace("/1.1", "/1.0") << refuse << 400
                              << QByteArray();
    QTest::newRow("rebinding reaches the chat too")
            << chat("evil.example:8080", "http://evil.example:8080") << refuse << 421
            << QByteArray();
}

void TestRequestRule::judgesHeads()
{
    QFETCH(QByteArray, head);
    QFETCH(int, outcome);
    QFETCH(int, status);
    QFETCH(QByteArray, path);

    const RequestRule::Verdict verdict = pageRule().judge(head);
    QCOMPARE(int(verdict.outcome), outcome);
    QCOMPARE(verdict.status, status);
    QCOMPARE(verdict.path, path);
    // The answer to the key of RFC 6455's own example (1.3), which every chat row sends.
    if (verdict.outcome == Outcome::OpenChat)
        QCOMPARE(verdict.accept, QByteArray("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="));
}

void TestRequestRule::answersNotModifiedToACurrentCopy()
{
    const QByteArray since = "If-Modified-Since: Thu, 10 Dec 2026 15:00:00 GMT\r\n";
    const auto current = [](const QByteArray &validators) {
        const auto verdict = pageRule().judge(get("/chat.js", "Host: chatbox\r\n" + validators));
        return RequestRule::holdsCurrent(verdict, "\"abc\"", "Thu, 10 Dec 2026 15:00:00 GMT");
    };
    QVERIFY(!current({}));
    QVERIFY(current("If-None-Match: \"x\", W/\"abc\"\r\n" + since));
    QVERIFY(!current("If-None-Match: \"x\"\r\n" + since)); // the tag decides, not the date
    QVERIFY(current(since));
}

void TestRequestRule::waitsForTheWholeHeadWithinItsBound_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("status");

    const QByteArray fill = "X-Fill: " + QByteArray(100, 'a') + "\r\n";
    QByteArray full = "GET / HTTP/1.1\r\nHost: 10.0.0.2\r\n";
    while (full.size() + fill.size() + 16 <= 8192)
        full += fill;
    full += "X-Last: " + QByteArray(8192 - full.size() - 8 - 4, 'b') + "\r\n\r\n";
    QTest::newRow("nothing yet") << QByteArray() << int(Outcome::NeedMore) << 0;
    QTest::newRow("half a head") << QByteArray("GET / HTTP/1.1\r\nHost: 10.")
                                 << int(Outcome::NeedMore) << 0;
    QTest::newRow("exactly 8 KiB") << full << int(Outcome::ServeFile) << 0;
    QTest::newRow("8 KiB without an end") << QByteArray(8192, 'a') << int(Outcome::Refuse) << 431;
    QTest::newRow("a byte over 8 KiB") << full.insert(20, "b") << int(Outcome::Refuse) << 431;
}

void TestRequestRule::waitsForTheWholeHeadWithinItsBound()
{
    QFETCH(QByteArray, received);
    QFETCH(int, outcome);
    QFETCH(int, status);

    const RequestRule::Verdict verdict = pageRule().judge(received);
    QCOMPARE(int(verdict.outcome), outcome);
    QCOMPARE(verdict.status, status);
}

QTEST_APPLESS_MAIN(TestRequestRule)
#include "tst_RequestRule.moc"
