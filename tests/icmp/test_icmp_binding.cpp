// The program's binding of the echo module: its three outcomes, the two places it looks, and
// that it looks up all three functions whatever the earlier lookups gave.

#include "net/icmp/icmp_binding.h"
#include "net/icmp/icmp_sim.h"

#include <QtTest>

#include <dlfcn.h>

namespace {

const QString kBuild = QStringLiteral(ICMP_BUILD_DIR);

QString ModulePathOf(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).canonicalFilePath();
}

QString ModuleOf(const IcmpEntryPoints& icmp) {
    return ModulePathOf(reinterpret_cast<const void*>(icmp.pfnIcmpCreateFile));
}

bool IsSimulation(const IcmpEntryPoints& icmp) {
    return dlsym(icmp.hModule, "IcmpSimLoadScript") != nullptr;
}

bool CopyTo(const QString& from, const QString& dir) {
    QDir().mkpath(dir);
    return QFile::copy(from, dir + "/sabrevin-icmp.so");
}

} // namespace

class TestIcmpBinding : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void bindsTheModuleBesideTheExecutable();
    void bindsTheInstalledLayout();
    void executableDirectoryComesFirst();
    void missingModule();
    void unloadableModule();
    void missingFunction_data();
    void missingFunction();
    void bindsTheSimulation();
    void createErrorText();
};

void TestIcmpBinding::bindsTheModuleBesideTheExecutable() {
    // The tests are built beside the program, so the default search finds the real module.
    IcmpEntryPoints icmp;
    QCOMPARE(BindIcmpEntryPoints(icmp), IcmpBindResult::Ok);
    QVERIFY(icmp.hModule != nullptr);
    QVERIFY(icmp.pfnIcmpCreateFile && icmp.pfnIcmpCloseHandle && icmp.pfnIcmpSendEcho);
    QVERIFY(icmp.pfnIcmpGetCreateError && icmp.pfnIcmpCancelHandle);
    QVERIFY(icmp.pfnIcmp6CreateFile && icmp.pfnIcmp6SendEcho2 && icmp.pfnIcmpSendEchoEx);
    QCOMPARE(ModuleOf(icmp), QFileInfo(kBuild + "/sabrevin-icmp.so").canonicalFilePath());
    QVERIFY(!IsSimulation(icmp));
    // Never unloaded: still there for a no-load open.
    QVERIFY(dlopen((kBuild + "/sabrevin-icmp.so").toLocal8Bit().constData(),
                   RTLD_NOW | RTLD_NOLOAD) != nullptr);
}

void TestIcmpBinding::bindsTheInstalledLayout() {
    // bin/ holds no module; ../lib/sabrevin/ does.
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QDir().mkpath(root.path() + "/bin");
    QVERIFY(CopyTo(kBuild + "/sabrevin-icmp-sim.so", root.path() + "/lib/sabrevin"));
    IcmpEntryPoints icmp;
    QCOMPARE(BindIcmpEntryPoints(icmp, (root.path() + "/bin").toLocal8Bit().constData()),
             IcmpBindResult::Ok);
    QCOMPARE(ModuleOf(icmp),
             QFileInfo(root.path() + "/lib/sabrevin/sabrevin-icmp.so").canonicalFilePath());
    QVERIFY(IsSimulation(icmp));
}

void TestIcmpBinding::executableDirectoryComesFirst() {
    QTemporaryDir root;
    QVERIFY(CopyTo(kBuild + "/sabrevin-icmp.so", root.path() + "/bin"));
    QVERIFY(CopyTo(kBuild + "/sabrevin-icmp-sim.so", root.path() + "/lib/sabrevin"));
    IcmpEntryPoints icmp;
    QCOMPARE(BindIcmpEntryPoints(icmp, (root.path() + "/bin").toLocal8Bit().constData()),
             IcmpBindResult::Ok);
    QCOMPARE(ModuleOf(icmp), QFileInfo(root.path() + "/bin/sabrevin-icmp.so").canonicalFilePath());
    QVERIFY(!IsSimulation(icmp));
}

void TestIcmpBinding::missingModule() {
    QTemporaryDir root;
    QDir().mkpath(root.path() + "/bin");
    IcmpEntryPoints icmp;
    icmp.hModule = &icmp; // stale values must not survive
    QCOMPARE(BindIcmpEntryPoints(icmp, (root.path() + "/bin").toLocal8Bit().constData()),
             IcmpBindResult::ModuleMissing);
    QVERIFY(icmp.hModule == nullptr);
    QVERIFY(!icmp.pfnIcmpCreateFile && !icmp.pfnIcmpCloseHandle && !icmp.pfnIcmpSendEcho);
    QCOMPARE(IcmpCreateErrorText(icmp), std::string());
}

void TestIcmpBinding::unloadableModule() {
    // A file of the right name that is no shared object counts as missing.
    QTemporaryDir root;
    QFile junk(root.path() + "/sabrevin-icmp.so");
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write("not an ELF file\n");
    junk.close();
    IcmpEntryPoints icmp;
    QCOMPARE(BindIcmpEntryPoints(icmp, root.path().toLocal8Bit().constData()),
             IcmpBindResult::ModuleMissing);
}

void TestIcmpBinding::missingFunction_data() {
    QTest::addColumn<QString>("dir");
    QTest::addColumn<bool>("hasCreate");
    QTest::addColumn<bool>("hasClose");
    QTest::addColumn<bool>("hasSend");
    QTest::newRow("no IcmpCreateFile") << "icmp-lacks-create" << false << true << true;
    QTest::newRow("no IcmpCloseHandle") << "icmp-lacks-close" << true << false << true;
    QTest::newRow("no IcmpSendEcho") << "icmp-lacks-send" << true << true << false;
}

void TestIcmpBinding::missingFunction() {
    QFETCH(QString, dir);
    QFETCH(bool, hasCreate);
    QFETCH(bool, hasClose);
    QFETCH(bool, hasSend);
    IcmpEntryPoints icmp;
    QCOMPARE(BindIcmpEntryPoints(icmp, (kBuild + "/" + dir).toLocal8Bit().constData()),
             IcmpBindResult::FunctionMissing);
    QVERIFY(icmp.hModule != nullptr); // loaded, and it stays loaded
    // All three were looked up, whichever was missing.
    QCOMPARE(icmp.pfnIcmpCreateFile != nullptr, hasCreate);
    QCOMPARE(icmp.pfnIcmpCloseHandle != nullptr, hasClose);
    QCOMPARE(icmp.pfnIcmpSendEcho != nullptr, hasSend);
    QVERIFY(icmp.pfnIcmpGetCreateError == nullptr); // it has no extras
    QVERIFY(!icmp.pfnIcmp6CreateFile && !icmp.pfnIcmp6SendEcho2 && !icmp.pfnIcmpSendEchoEx);
    const QString path = kBuild + "/" + dir + "/sabrevin-icmp.so";
    QVERIFY(dlopen(path.toLocal8Bit().constData(), RTLD_NOW | RTLD_NOLOAD) != nullptr);
}

void TestIcmpBinding::bindsTheSimulation() {
    IcmpEntryPoints icmp;
    QCOMPARE(BindIcmpEntryPoints(icmp, (kBuild + "/icmp-sim").toLocal8Bit().constData()),
             IcmpBindResult::Ok);
    QVERIFY(IsSimulation(icmp));
    // It speaks IPv6 and takes asynchronous requests, as the real module does.
    QVERIFY(icmp.pfnIcmp6CreateFile && icmp.pfnIcmp6SendEcho2 && icmp.pfnIcmpSendEchoEx);
}

void TestIcmpBinding::createErrorText() {
    IcmpEntryPoints icmp;
    QCOMPARE(BindIcmpEntryPoints(icmp, (kBuild + "/icmp-sim").toLocal8Bit().constData()),
             IcmpBindResult::Ok);
    auto load = reinterpret_cast<PFN_IcmpSimLoadScript>(dlsym(icmp.hModule, "IcmpSimLoadScript"));
    QVERIFY(load != nullptr);
    QCOMPARE(load("create-fail Refused: everything.\n"), 0);
    QCOMPARE(icmp.pfnIcmpCreateFile(), ICMP_INVALID_HANDLE);
    QCOMPARE(IcmpCreateErrorText(icmp), std::string("Refused: everything."));
    QCOMPARE(load(""), 0);
    ICMP_HANDLE h = icmp.pfnIcmpCreateFile();
    QVERIFY(h != ICMP_INVALID_HANDLE);
    QCOMPARE(IcmpCreateErrorText(icmp), std::string());
    QCOMPARE(icmp.pfnIcmpCloseHandle(h), 1);

    IcmpEntryPoints without;
    BindIcmpEntryPoints(without, (kBuild + "/icmp-lacks-send").toLocal8Bit().constData());
    QCOMPARE(IcmpCreateErrorText(without), std::string());
}

QTEST_GUILESS_MAIN(TestIcmpBinding)
#include "test_icmp_binding.moc"
