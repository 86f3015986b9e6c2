#include "platform/linux/DesktopEntry.h"

using namespace Qt::StringLiterals;

namespace {
// The escapes of every string value (\s, \n, \t, \r, \\), undone before the Exec quoting is.
QString unescapedString(const QString &value)
{
    QString text;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value.at(i) != u'\\' || i + 1 == value.size()) {
            text += value.at(i);
            continue;
        }
        const QChar next = value.at(++i);
        text += next == u's' ? u' '
            : next == u'n'   ? u'\n'
            : next == u't'   ? u'\t'
            : next == u'r'   ? u'\r'
                             : next;
    }
    return text;
}
} // namespace

std::optional<DesktopEntry> DesktopEntry::parse(const QByteArray &contents)
{
    DesktopEntry entry;
    bool inMainGroup = false;
    bool seenMainGroup = false;
    for (const QByteArray &rawLine : contents.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            seenMainGroup = seenMainGroup || inMainGroup;
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0)
            continue;
        const QByteArray key = line.first(equals).trimmed();
        const QByteArray value = line.sliced(equals + 1).trimmed();
        if (key == "Exec")
            entry.exec = unescapedString(QString::fromUtf8(value));
        else if (key == "DBusActivatable")
            entry.dbusActivatable = value == "true";
        else if (key == "Hidden" && value == "true")
            return std::nullopt;
    }
    if (!seenMainGroup)
        return std::nullopt;
    return entry;
}

std::optional<QStringList> DesktopEntry::execArguments(const QString &exec)
{
    QStringList arguments;
    QString current;
    bool inArgument = false;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (quoted) {
            if (c == u'"') {
                quoted = false;
            } else if (c == u'\\' && i + 1 < exec.size()
                       && QStringView(u"\"`$\\").contains(exec.at(i + 1))) {
                current += exec.at(++i);
            } else {
                current += c;
            }
            continue;
        }
        if (c == u' ' || c == u'\t') {
            if (inArgument)
                arguments.append(std::exchange(current, {}));
            inArgument = false;
            continue;
        }
        inArgument = true;
        if (c == u'"') {
            quoted = true;
        } else if (c == u'%' && i + 1 < exec.size()) {
            // Field codes stand for files or URLs to open; none are passed here.
            const QChar code = exec.at(++i);
            if (code == u'%')
                current += u'%';
        } else {
            current += c;
        }
    }
    if (quoted)
        return std::nullopt;
    if (inArgument && !current.isEmpty())
        arguments.append(current);
    arguments.removeAll(QString());
    if (arguments.isEmpty())
        return std::nullopt;
    return arguments;
}

QString DesktopEntry::objectPath(const QString &desktopId)
{
    QString path = u'/' + desktopId;
    path.replace(u'.', u'/').replace(u'-', u'_');
    return path;
}
