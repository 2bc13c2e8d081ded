// The program's binding of the echo module: its three outcomes, the two places it looks and in
// which order, that it looks up all three functions whatever the earlier lookups gave, and that
// it never unloads what it loaded.

#include "net/icmp/icmp_binding.h"

#include <QtTest>

#include <dlfcn.h>

class TestIcmpBinding : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // What lies in bin/ (the executable's directory) and in lib/sabrevin/: nothing, junk, or a
    // module of the build directory; then the result, the functions found and where they are.
    void bind_data() {
        QTest::addColumn<QString>("bin");
        QTest::addColumn<QString>("lib");
        QTest::addColumn<QString>("expected");
        const QString real = "sabrevin-icmp.so", no = "icmp-lacks-", none;
        QTest::newRow("executable's directory first")
            << real << no + "send/" + real << "0 create close send bin";
        QTest::newRow("none") << none << none << "1";
        QTest::newRow("junk, then no IcmpSendEcho")
            << "junk" << no + "send/" + real << "2 create close lib/sabrevin";
        QTest::newRow("no IcmpCreateFile") << no + "create/" + real << none << "2 close send bin";
    }
    void bind() {
        QFETCH(QString, bin);
        QFETCH(QString, lib);
        QFETCH(QString, expected);
        QTemporaryDir root;
        for (const auto& [dir, from] : {std::pair{QString("bin"), bin}, {"lib/sabrevin", lib}}) {
            QFile to(root.filePath(dir + "/sabrevin-icmp.so"));
            QVERIFY(QDir(root.path()).mkpath(dir));
            QVERIFY(from.isEmpty() ||
                    (from == "junk" ? to.open(QIODevice::WriteOnly) && to.write("junk") == 4
                                    : QFile::copy(ICMP_BUILD_DIR "/" + from, to.fileName())));
        }
        IcmpEntryPoints icmp;
        const QByteArray exeDir = QFile::encodeName(root.filePath("bin"));
        QString got = QString::number(int(BindIcmpEntryPoints(icmp, exeDir.constData())));
        got += QString(icmp.pfnIcmpCreateFile ? " create" : "") +
               (icmp.pfnIcmpCloseHandle ? " close" : "") + (icmp.pfnIcmpSendEcho ? " send" : "");
        for (const QString dir : {"bin", "lib/sabrevin"}) { // the module bound, and still loaded
            const QByteArray file = QFile::encodeName(root.filePath(dir + "/sabrevin-icmp.so"));
            got += dlopen(file.constData(), RTLD_NOW | RTLD_NOLOAD) != nullptr ? " " + dir : "";
        }
        QCOMPARE(got, expected);
    }
};

QTEST_GUILESS_MAIN(TestIcmpBinding)
#include "test_icmp_binding.moc"
