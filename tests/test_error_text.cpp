// The sockets layer's error texts and their split into code and description.

#include "net/error_text.h"

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
        QTest::newRow("11001") << 11001 << "WSAHOST_NOT_FOUND: Host not found";
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

    void everyCodeHasItsText() {
        for (int code :
             {10004, 10009, 10014, 10022, 10024, 10035, 10036, 10037, 10038, 10039, 10040, 10041,
              10042, 10043, 10044, 10045, 10046, 10048, 10049, 10050, 10051, 10052, 10053, 10054,
              10055, 10056, 10057, 10058, 10059, 10060, 10061, 10062, 10063, 10064, 10065, 10066,
              10067, 10068, 10069, 10070, 10071, 10091, 10092, 10093, 11002, 11003}) {
            const char* text = GetErrorText(code);
            QVERIFY2(text[0] == 'W' && std::strstr(text, ": ") != nullptr, text);
        }
        // One shared buffer: the first pointer shows the second text.
        char* first = GetErrorText(11001);
        QCOMPARE(first, GetErrorText(11002));
        QCOMPARE(QString(first), QString("WSATRY_AGAIN: Non-Authoritative Host not found"));
    }

    void split_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("description");
        QTest::newRow("11003 splits at its first colon")
            << QByteArray(GetErrorText(11003)) << "WSANO_RECOVERY"
            << "Non-Recoverable errors: FORMERR, REFUSED, NOTIMP";
        QTest::newRow("no colon") << QByteArray("Error loading string") << ""
                                  << "rror loading string";
        QTest::newRow("colon last") << QByteArray("ABC:") << "ABC"
                                    << "";
        QTest::newRow("empty") << QByteArray("") << ""
                               << "";
        // Longer than the buffers: cut, never written past them.
        QTest::newRow("too long") << QByteArray(400, 'C') + ": " + QByteArray(400, 'D')
                                  << QString(255, 'C') << QString(255, 'D');
    }
    void split() {
        QFETCH(QByteArray, text);
        QFETCH(QString, code);
        QFETCH(QString, description);
        struct {
            char code[kErrorTextSize];
            char guard1[8];
            char description[kErrorTextSize];
            char guard2[8];
        } out;
        std::memset(&out, 0x5A, sizeof out);
        SplitErrorText(text.constData(), out.code, out.description);
        QCOMPARE(QString(out.code), code);
        QCOMPARE(QString(out.description), description);
        QCOMPARE(QByteArray(out.guard1, 8) + QByteArray(out.guard2, 8), QByteArray(16, 0x5A));
    }
};

QTEST_GUILESS_MAIN(TestErrorText)
#include "test_error_text.moc"
