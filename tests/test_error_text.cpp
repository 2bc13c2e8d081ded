// The sockets layer's error texts and their split into code and description.

#include "net/error_text.h"
#include "res/strings.h"

#include <QtTest>

#include <cstring>

class TestErrorText : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void texts_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("10000") << 10000 << "[0] No Error";
        QTest::newRow("10013") << 10013 << "WSACCESS: Permission denied";
        QTest::newRow("10047")
            << 10047 << "WSAEAFNNOSUPPORT: Address family not supported by protocol family";
        QTest::newRow("10055") << 10055 << "WSAENOBUFS: No buffer space available";
        QTest::newRow("10093") << 10093
                               << "WSANOTINITIALISED: Successful WSASTARTUP not yet performed";
        QTest::newRow("11001") << 11001 << "WSAHOST_NOT_FOUND: Host not found";
        QTest::newRow("11002") << 11002 << "WSATRY_AGAIN: Non-Authoritative Host not found";
        QTest::newRow("11004") << 11004
                               << "WSANO_DATA: Valid name, no data record of requested type";
        QTest::newRow("unknown") << 10001 << "Error loading string";
        QTest::newRow("negative") << -1 << "Error loading string";
        QTest::newRow("the start-up message is no error") << 104 << "Error loading string";
    }
    void texts() {
        QFETCH(int, code);
        QFETCH(QString, text);
        QCOMPARE(QString(GetErrorText(code)), text);
    }

    void tableHoldsEveryCodeItShould() {
        const int codes[] = {10004, 10009, 10014, 10022, 10024, 10035, 10036, 10037, 10038,
                             10039, 10040, 10041, 10042, 10043, 10044, 10045, 10046, 10048,
                             10049, 10050, 10051, 10052, 10053, 10054, 10056, 10057, 10058,
                             10059, 10060, 10061, 10062, 10063, 10064, 10065, 10066, 10067,
                             10068, 10069, 10070, 10071, 10091, 10092, 11003};
        for (int code : codes) {
            const char* text = GetErrorText(code);
            QVERIFY2(text[0] == 'W' && std::strstr(text, ": ") != nullptr, text);
        }
        QCOMPARE(QString(res::LoadString(104)), QString("Windows sockets initialization failed."));
    }

    // The text lies in one shared buffer: the first pointer shows the second text.
    void sharedTextObject() {
        char* first = GetErrorText(11001);
        char* second = GetErrorText(11002);
        QCOMPARE(first, second);
        QCOMPARE(QString(first), QString("WSATRY_AGAIN: Non-Authoritative Host not found"));
    }

    void split_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("description");
        QTest::newRow("11001") << QByteArray(GetErrorText(11001)) << "WSAHOST_NOT_FOUND"
                               << "Host not found";
        QTest::newRow("11003 splits at its first colon")
            << QByteArray(GetErrorText(11003)) << "WSANO_RECOVERY"
            << "Non-Recoverable errors: FORMERR, REFUSED, NOTIMP";
        QTest::newRow("no colon") << QByteArray("Error loading string") << ""
                                  << "rror loading string";
        QTest::newRow("colon last") << QByteArray("ABC:") << "ABC"
                                    << "";
        QTest::newRow("colon first") << QByteArray(": x") << ""
                                     << "x";
        QTest::newRow("empty") << QByteArray("") << ""
                               << "";
    }
    void split() {
        QFETCH(QByteArray, text);
        QFETCH(QString, code);
        QFETCH(QString, description);
        char c[kErrorTextSize];
        char d[kErrorTextSize];
        SplitErrorText(text.constData(), c, d);
        QCOMPARE(QString(c), code);
        QCOMPARE(QString(d), description);
    }

    // A text longer than the buffers is cut, never written past them.
    void splitIsBounded() {
        const QByteArray longText = QByteArray(400, 'C') + ": " + QByteArray(400, 'D');
        struct {
            char code[kErrorTextSize];
            char guard1[8];
            char description[kErrorTextSize];
            char guard2[8];
        } out;
        std::memset(&out, 0x5A, sizeof out);
        SplitErrorText(longText.constData(), out.code, out.description);
        QCOMPARE(std::strlen(out.code), kErrorTextSize - 1);
        QCOMPARE(std::strlen(out.description), kErrorTextSize - 1);
        for (char g : out.guard1) {
            QCOMPARE(g, char(0x5A));
        }
        for (char g : out.guard2) {
            QCOMPARE(g, char(0x5A));
        }
    }
};

QTEST_GUILESS_MAIN(TestErrorText)
#include "test_error_text.moc"
