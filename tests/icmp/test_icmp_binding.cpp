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
    // The executable's directory is looked in first.
    void bind() {
        const QString so = "/sabrevin-icmp.so", send = "/icmp-lacks-send" + so;
        const QStringList dirs{"bin", "lib/sabrevin"};
        for (const auto& [from, expected] :
             {std::pair<QStringList, QString>{{so, send}, "0 create close send bin"},
              {{"", ""}, "1"},
              {{"junk", send}, "2 create close lib/sabrevin"},
              {{"/icmp-lacks-create" + so, ""}, "2 close send bin"}}) {
            QTemporaryDir root;
            for (int i : {0, 1}) {
                QFile to(root.filePath(dirs[i] + so));
                QVERIFY(QDir(root.path()).mkpath(dirs[i]));
                QVERIFY(from[i].isEmpty() ||
                        (from[i] == "junk" ? to.open(QIODevice::WriteOnly) && to.write("junk") == 4
                                           : QFile::copy(ICMP_BUILD_DIR + from[i], to.fileName())));
            }
            IcmpEntryPoints icmp;
            QString got = QString::number(int(
                BindIcmpEntryPoints(icmp, QFile::encodeName(root.filePath("bin")).constData())));
            got += QString(icmp.pfnIcmpCreateFile ? " create" : "") +
                   (icmp.pfnIcmpCloseHandle ? " close" : "") +
                   (icmp.pfnIcmpSendEcho ? " send" : "");
            // The module bound, and still loaded.
            for (const QString& dir : dirs) {
                const QByteArray file = QFile::encodeName(root.filePath(dir + so));
                got += dlopen(file.constData(), RTLD_NOW | RTLD_NOLOAD) ? " " + dir : "";
            }
            QCOMPARE(got, expected);
        }
    }
};

QTEST_GUILESS_MAIN(TestIcmpBinding)
#include "test_icmp_binding.moc"
