#include "app/settings_store.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringConverter>

#include <algorithm>
#include <limits>

const OptionRange kOptionRanges[4] = {
    {"Packets to Send", 1, 20},
    {"Timeout", 1, 20},      // seconds
    {"Packet Size", 8, 512}, // bytes: the workers' request block holds 512
    {"Number of Hops", 1, 100},
};

namespace {

// The largest size Qt gives a widget.
constexpr long long kMaxWindowSide = 16777215;
// A settings file is small; anything far larger is not one of ours.
constexpr qint64 kMaxFileSize = 1 << 20;

QString Key(const char* section, const char* entry) {
    return QString::fromLatin1(section) + QLatin1Char('/') + QString::fromLatin1(entry);
}

// The entry's text; a hand-written value with commas reads as a list, taken back whole.
QString TextOf(const QVariant& value) {
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(QLatin1Char(','));
    }
    return value.toString();
}

QString HostEntryName(const char* pattern, int n) {
    return QString::asprintf(pattern, static_cast<unsigned>(n));
}

} // namespace

QString CutHostText(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    if (utf8.size() <= kHostTextMax) {
        return text;
    }
    qsizetype cut = kHostTextMax;
    // Back up over continuation bytes so that no character is split.
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return QString::fromUtf8(utf8.left(cut));
}

bool LooksLikeSettingsFile(const QByteArray& bytes) {
    if (bytes.size() > kMaxFileSize || bytes.contains('\0')) {
        return false;
    }
    auto decoder = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        return false;
    }
    for (const QString& raw : text.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) ||
            line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        if (line.startsWith(QLatin1Char('['))) {
            if (!line.endsWith(QLatin1Char(']'))) {
                return false;
            }
            continue;
        }
        if (!line.contains(QLatin1Char('=')) || line.startsWith(QLatin1Char('='))) {
            return false;
        }
        for (QChar c : line) {
            if (c.category() == QChar::Other_Control && c != QLatin1Char('\t') &&
                c != QLatin1Char('\r')) {
                return false;
            }
        }
    }
    return true;
}

SettingsStore::SettingsStore() {
    const QSettings where(QSettings::IniFormat, QSettings::UserScope,
                          QCoreApplication::organizationName(),
                          QCoreApplication::applicationName());
    Open(where.fileName());
}

SettingsStore::SettingsStore(const QString& path) {
    Open(path);
}

SettingsStore::~SettingsStore() = default;

void SettingsStore::Open(const QString& path) {
    QFile file(path);
    if (file.exists() && file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.read(kMaxFileSize + 1);
        file.close();
        m_damaged = !LooksLikeSettingsFile(bytes);
    }
    m_settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    if (m_settings->status() == QSettings::FormatError) {
        m_damaged = true;
    }
    if (m_damaged) {
        // Keep the user's file as it was before anything replaces it.
        QFile::remove(BackupFileName());
        QFile::copy(path, BackupFileName());
    }
}

QString SettingsStore::FileName() const {
    return m_settings->fileName();
}

QString SettingsStore::BackupFileName() const {
    return FileName() + QStringLiteral(".bak");
}

int SettingsStore::GetProfileInt(const char* section, const char* entry, int def) const {
    const QVariant value = m_settings->value(Key(section, entry));
    if (!value.isValid()) {
        return def;
    }
    bool ok = false;
    const qlonglong n = TextOf(value).trimmed().toLongLong(&ok);
    if (!ok || n < std::numeric_limits<int32_t>::min() ||
        n > std::numeric_limits<uint32_t>::max()) {
        return def;
    }
    // Stored as an unsigned 32-bit word and used as a signed one.
    return static_cast<int32_t>(static_cast<uint32_t>(n));
}

QString SettingsStore::GetProfileString(const char* section, const char* entry) const {
    return TextOf(m_settings->value(Key(section, entry)));
}

void SettingsStore::PrepareWrite() {
    if (!m_damaged || m_cleaned) {
        return;
    }
    // A damaged file is not merged into: what could be read of our sections is kept, the
    // rest (stray bytes that happened to parse) goes.
    QList<std::pair<QString, QVariant>> kept;
    for (const QString& key : m_settings->allKeys()) {
        const QString group = key.section(QLatin1Char('/'), 0, 0);
        if (group == QLatin1String("Window") || group == QLatin1String("Options") ||
            group == QLatin1String("Hosts")) {
            kept.append({key, m_settings->value(key)});
        }
    }
    m_settings->clear();
    for (const auto& [key, value] : kept) {
        m_settings->setValue(key, value);
    }
    m_cleaned = true;
}

void SettingsStore::WriteProfileInt(const char* section, const char* entry, int value) {
    PrepareWrite();
    m_settings->setValue(Key(section, entry), value);
}

void SettingsStore::WriteProfileString(const char* section, const char* entry,
                                       const QString& value) {
    PrepareWrite();
    m_settings->setValue(Key(section, entry), value);
}

QRect SettingsStore::ReadWindowRect(const QRect& asCreated, const QSize& minimum,
                                    const QList<QRect>& screens) const {
    const long long left = GetProfileInt("Window", "Left", asCreated.left());
    const long long top = GetProfileInt("Window", "Top", asCreated.top());
    const long long right = GetProfileInt("Window", "Right", asCreated.left() + asCreated.width());
    const long long bottom =
        GetProfileInt("Window", "Bottom", asCreated.top() + asCreated.height());
    const auto side = [](long long span, int least) {
        return static_cast<int>(std::clamp<long long>(span, least, kMaxWindowSide));
    };
    const QRect rect(static_cast<int>(left), static_cast<int>(top),
                     side(right - left, minimum.width()), side(bottom - top, minimum.height()));
    // Partly off the screen is where the user left it; wholly off it, the window is lost.
    const bool visible = std::any_of(screens.begin(), screens.end(),
                                     [&](const QRect& screen) { return screen.intersects(rect); });
    if (!screens.isEmpty() && !visible) {
        return asCreated;
    }
    return rect;
}

void SettingsStore::WriteWindowRect(const QRect& rect) {
    WriteProfileInt("Window", "Left", rect.left());
    WriteProfileInt("Window", "Top", rect.top());
    WriteProfileInt("Window", "Right", rect.left() + rect.width());
    WriteProfileInt("Window", "Bottom", rect.top() + rect.height());
}

uint32_t SettingsStore::ReadOption(int index, uint32_t current) const {
    const OptionRange& range = kOptionRanges[index];
    const QVariant value = m_settings->value(Key("Options", range.entry));
    if (!value.isValid()) {
        return current;
    }
    bool ok = false;
    const QString text = TextOf(value).trimmed();
    const qlonglong n = text.toLongLong(&ok);
    if (!ok) {
        // Digits too many for any integer still say "very large".
        const bool allDigits = !text.isEmpty() && std::all_of(text.begin(), text.end(),
                                                              [](QChar c) { return c.isDigit(); });
        return allDigits ? range.highest : current;
    }
    return static_cast<uint32_t>(std::clamp<qlonglong>(n, range.lowest, range.highest));
}

void SettingsStore::WriteOption(int index, uint32_t value) {
    WriteProfileInt("Options", kOptionRanges[index].entry, static_cast<int>(value));
}

QStringList SettingsStore::ReadHostList(const char* pattern) const {
    QStringList list;
    for (int n = 1; n <= HISTORY_MAX; ++n) {
        const QString value =
            TextOf(m_settings->value(QStringLiteral("Hosts/") + HostEntryName(pattern, n)));
        if (value.isEmpty()) {
            break;
        }
        list.append(CutHostText(value));
    }
    return list;
}

void SettingsStore::WriteHostList(const char* pattern, const QStringList& list) {
    PrepareWrite();
    for (int i = 0; i < list.size(); ++i) {
        m_settings->setValue(QStringLiteral("Hosts/") + HostEntryName(pattern, i + 1),
                             CutHostText(list[i]));
    }
}

bool SettingsStore::Sync() {
    m_settings->sync();
    // A format error is the one found when the file was read; only access errors mean the
    // write failed.
    return m_settings->status() != QSettings::AccessError;
}
