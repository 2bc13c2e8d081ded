#pragma once
// The per-user settings store: an INI file, Varnstead/<application name>.ini under the user's
// configuration directory ($XDG_CONFIG_HOME, else ~/.config), with the sections "Window",
// "Options" and "Hosts". Read once while the main dialog starts, written once when it ends.
//
// The store trusts nothing it reads: integers that are no 32-bit numbers read as their
// defaults, options are clamped into their ranges, host entries are cut to what the host
// buffers hold, and a file that is not a settings file at all is kept as <name>.ini.bak and
// replaced by a clean one at the next write. Writes replace the file atomically.
//
// Links Qt Core only.

#include <QList>
#include <QRect>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

class QSettings;

constexpr int HISTORY_MAX = 30;   // entries per host list
constexpr int kHostTextMax = 127; // bytes of a host text: the host buffers hold 128 with the NUL

// text cut to at most kHostTextMax bytes of UTF-8, never inside a character.
QString CutHostText(const QString& text);

struct OptionRange {
    const char* entry; // its name in "Options"
    uint32_t lowest;
    uint32_t highest;
};

enum OptionIndex { OPT_PACKETS = 0, OPT_TIMEOUT = 1, OPT_PACKET_SIZE = 2, OPT_HOPS = 3 };
extern const OptionRange kOptionRanges[4];

class SettingsStore {
public:
    // The store of this user and application (the names given to QCoreApplication).
    SettingsStore();
    // A store in the file at path; for tests.
    explicit SettingsStore(const QString& path);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    QString FileName() const;
    // True when the file at opening was no settings file; it was kept as BackupFileName().
    bool WasDamaged() const { return m_damaged; }
    QString BackupFileName() const;

    // The profile operations. A missing entry, or one that is no 32-bit number, reads as def;
    // an unsigned number above the signed range comes back as the signed value it stands for.
    int GetProfileInt(const char* section, const char* entry, int def) const;
    QString GetProfileString(const char* section, const char* entry) const;
    void WriteProfileInt(const char* section, const char* entry, int value);
    void WriteProfileString(const char* section, const char* entry, const QString& value);

    // The window's rectangle (right and bottom exclusive). Each edge falls back on its own to
    // asCreated's. A size below minimum, or beyond what a window can have, is brought into
    // bounds; a rectangle that lies on none of the screens is asCreated instead.
    QRect ReadWindowRect(const QRect& asCreated, const QSize& minimum,
                         const QList<QRect>& screens) const;
    void WriteWindowRect(const QRect& rect);

    // Option index, its current value as the default; clamped into its range, the default when
    // the entry is no number.
    uint32_t ReadOption(int index, uint32_t current) const;
    void WriteOption(int index, uint32_t value);

    // The list stored under pattern ("Ping Host %u"), entries 1 to HISTORY_MAX up to the first
    // empty or missing one; each cut to kHostTextMax bytes.
    QStringList ReadHostList(const char* pattern) const;
    // Writes entries 1 to list.size(); entries above are left as they are.
    void WriteHostList(const char* pattern, const QStringList& list);

    // Writes everything to the file, replacing it atomically. True when it was written.
    bool Sync();

private:
    void Open(const QString& path);
    void PrepareWrite();

    std::unique_ptr<QSettings> m_settings;
    bool m_damaged = false;
    bool m_cleaned = false;
};

// Whether bytes look like a settings file: text, and every line blank, a comment, a section
// header or an entry. Exposed for tests.
bool LooksLikeSettingsFile(const QByteArray& bytes);
