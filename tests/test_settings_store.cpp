// The settings store on its own: every value's round trip, the numbering of the host lists,
// hostile and broken files, and atomic replacement.

#include "app/settings_store.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {
const QRect kAsCreated(100, 80, 460, 330);
const QSize kMinimum(460, 330);
const QList<QRect> kScreens{QRect(0, 0, 1024, 768)};

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

class TestSettingsStore : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_path;
    int m_nCase = 0;

private Q_SLOTS:
    void init() {
        // A folder per case: QSettings caches files by name within a process.
        const QString folder = QString("case%1").arg(++m_nCase);
        QVERIFY(QDir(m_dir.path()).mkpath(folder));
        m_path = m_dir.filePath(folder + "/sabrevin.ini");
    }

    void everyValueSurvivesARoundTrip() {
        {
            SettingsStore store(m_path);
            store.WriteWindowRect(QRect(-40, 20, 600, 400));
            store.WriteOption(OPT_PACKETS, 20);
            store.WriteOption(OPT_TIMEOUT, 1);
            store.WriteOption(OPT_PACKET_SIZE, 512);
            store.WriteOption(OPT_HOPS, 100);
            store.WriteHostList("Ping Host %u", {"a.example", "127.0.0.1", "A.example"});
            QVERIFY(store.Sync());
        }
        SettingsStore store(m_path);
        QVERIFY(!store.WasDamaged());
        // Partly off the screen comes back at the same place.
        QCOMPARE(store.ReadWindowRect(kAsCreated, kMinimum, kScreens), QRect(-40, 20, 600, 400));
        QCOMPARE(store.ReadOption(OPT_PACKETS, 5), 20u);
        QCOMPARE(store.ReadOption(OPT_TIMEOUT, 5), 1u);
        QCOMPARE(store.ReadOption(OPT_PACKET_SIZE, 32), 512u);
        QCOMPARE(store.ReadOption(OPT_HOPS, 30), 100u);
        QCOMPARE(store.ReadHostList("Ping Host %u"),
                 (QStringList{"a.example", "127.0.0.1", "A.example"}));
        QCOMPARE(store.ReadHostList("Trace Host %u"), QStringList());
        QCOMPARE(store.GetProfileString("Hosts", "Ping Host 2"), QString("127.0.0.1"));
    }

    void missingEntriesReadAsTheirDefaults() {
        SettingsStore store(m_path);
        QCOMPARE(store.ReadWindowRect(kAsCreated, kMinimum, kScreens), kAsCreated);
        QCOMPARE(store.ReadOption(OPT_PACKET_SIZE, 32), 32u);
        QCOMPARE(store.GetProfileInt("Window", "Left", -7), -7);
        QVERIFY(store.GetProfileString("Hosts", "Ping Host 1").isEmpty());
        // Each edge falls back on its own.
        store.WriteProfileInt("Window", "Left", 300);
        QCOMPARE(store.ReadWindowRect(kAsCreated, kMinimum, kScreens),
                 QRect(300, 80,
                       kAsCreated.right() + 1 - 300 < kMinimum.width()
                           ? kMinimum.width()
                           : kAsCreated.right() + 1 - 300,
                       330));
    }

    // Hand-typed names with plain spaces read as well as the escaped ones the store writes.
    void handTypedEntriesAreRead() {
        WriteFile(m_path, "[Options]\nPackets to Send=7\nPacket%20Size=100\n"
                          "[Hosts]\nLookup Host 1=example.org\n");
        SettingsStore store(m_path);
        QVERIFY(!store.WasDamaged());
        QCOMPARE(store.ReadOption(OPT_PACKETS, 5), 7u);
        QCOMPARE(store.ReadOption(OPT_PACKET_SIZE, 32), 100u);
        QCOMPARE(store.ReadHostList("Lookup Host %u"), QStringList{"example.org"});
    }

    void hostListNumbering_data() {
        QTest::addColumn<QByteArray>("hosts");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("a gap after 2") << QByteArray("Ping%20Host%201=a\nPing%20Host%202=b\n"
                                                     "Ping%20Host%204=d\n")
                                       << QStringList{"a", "b"};
        QTest::newRow("an empty entry 2") << QByteArray("Ping%20Host%201=a\nPing%20Host%202=\n"
                                                        "Ping%20Host%203=c\n")
                                          << QStringList{"a"};
        QByteArray full;
        QStringList thirty;
        for (int n = 1; n <= 31; ++n) {
            full += "Ping%20Host%20" + QByteArray::number(n) + "=h" + QByteArray::number(n) + "\n";
            if (n <= 30) {
                thirty << QString("h%1").arg(n);
            }
        }
        QTest::newRow("entry 31 is never read") << full << thirty;
    }
    void hostListNumbering() {
        QFETCH(QByteArray, hosts);
        QFETCH(QStringList, expected);
        WriteFile(m_path, "[Hosts]\n" + hosts);
        SettingsStore store(m_path);
        QCOMPARE(store.ReadHostList("Ping Host %u"), expected);
    }

    // Entries above the list's count keep what the store held: a gap at 3 with an entry 4,
    // one host added, and entries 1 to 3 are written while 4 comes back as the fourth.
    void writingLeavesEntriesAboveTheCount() {
        WriteFile(m_path, "[Hosts]\nPing%20Host%201=a\nPing%20Host%202=b\nPing%20Host%204=d\n");
        {
            SettingsStore store(m_path);
            QStringList list = store.ReadHostList("Ping Host %u");
            list.prepend("new");
            store.WriteHostList("Ping Host %u", list);
            QVERIFY(store.Sync());
        }
        SettingsStore store(m_path);
        QCOMPARE(store.ReadHostList("Ping Host %u"), (QStringList{"new", "a", "b", "d"}));
    }

    void hostileOptionsAreClamped_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<uint>("packets");
        QTest::addColumn<uint>("size");
        QTest::newRow("huge") << QByteArray("4000000000") << 20u << 512u;
        QTest::newRow("more digits than any integer")
            << QByteArray("99999999999999999999999") << 20u << 512u;
        QTest::newRow("negative") << QByteArray("-5") << 1u << 8u;
        QTest::newRow("zero") << QByteArray("0") << 1u << 8u;
        QTest::newRow("not a number: the default") << QByteArray("lots") << 5u << 32u;
        QTest::newRow("empty: the default") << QByteArray("") << 5u << 32u;
        QTest::newRow("in range") << QByteArray(" 9 ") << 9u << 9u;
    }
    void hostileOptionsAreClamped() {
        QFETCH(QByteArray, text);
        QFETCH(uint, packets);
        QFETCH(uint, size);
        WriteFile(m_path,
                  "[Options]\nPackets%20to%20Send=" + text + "\nPacket%20Size=" + text + "\n");
        SettingsStore store(m_path);
        QCOMPARE(store.ReadOption(OPT_PACKETS, 5), packets);
        QCOMPARE(store.ReadOption(OPT_PACKET_SIZE, 32), size);
    }

    void windowRectangles_data() {
        QTest::addColumn<QRect>("stored");
        QTest::addColumn<QRect>("expected");
        QTest::newRow("negative left, partly visible")
            << QRect(-100, 10, 500, 400) << QRect(-100, 10, 500, 400);
        QTest::newRow("below the minimum size") << QRect(10, 10, 50, 20) << QRect(10, 10, 460, 330);
        QTest::newRow("right left of left")
            << QRect(300, 300, -200, -100) << QRect(300, 300, 460, 330);
        QTest::newRow("wholly off the screen") << QRect(5000, 5000, 500, 400) << kAsCreated;
        QTest::newRow("far off, huge") << QRect(-2000000000, 0, 460, 330) << kAsCreated;
    }
    void windowRectangles() {
        QFETCH(QRect, stored);
        QFETCH(QRect, expected);
        {
            SettingsStore store(m_path);
            store.WriteProfileInt("Window", "Left", stored.left());
            store.WriteProfileInt("Window", "Top", stored.top());
            store.WriteProfileInt("Window", "Right", stored.left() + stored.width());
            store.WriteProfileInt("Window", "Bottom", stored.top() + stored.height());
            QVERIFY(store.Sync());
        }
        SettingsStore store(m_path);
        QCOMPARE(store.ReadWindowRect(kAsCreated, kMinimum, kScreens), expected);
    }

    void integersReadAsSigned32BitWords() {
        WriteFile(m_path, "[Window]\nLeft=4294967286\nTop=-20\nRight=4294967296\nBottom=abc\n");
        SettingsStore store(m_path);
        QCOMPARE(store.GetProfileInt("Window", "Left", 0), -10); // unsigned word read as signed
        QCOMPARE(store.GetProfileInt("Window", "Top", 0), -20);
        QCOMPARE(store.GetProfileInt("Window", "Right", 7), 7); // beyond 32 bits
        QCOMPARE(store.GetProfileInt("Window", "Bottom", 8), 8);
    }

    void longHostsAreCut() {
        const QString tenThousand(10000, 'x');
        // 63 two-byte characters and one more: the cut must not split the last one.
        const QString wide = QString(64, QChar(0x00E9));
        WriteFile(m_path, "[Hosts]\nTrace%20Host%201=" + tenThousand.toUtf8() +
                              "\nTrace%20Host%202=" + wide.toUtf8() + "\n");
        SettingsStore store(m_path);
        const QStringList list = store.ReadHostList("Trace Host %u");
        QCOMPARE(list.size(), 2);
        QCOMPARE(list[0], QString(127, 'x'));
        QCOMPARE(list[1], QString(63, QChar(0x00E9)));
        QVERIFY(list[1].toUtf8().size() <= 127);
        QCOMPARE(CutHostText("short"), QString("short"));
    }

    void recognisesSettingsFiles_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("sane");
        QTest::newRow("empty") << QByteArray() << true;
        QTest::newRow("ours") << QByteArray(
                                     "[Window]\nLeft=1\n\n; note\n[Hosts]\nPing%20Host%201=a\n")
                              << true;
        QTest::newRow("CRLF") << QByteArray("[Options]\r\nTimeout=3\r\n") << true;
        QTest::newRow("broken header") << QByteArray("[Options\nTimeout=3\n") << false;
        QTest::newRow("stray line") << QByteArray("[Options]\nTimeout=3\ngarbage\n") << false;
        QTest::newRow("NUL byte") << QByteArray("[Options]\nTimeout=3\0\n", 20) << false;
        QTest::newRow("not UTF-8") << QByteArray("[Hosts]\nPing%20Host%201=\xff\xfe\n") << false;
        QTest::newRow("control bytes") << QByteArray("[Hosts]\nA=\x01\x02\n") << false;
    }
    void recognisesSettingsFiles() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, sane);
        QCOMPARE(LooksLikeSettingsFile(bytes), sane);
    }

    // A damaged file: what can be read is used, the rest defaults, the original is kept as
    // .bak, and the next write leaves a clean file.
    void damagedFilesAreKeptAndReplaced_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<uint>("timeout");
        QByteArray random(3000, '\0');
        quint32 seed = 12345;
        for (char& c : random) {
            seed = seed * 1103515245u + 12345u;
            c = static_cast<char>(seed >> 24);
        }
        QTest::newRow("3000 random bytes") << random << 5u;
        QTest::newRow("broken header")
            << QByteArray("[Options\nTimeout=3\n[Window]\nLeft=5\n") << 3u;
        QTest::newRow("a stray line") << QByteArray("[Options]\nTimeout=3\ngarbage line\n") << 3u;
    }
    void damagedFilesAreKeptAndReplaced() {
        QFETCH(QByteArray, bytes);
        QFETCH(uint, timeout);
        WriteFile(m_path, bytes);
        {
            SettingsStore store(m_path);
            QVERIFY(store.WasDamaged());
            QCOMPARE(ReadFile(store.BackupFileName()), bytes);
            QCOMPARE(store.ReadOption(OPT_TIMEOUT, 5), timeout);
            QVERIFY(store.ReadWindowRect(kAsCreated, kMinimum, kScreens).intersects(kScreens[0]));
            // The original stays untouched until the store writes.
            QCOMPARE(ReadFile(m_path), bytes);
            store.WriteOption(OPT_TIMEOUT, 9);
            store.WriteHostList("Ping Host %u", {"kept.example"});
            QVERIFY(store.Sync());
        }
        QVERIFY(LooksLikeSettingsFile(ReadFile(m_path)));
        QCOMPARE(ReadFile(m_path + ".bak"), bytes);
        SettingsStore store(m_path);
        QVERIFY(!store.WasDamaged());
        QCOMPARE(store.ReadOption(OPT_TIMEOUT, 5), 9u);
        QCOMPARE(store.ReadHostList("Ping Host %u"), QStringList{"kept.example"});
        QSettings raw(m_path, QSettings::IniFormat);
        for (const QString& key : raw.allKeys()) {
            QVERIFY2(key.startsWith("Options/") || key.startsWith("Hosts/") ||
                         key.startsWith("Window/"),
                     qPrintable(key));
        }
    }

    // The file is replaced by a rename, never rewritten in place: a process killed while
    // writing leaves the old file or the new one, never half of one.
    void writesReplaceTheFileAtomically() {
        WriteFile(m_path, "[Options]\nTimeout=3\n");
        struct stat before {};
        QCOMPARE(stat(QFile::encodeName(m_path).constData(), &before), 0);
        {
            SettingsStore store(m_path);
            store.WriteOption(OPT_TIMEOUT, 4);
            QVERIFY(store.Sync());
        }
        struct stat after {};
        QCOMPARE(stat(QFile::encodeName(m_path).constData(), &after), 0);
        QVERIFY(before.st_ino != after.st_ino);
        const QStringList left = QFileInfo(m_path).dir().entryList(QDir::Files);
        for (const QString& name : left) {
            QVERIFY2(name == "sabrevin.ini" || name.endsWith(".lock"), qPrintable(name));
        }
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "test_settings_store.moc"
