#include "forms/LogModel.h"

#include <QtTest>

#include <algorithm>
#include <vector>

namespace {

using Place = LogModel::Place;

QString lines(int count, const QString &prefix = QStringLiteral("line "))
{
    QString text;
    for (int number = 0; number < count; ++number)
        text += prefix + QString::number(number) + QStringLiteral("\r\n");
    return text;
}

// The newest whole lines that fit into capacity characters; when not even the last line fits,
// its last characters, a surrogate pair kept whole.
QString newestPart(const QString &all, int capacity)
{
    qsizetype start = all.size();
    while (start > 0) {
        const qsizetype lineStart = start >= 2 ? all.lastIndexOf(u'\n', start - 2) + 1 : 0;
        if (all.size() - lineStart > capacity)
            break;
        start = lineStart;
    }
    if (start == all.size()) {
        start = all.size() - capacity;
        if (all.at(start).isLowSurrogate())
            ++start;
    }
    return all.mid(start);
}

// A place a view may keep: inside the kept pieces and inside its piece's shown text.
bool isValid(const LogModel &model, LogSpot spot)
{
    return spot.piece >= model.firstPiece() && spot.piece <= model.lastPiece() && spot.offset >= 0
            && spot.offset <= model.shownSize(spot.piece);
}

} // namespace

// The log's text without a widget: what stays, and where the places a view keeps go.
class TestLogModel : public QObject
{
    Q_OBJECT

private slots:
    void keepsEveryAppendedText_data();
    void keepsEveryAppendedText();
    void keepsTenThousandLinesAndFourMillionCharacters();
    void trimsARunOnLineFedInSmallPieces();
    void keepsEveryPlaceValidWhenTheLogShrinks_data();
    void keepsEveryPlaceValidWhenTheLogShrinks();
    void placesMoveWithTheirText_data();
    void placesMoveWithTheirText();
    void neverReusesAPieceNumber();
    void convertsPositionsBothWays_data();
    void convertsPositionsBothWays();
    void findsTheLineAroundAPiece();
    void breaksLinesAtEveryLineEndWherever_data();
    void breaksLinesAtEveryLineEndWherever();
    void keepsTheNewestTextWholeAcrossManyBlocks();
    void laysEachTextOfALineOutOnItsOwn();
    void holdsAtMostAboutTwoBytesACharacter_data();
    void holdsAtMostAboutTwoBytesACharacter();
};

void TestLogModel::keepsEveryAppendedText_data()
{
    QTest::addColumn<QStringList>("appends");
    QTest::addColumn<QString>("shown");

    QTest::newRow("chat lines") << QStringList{"1@a         |x\r\n", "2@b         |y\r\n"}
                                << "1@a         |x\n2@b         |y\n";
    QTest::newRow("text without line end runs on") << QStringList{"ab", "cd\r\n", "e"} << "abcd\ne";
    QTest::newRow("CR LF split across appends") << QStringList{"a\r", "\nb\r", "\n"} << "a\nb\n";
    QTest::newRow("empty text adds nothing") << QStringList{"a", "", "b"} << "ab";
    QTest::newRow("only empty texts") << QStringList{"", ""} << "";
    QTest::newRow("empty lines") << QStringList{"\r\n\r\n", "\r\n"} << "\n\n\n";
    QTest::newRow("japanese") << QStringList{"こんにちは\r\n", "さようなら"}
                              << "こんにちは\nさようなら";
    QTest::newRow("lone CR is not shown") << QStringList{"a\rb"} << "ab";
}

void TestLogModel::keepsEveryAppendedText()
{
    QFETCH(QStringList, appends);
    QFETCH(QString, shown);

    LogModel model;
    for (const QString &text : appends)
        model.append(text);
    QCOMPARE(model.text(), appends.join(QString()));
    QCOMPARE(model.length(), model.text().size());
    QCOMPARE(model.shownText(), shown);
    QCOMPARE(model.blockCount(), int(shown.count(u'\n')) + 1);
}

void TestLogModel::keepsTenThousandLinesAndFourMillionCharacters()
{
    // What the windows keep. Any line end counts, or a peer could grow the log without bound
    // with a character that the count does not see.
    LogModel model;
    QString sent;
    for (int number = 1; number <= 10005; ++number)
        sent += QString::number(number) + u'\v';
    model.append(sent.left(sent.size() / 2));
    model.append(sent.mid(sent.size() / 2));
    QCOMPARE(model.blockCount(), 10001);
    QVERIFY(model.text().startsWith(QStringLiteral("6\v7\v")));

    // Five lines of 1,000,002: keeping four would pass 4,000,000, so only three stay; a line
    // longer than that pushes them out and is cut.
    QString expected;
    for (const QChar letter : QStringLiteral("abcde")) {
        const QString line = QString(1000000, letter) + QStringLiteral("\r\n");
        model.append(line);
        if (letter >= u'c')
            expected += line;
    }
    QCOMPARE(model.length(), 3000006);
    QVERIFY(model.text() == expected);
    model.append(QString(4000001, u'z'));
    QCOMPARE(model.length(), 4000000);
}

void TestLogModel::trimsARunOnLineFedInSmallPieces()
{
    // A peer that sends text without line ends, piece by piece: the cut moves through the line,
    // CRs, CR LF pairs and surrogate pairs inside it included.
    LogModel model;
    model.setCapacity(LogModel::defaultMaxLines, 10000);
    QString all;
    for (int piece = 0; piece < 400; ++piece) {
        QString text =
                QString(piece % 13 * 97 + 1, QChar(u'A' + piece % 26)) + QStringLiteral("\r");
        if (piece % 9 == 0)
            text += QStringLiteral("😀");
        if (piece % 50 == 0)
            text += QStringLiteral("\r\n");
        all += text;
        model.append(text);
        const QString expected = newestPart(all, 10000);
        QCOMPARE(model.text(), expected);
        QCOMPARE(model.shownText(), QString(expected).remove(u'\r'));
    }
}

void TestLogModel::keepsEveryPlaceValidWhenTheLogShrinks_data()
{
    QTest::addColumn<int>("maxLines");
    QTest::addColumn<int>("maxCharacters");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("change"); // "clear", or a text to append
    QTest::addColumn<QString>("shownAfter");

    QTest::newRow("cleared") << 200 << 4000 << lines(200) << "clear"
                             << "";
    QTest::newRow("set to a shorter text") << 200 << 4000 << lines(200) << "set:x\r\n"
                                           << "x\n";
    QTest::newRow("one long line trims at the character limit")
            << 200 << 4000 << lines(200) << QString(3990, u'w')
            << QStringLiteral("line 199\n") + QString(3990, u'w');
    QTest::newRow("new lines trim at the line limit")
            << 5 << 4000 << lines(5) << lines(3, QStringLiteral("new "))
            << "line 3\nline 4\nnew 0\nnew 1\nnew 2\n";
    QTest::newRow("one text with more lines than the limit")
            << 3 << 4000 << lines(3) << lines(10, QStringLiteral("n")) << "n7\nn8\nn9\n";
    QTest::newRow("a run-on line longer than the limit")
            << 200 << 9000 << lines(10) << QString(10000, u'z') << QString(9000, u'z');
    QTest::newRow("a cut through hidden CRs") << 200 << 9 << QString() << "a\rb\rc\rd\re\rf"
                                              << "bcdef";
    QTest::newRow("a cut keeps a surrogate pair whole")
            << 200 << 9 << QString() << QStringLiteral("😀").repeated(5)
            << QStringLiteral("😀").repeated(4);
    QTest::newRow("a run-on line of kana longer than the limit")
            << 200 << 9000 << lines(10)
            << QStringLiteral("かきく").repeated(2000) + QStringLiteral("x").repeated(5000)
            << QStringLiteral("かきく").repeated(2000).mid(2000)
                    + QStringLiteral("x").repeated(5000);
}

void TestLogModel::keepsEveryPlaceValidWhenTheLogShrinks()
{
    QFETCH(int, maxLines);
    QFETCH(int, maxCharacters);
    QFETCH(QString, before);
    QFETCH(QString, change);
    QFETCH(QString, shownAfter);

    LogModel model;
    model.setCapacity(maxLines, maxCharacters);
    model.setText(before);
    // The caret at the end, the anchor on the second line, the top halfway.
    model.setPlace(Place::Caret, model.end());
    model.setPlace(Place::Anchor, model.spotOfShownPosition(10));
    model.setPlace(Place::Top, model.spotOfShownPosition(model.shownPosition(model.end()) / 2));

    if (change == u"clear")
        model.setText(QString());
    else if (change.startsWith(u"set:"))
        model.setText(change.mid(4));
    else
        model.append(change);

    QCOMPARE(model.shownText(), shownAfter);
    QCOMPARE(model.shownPosition(model.end()), shownAfter.size());
    for (const Place place : {Place::Caret, Place::Anchor, Place::Top})
        QVERIFY2(isValid(model, model.place(place)), qPrintable(QString::number(int(place))));
    QVERIFY(model.shownBetween(model.place(Place::Anchor), model.place(Place::Caret)).size()
            <= shownAfter.size());
    QVERIFY(model.shownPosition(model.place(Place::Caret)) <= shownAfter.size());
}

void TestLogModel::placesMoveWithTheirText_data()
{
    QTest::addColumn<int>("maxLines");
    QTest::addColumn<int>("maxCharacters");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("appended");
    QTest::addColumn<QList<int>>("places"); // caret and anchor, shown positions before
    QTest::addColumn<QList<int>>("after");

    QString alphabet;
    for (int index = 0; index < 8000; ++index)
        alphabet += QChar(u'a' + index % 26);
    // A place in text that went goes to the start.
    QTest::newRow("whole lines go") << 5 << 1000 << "1\r\n2\r\n3\r\n4\r\n5\r\n"
                                    << "6\r\n7\r\n"
                                    << QList<int>{6, 1} << QList<int>{2, 0};
    QTest::newRow("a line longer than the limit is cut from its start")
            << 10 << 10000 << alphabet << QString(4000, u'-') << QList<int>{7000, 100}
            << QList<int>{5000, 0};
}

void TestLogModel::placesMoveWithTheirText()
{
    QFETCH(int, maxLines);
    QFETCH(int, maxCharacters);
    QFETCH(QString, before);
    QFETCH(QString, appended);
    QFETCH(QList<int>, places);
    QFETCH(QList<int>, after);

    LogModel model;
    model.setCapacity(maxLines, maxCharacters);
    model.setText(before);
    model.setPlace(Place::Caret, model.spotOfShownPosition(places[0]));
    model.setPlace(Place::Anchor, model.spotOfShownPosition(places[1]));
    const QChar atCaret = model.shownText().at(places[0]);
    model.append(appended);

    const QList<int> moved{model.shownPosition(model.place(Place::Caret)),
                           model.shownPosition(model.place(Place::Anchor))};
    QCOMPARE(moved, after);
    QCOMPARE(model.shownText().at(moved[0]), atCaret);
}

void TestLogModel::neverReusesAPieceNumber()
{
    // A view caches layouts under piece numbers: a cleared log must not hand out old ones.
    LogModel model;
    model.setText(lines(3));
    const qint64 lastBefore = model.lastPiece();
    model.setText(QString());
    QVERIFY(model.firstPiece() > lastBefore);
    model.append(QStringLiteral("x"));
    QVERIFY(model.firstPiece() > lastBefore);
    QCOMPARE(model.shownText(), QStringLiteral("x"));
}

void TestLogModel::convertsPositionsBothWays_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("logPosition");
    QTest::addColumn<int>("shownPosition");

    QTest::newRow("start") << "ab\r\ncd" << 0 << 0;
    QTest::newRow("before CR LF") << "ab\r\ncd" << 2 << 2;
    QTest::newRow("between CR and LF") << "ab\r\ncd" << 3 << 2;
    QTest::newRow("after CR LF") << "ab\r\ncd" << 4 << 3;
    QTest::newRow("end") << "ab\r\ncd" << 6 << 5;
    QTest::newRow("beyond the end") << "ab" << 9 << 2;
    QTest::newRow("before the start") << "ab" << -1 << 0;
    QTest::newRow("lone CR not shown") << "a\rb" << 2 << 1;
    QTest::newRow("second piece of a long line") << QString(5000, u'x') << 4500 << 4500;
    QTest::newRow("after a long line") << QString(5000, u'x') + "\r\nend" << 5004 << 5003;
}

void TestLogModel::convertsPositionsBothWays()
{
    QFETCH(QString, text);
    QFETCH(int, logPosition);
    QFETCH(int, shownPosition);

    LogModel model;
    model.setText(text);
    const LogSpot spot = model.spotOfLogPosition(logPosition);
    QCOMPARE(model.shownPosition(spot), shownPosition);
    QCOMPARE(model.shownPosition(model.spotOfShownPosition(shownPosition)), shownPosition);
    QCOMPARE(model.shownBetween(model.start(), spot), model.shownText().left(shownPosition));
}

void TestLogModel::findsTheLineAroundAPiece()
{
    // Three pieces of one line between two short lines.
    LogModel model;
    model.setText(QStringLiteral("a\n") + QString(10000, u'x') + QStringLiteral("\nb"));
    const qint64 longLine = model.firstPiece() + 1;
    QCOMPARE(model.lastPiece(), longLine + 3);
    QCOMPARE(model.lineStartPiece(longLine + 2), longLine);
    QVERIFY(!model.startsLine(longLine + 1));
    QCOMPARE(model.nextLineStart(longLine), (LogSpot{longLine + 3, 0}));
    QCOMPARE(model.nextLineStart(longLine + 3), model.end());
    QCOMPARE(model.blockCount(), 3);
}

void TestLogModel::breaksLinesAtEveryLineEndWherever_data()
{
    // Line ends are looked for several characters at a time (groups of 32 and of 8): one at
    // each place in and around such a group must still end its line, and a character next to
    // one (a CR's or a separator's neighbour) must not.
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("lines");

    const QString ascii(71, u'a');
    const QString japanese(71, u'あ');
    const struct
    {
        char16_t code;
        const char *name;
    } ends[] = {{0x0a, "LF"},
                {0x0b, "VT"},
                {0x0c, "FF"},
                {0x85, "NEL"},
                {0x2028, "line separator"},
                {0x2029, "paragraph separator"},
                {0xfdd0, "U+FDD0"},
                {0xfdd1, "U+FDD1"}};
    for (const auto &end : ends) {
        for (int at : {0, 7, 8, 15, 16, 31, 32, 39, 63, 64, 70}) {
            for (const QString &line : {ascii, japanese}) {
                QString text = line;
                text[at] = QChar(end.code);
                QString shown = line;
                shown[at] = u'\n';
                QTest::addRow("%s at %d among %s", end.name, at, line == ascii ? "ASCII" : "kana")
                        << text << shown << 2;
            }
        }
    }
    for (int at : {0, 7, 8, 31, 32, 63, 70}) {
        QString text = ascii;
        text[at] = u'\r';
        QTest::addRow("CR at %d: hidden, no line end", at)
                << text << QString(ascii).remove(at, 1) << 1;
    }
    const QString neighbours =
            QStringLiteral("\u0009\u000e\u0084\u0086\u2027\u202a\ufdcf\ufdd2\u0009").repeated(8);
    QTest::newRow("the neighbours of the line ends are plain characters")
            << neighbours << neighbours << 1;
}

void TestLogModel::breaksLinesAtEveryLineEndWherever()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QFETCH(int, lines);

    LogModel model;
    model.setText(text);
    QCOMPARE(model.shownText(), shown);
    QCOMPARE(model.blockCount(), lines);
    QCOMPARE(model.shownPosition(model.end()), shown.size());
}

void TestLogModel::laysEachTextOfALineOutOnItsOwn()
{
    // A view lays out each piece alone, so the override that ends a text stays in it; past
    // textsPerLine texts, a line's last piece takes the rest.
    LogModel model;
    model.append(u"abc\u202E");
    model.append(u"pay 5678\r\n");
    for (int text = 0; text < LogModel::textsPerLine + 3; ++text)
        model.append(u"x");
    QCOMPARE(model.shown(model.firstPiece() + 1), QStringLiteral("pay 5678"));
    QCOMPARE(model.lastPiece() - model.firstPiece(), qint64(1 + LogModel::textsPerLine));
    QCOMPARE(model.text(),
             QStringLiteral("abc\u202Epay 5678\r\n") + QString(LogModel::textsPerLine + 3, u'x'));
}

void TestLogModel::keepsTheNewestTextWholeAcrossManyBlocks()
{
    // The characters lie in blocks shared by many pieces, one byte each while a piece holds
    // nothing past U+00FF, and a growing line moves to a new block when its block fills or it
    // turns to two bytes a character: whatever the mix of short lines, run-on lines, hidden CRs,
    // Latin-1 letters, kana, surrogate pairs and line ends past U+00FF, what the log holds is
    // always the newest part of what it was given.
    const QString pair = QStringLiteral("\U0001F600");
    QRandomGenerator random(18);
    for (const int maxCharacters : {50000, 300000}) {
        LogModel model;
        model.setCapacity(300, maxCharacters);
        QString given;
        for (int round = 0; round < 600; ++round) {
            QString text;
            const int kind = random.bounded(5);
            const int length = kind == 0 ? random.bounded(9000) : random.bounded(300);
            const int odd = 1 + random.bounded(60); // where the first unusual character goes
            for (int index = 0; index < length; ++index) {
                if (index % 61 == odd && kind == 3)
                    text += pair;
                else if (index % 61 == odd && kind == 4)
                    text += random.bounded(2) ? u'あ' : u'é';
                else
                    text += QChar(u'a' + index % 26);
            }
            if (kind == 2)
                text += u'\r';
            else if (kind == 4)
                text += u'\u2028';
            else if (kind != 0)
                text += QStringLiteral("\r\n");
            // Changing the bytes under a text afterwards changes nothing here.
            std::vector<QChar> foreign(text.constBegin(), text.constEnd());
            QString appended =
                    random.bounded(2) ? text : QString::fromRawData(foreign.data(), text.size());
            model.append(appended);
            given += text;
            std::fill(foreign.begin(), foreign.end(), QChar(u'#'));

            const QString kept = model.text();
            QVERIFY2(given.endsWith(kept), qPrintable(QString::number(round)));
            QCOMPARE(model.length(), kept.size());
            QVERIFY(kept.size() <= maxCharacters);
            QCOMPARE(model.blockCount(), int(kept.count(u'\n') + kept.count(u'\u2028')) + 1);
            QVERIFY(model.blockCount() <= 301);
            QVERIFY(kept.isEmpty() || !kept.front().isLowSurrogate());
            if (given.size() > 4 * maxCharacters)
                given = given.right(2 * maxCharacters);
        }
        QCOMPARE(model.shownText(), model.text().remove(u'\r').replace(u'\u2028', u'\n'));
    }
}

void TestLogModel::holdsAtMostAboutTwoBytesACharacter_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<double>("bytesPerCharacter"); // the most a kept character takes

    QTest::newRow("ASCII chat lines") << QString(1022, u'a') + QStringLiteral("\r\n") << 1.0;
    QTest::newRow("kana chat lines") << QString(1022, u'あ') + QStringLiteral("\r\n") << 2.0;
    // Each piece turns to two bytes a character only at its very end.
    QTest::newRow("Latin-1 pieces that end in kana")
            << QString(4095, u'é') + QStringLiteral("か\n") << 2.0;
    QTest::newRow("lines of one byte and of two by turns")
            << QString(500, u'a') + u'\n' + QString(500, u'か') + u'\n' << 2.0;
    QTest::newRow("a run-on line past U+00FF at its start")
            << QStringLiteral("か") + QString(5000, u'x') << 2.0;
}

void TestLogModel::holdsAtMostAboutTwoBytesACharacter()
{
    // Whatever a peer sends, the log's memory follows what it keeps: besides the kept text,
    // at most one piece moved or left unused per block and two blocks of trimmed text.
    QFETCH(QString, line);
    QFETCH(double, bytesPerCharacter);

    LogModel model;
    for (int appended = 0; appended < 3 * model.maxCharacters(); appended += int(line.size()))
        model.append(line);
    QVERIFY(model.length() > model.maxCharacters() * 9 / 10);
    const double limit = bytesPerCharacter * model.length() * 1.15 + 2 * 128 * 1024;
    QVERIFY2(model.heldBytes() <= limit,
             qPrintable(QStringLiteral("%1 bytes held for %2 characters")
                                .arg(model.heldBytes())
                                .arg(model.length())));
}

QTEST_APPLESS_MAIN(TestLogModel)
#include "tst_LogModel.moc"
