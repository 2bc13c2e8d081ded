// The program's binding of the echo module: its three outcomes, the two places it looks and in
// which order, that it looks up all three functions whatever the earlier lookups gave, and that
// it never unloads what it loaded.

#include "net/icmp/icmp_binding.h"
#include "net/icmp/icmp_sim.h"

#include <QtTest>

#include <dlfcn.h>

namespace {

const QString kBuild = QStringLiteral(ICMP_BUILD_DIR);

QString ModuleOf(const IcmpEntryPoints& icmp) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(icmp.pfnIcmpCreateFile), &info) == 0) {
        return {};
    }
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).canonicalFilePath();
}

} // namespace

class TestIcmpBinding : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void bind_data();
    void bind();
    void createErrorText();
};

void TestIcmpBinding::bind_data() {
    // Files laid out under a fresh root (PATH=SOURCE, SOURCE relative to the build directory),
    // the directory standing in for the executable's ("" for the real one), and what is bound.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("exeDir");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("module"); // relative to the root, or to the build directory
    QTest::addColumn<QString>("lacks");  // the one of the three functions it lacks
    const int ok = int(IcmpBindResult::Ok), missing = int(IcmpBindResult::ModuleMissing),
              function = int(IcmpBindResult::FunctionMissing);
    const QString sim = "sabrevin-icmp-sim.so", real = "sabrevin-icmp.so";
    QTest::newRow("beside the executable")
        << QStringList() << QString() << ok << "=" + real << QString();
    QTest::newRow("installed layout")
        << QStringList{"bin/", "lib/sabrevin/sabrevin-icmp.so=" + sim} << "bin" << ok
        << "lib/sabrevin/sabrevin-icmp.so" << QString();
    QTest::newRow("the executable's directory first")
        << QStringList{"bin/sabrevin-icmp.so=" + real, "lib/sabrevin/sabrevin-icmp.so=" + sim}
        << "bin" << ok << "bin/sabrevin-icmp.so" << QString();
    QTest::newRow("none") << QStringList{"bin/"} << "bin" << missing << QString() << QString();
    QTest::newRow("not a shared object")
        << QStringList{"bin/sabrevin-icmp.so=junk"} << "bin" << missing << QString() << QString();
    for (const char* fn : {"create", "close", "send"}) {
        QTest::addRow("no Icmp %s", fn)
            << QStringList() << QString("=icmp-lacks-%1").arg(fn) << function
            << QString("=icmp-lacks-%1/sabrevin-icmp.so").arg(fn) << QString(fn);
    }
}

void TestIcmpBinding::bind() {
    QFETCH(QStringList, files);
    QFETCH(QString, exeDir);
    QFETCH(int, result);
    QFETCH(QString, module);
    QFETCH(QString, lacks);
    QTemporaryDir root;
    for (const QString& f : files) {
        const QString to = root.path() + "/" + f.section('=', 0, 0), from = f.section('=', 1);
        QDir().mkpath(QFileInfo(to).path());
        QFile junk(to);
        QVERIFY(from.isEmpty() || (from == "junk" ? junk.open(QIODevice::WriteOnly) &&
                                                        junk.write("not an ELF file\n") > 0
                                                  : QFile::copy(kBuild + "/" + from, to)));
    }
    // "=PATH": relative to the build directory rather than to the root.
    auto place = [&](const QString& p) {
        return p.startsWith('=') ? kBuild + "/" + p.mid(1) : root.path() + "/" + p;
    };
    IcmpEntryPoints icmp;
    icmp.hModule = &icmp; // stale values must not survive
    const QByteArray dir = place(exeDir).toLocal8Bit();
    QCOMPARE(int(BindIcmpEntryPoints(icmp, exeDir.isEmpty() ? nullptr : dir.constData())), result);
    const bool missing = result == int(IcmpBindResult::ModuleMissing);
    QCOMPARE(icmp.pfnIcmpCreateFile != nullptr, !missing && lacks != "create");
    QCOMPARE(icmp.pfnIcmpCloseHandle != nullptr, !missing && lacks != "close");
    QCOMPARE(icmp.pfnIcmpSendEcho != nullptr, !missing && lacks != "send");
    if (missing) {
        QVERIFY(icmp.hModule == nullptr);
        return;
    }
    const QString path = QFileInfo(place(module)).canonicalFilePath();
    QVERIFY(dlopen(path.toLocal8Bit().constData(), RTLD_NOW | RTLD_NOLOAD) != nullptr); // kept
    const bool full = lacks.isEmpty();
    QVERIFY(!full || ModuleOf(icmp) == path);
    // The real module and the simulation offer every extra; the stand-ins none.
    QCOMPARE(icmp.pfnIcmpGetCreateError != nullptr, full);
    QCOMPARE(icmp.pfnIcmp6CreateFile && icmp.pfnIcmp6SendEcho2 && icmp.pfnIcmpSendEchoEx &&
                 icmp.pfnIcmpCancelHandle,
             full);
    QCOMPARE(dlsym(icmp.hModule, "IcmpSimLoadScript") != nullptr, module.contains("lib/sabrevin"));
}

void TestIcmpBinding::createErrorText() {
    IcmpEntryPoints icmp;
    QCOMPARE(BindIcmpEntryPoints(icmp, (kBuild + "/icmp-sim").toLocal8Bit().constData()),
             IcmpBindResult::Ok);
    auto load = reinterpret_cast<PFN_IcmpSimLoadScript>(dlsym(icmp.hModule, "IcmpSimLoadScript"));
    QCOMPARE(load("create-fail Refused: everything.\n"), 0);
    QCOMPARE(icmp.pfnIcmpCreateFile(), ICMP_INVALID_HANDLE);
    QCOMPARE(IcmpCreateErrorText(icmp), std::string("Refused: everything."));
    QCOMPARE(load(""), 0);
    ICMP_HANDLE h = icmp.pfnIcmpCreateFile();
    QCOMPARE(IcmpCreateErrorText(icmp), std::string());
    QCOMPARE(icmp.pfnIcmpCloseHandle(h), 1);
    IcmpEntryPoints without;
    BindIcmpEntryPoints(without, (kBuild + "/icmp-lacks-send").toLocal8Bit().constData());
    QCOMPARE(IcmpCreateErrorText(without), std::string());
}

QTEST_GUILESS_MAIN(TestIcmpBinding)
#include "test_icmp_binding.moc"
