#include "XdgAutostartLoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace {
constexpr QLatin1StringView kEntryFileName = "vesper.desktop"_L1;
constexpr QByteArrayView kDesktopEntryGroup = "[Desktop Entry]";

// Desktop entries write booleans as GLib reads them.
bool isTrue(QByteArrayView value) { return value == "true" || value == "1"; }

bool isFalse(QByteArrayView value) { return value == "false" || value == "0"; }

// The string-value escapes of a desktop entry, applied after Exec quoting.
QString escapeStringValue(const QString &value)
{
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        switch (c.unicode()) {
        case u'\\':
            escaped += u"\\\\"_s;
            break;
        case u'\n':
            escaped += u"\\n"_s;
            break;
        case u'\t':
            escaped += u"\\t"_s;
            break;
        case u'\r':
            escaped += u"\\r"_s;
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}
} // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(const QString &executablePath)
    : m_executablePath(executablePath)
{
}

QString XdgAutostartLoginItem::entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + u"/autostart/"_s + kEntryFileName;
}

QString XdgAutostartLoginItem::runningExecutable()
{
    const QString appImage = qEnvironmentVariable("APPIMAGE");
    if (!appImage.isEmpty() && QFileInfo(appImage).isFile())
        return appImage;
    return QCoreApplication::applicationFilePath();
}

bool XdgAutostartLoginItem::isEnabled() const
{
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return entryEnablesAutostart(file.readAll());
}

bool XdgAutostartLoginItem::setEnabled(bool enabled, QString &errorString)
{
    const QString path = entryPath();
    if (!enabled) {
        QFile file(path);
        if (!file.exists() || file.remove())
            return true;
        errorString
            = u"Could not remove %1: %2"_s.arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }

    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        errorString = u"Could not create the folder %1"_s.arg(QDir::toNativeSeparators(folder));
        return false;
    }
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        const QString executable
            = m_executablePath.isEmpty() ? runningExecutable() : m_executablePath;
        file.write(entryContents(executable));
        if (file.commit())
            return true;
    }
    errorString
        = u"Could not write %1: %2"_s.arg(QDir::toNativeSeparators(path), file.errorString());
    return false;
}

bool XdgAutostartLoginItem::entryEnablesAutostart(const QByteArray &contents)
{
    bool inDesktopEntry = false;
    bool sawDesktopEntry = false;
    bool hidden = false;
    bool gnomeEnabled = true;
    const QList<QByteArray> lines = contents.split('\n');
    for (const QByteArray &rawLine : lines) {
        const QByteArrayView line = QByteArrayView(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            // Only the first [Desktop Entry] group describes the entry.
            inDesktopEntry = !sawDesktopEntry && line == kDesktopEntryGroup;
            sawDesktopEntry = sawDesktopEntry || inDesktopEntry;
            continue;
        }
        if (!inDesktopEntry)
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals < 0)
            continue;
        const QByteArrayView key = line.first(equals).trimmed();
        const QByteArrayView value = line.sliced(equals + 1).trimmed();
        // A repeated key counts with its last value, as GLib reads it.
        if (key == "Hidden")
            hidden = isTrue(value);
        else if (key == "X-GNOME-Autostart-enabled")
            gnomeEnabled = !isFalse(value);
    }
    // A file without the group is not a desktop entry; no session starts it.
    return sawDesktopEntry && !hidden && gnomeEnabled;
}

QString XdgAutostartLoginItem::execArgument(const QString &argument)
{
    static constexpr QStringView kReserved = u" \t\n\"'\\><~|&;$*?#`()";
    bool needsQuotes = argument.isEmpty();
    for (const QChar c : argument)
        needsQuotes = needsQuotes || kReserved.contains(c);

    QString quoted;
    if (needsQuotes)
        quoted += u'"';
    for (const QChar c : argument) {
        if (needsQuotes && (c == u'"' || c == u'`' || c == u'$' || c == u'\\'))
            quoted += u'\\';
        // A lone percent sign would start a field code.
        if (c == u'%')
            quoted += u'%';
        quoted += c;
    }
    if (needsQuotes)
        quoted += u'"';
    return escapeStringValue(quoted);
}

QByteArray XdgAutostartLoginItem::entryContents(const QString &executablePath)
{
    const QString entry = u"[Desktop Entry]\nType=Application\nName=Vesper\nExec="_s
        + execArgument(executablePath) + u"\nIcon=vesper\nX-GNOME-Autostart-enabled=true\n"_s;
    return entry.toUtf8();
}
