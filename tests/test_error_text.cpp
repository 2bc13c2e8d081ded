// The sockets layer's error texts and their split into code and description.

#include "net/error_text.h"

#include <QtTest>

#include <cstring>

class TestErrorText : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // A code's text (or a text of its own) as "text|code|description|what lies past the buffers".
    void textAndSplit_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("text"); // empty: the code's
        QTest::addColumn<QString>("split");
        QTest::newRow("11003 splits at its first colon")
            << 11003 << QByteArray()
            << "WSANO_RECOVERY: Non-Recoverable errors: FORMERR, REFUSED, "
               "NOTIMP|WSANO_RECOVERY|Non-Recoverable errors: FORMERR, REFUSED, NOTIMP|";
        QTest::newRow("10000, no colon") << 10000 << QByteArray() << "[0] No Error||0] No Error|";
        QTest::newRow("unknown") << 10001 << QByteArray()
                                 << "Error loading string||rror loading string|";
        QTest::newRow("colon last") << 0 << QByteArray("ABC:") << "ABC:|ABC||";
        QTest::newRow("too long: cut, never written past")
            << 0 << QByteArray(300, 'C') + ": " + QByteArray(300, 'D')
            << QString(300, 'C') + ": " + QString(300, 'D') + "|" + QString(255, 'C') + "|" +
                   QString(255, 'D') + "|";
    }
    void textAndSplit() {
        QFETCH(int, code);
        QFETCH(QByteArray, text);
        QFETCH(QString, split);
        struct {
            char code[kErrorTextSize], past1[8], description[kErrorTextSize], past2[8];
        } out;
        std::memset(&out, 'Z', sizeof out);
        text = text.isEmpty() ? QByteArray(GetErrorText(code)) : text;
        SplitErrorText(text.constData(), out.code, out.description);
        const bool overrun =
            QByteArray(out.past1, 8) + QByteArray(out.past2, 8) != QByteArray(16, 'Z');
        QCOMPARE(QString(text + "|" + out.code + "|" + out.description + "|") +
                     (overrun ? "overrun" : ""),
                 split);
    }

    // The whole table: every code from -1 to 12000 that has a text (printed on a mismatch; the
    // start-up message 104 is none), in one buffer that each call overwrites.
    void everyText() {
        QByteArray all;
        for (int code = -1; code <= 12000; ++code) {
            const char* text = GetErrorText(code);
            all += std::strcmp(text, "Error loading string")
                       ? QByteArray::number(code) + " " + text + "\n"
                       : "";
        }
        QCOMPARE(GetErrorText(11001), GetErrorText(11002)); // the first pointer shows the second
        QVERIFY2(QCryptographicHash::hash(all, QCryptographicHash::Sha1).toHex() ==
                     "e06b1fd1999e0f77beae47b80eaf721310d8d470",
                 all.constData());
    }
};

QTEST_GUILESS_MAIN(TestErrorText)
#include "test_error_text.moc"
