#include "FakeDesktopPortal.h"

using namespace Qt::StringLiterals;

namespace {
const QString kService = u"org.freedesktop.portal.Desktop"_s;
const QString kPath = u"/org/freedesktop/portal/desktop"_s;
const QString kInterface = u"org.freedesktop.portal.Settings"_s;

QString nextConnectionName()
{
    static int counter = 0;
    return u"fake-desktop-portal-%1"_s.arg(++counter);
}

// Read answers with a variant that holds the value in a variant of its own.
QVariant readAnswer(uint colorScheme)
{
    return QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusVariant(colorScheme))));
}
} // namespace

FakeDesktopPortal::FakeDesktopPortal(uint colorScheme, QObject *parent)
    : QObject(parent), m_connection(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                                  nextConnectionName())),
      m_colorScheme(colorScheme)
{
}

FakeDesktopPortal::~FakeDesktopPortal()
{
    m_connection.unregisterService(kService);
    m_connection.unregisterObject(kPath);
    QDBusConnection::disconnectFromBus(m_connection.name());
}

bool FakeDesktopPortal::start()
{
    return m_connection.isConnected()
        && m_connection.registerObject(kPath, this, QDBusConnection::ExportAllSlots)
        && m_connection.registerService(kService);
}

void FakeDesktopPortal::changeColorScheme(uint colorScheme)
{
    m_colorScheme = colorScheme;
    emitSettingChanged(u"org.freedesktop.appearance"_s, u"color-scheme"_s, colorScheme);
}

void FakeDesktopPortal::emitSettingChanged(const QString &nameSpace, const QString &key,
                                           const QVariant &value)
{
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, u"SettingChanged"_s);
    signal << nameSpace << key << QVariant::fromValue(QDBusVariant(value));
    m_connection.send(signal);
}

void FakeDesktopPortal::releaseReplies()
{
    m_holding = false;
    for (const auto &[call, colorScheme] : std::as_const(m_heldReplies))
        m_connection.send(call.createReply(readAnswer(colorScheme)));
    m_heldReplies.clear();
}

QDBusVariant FakeDesktopPortal::Read(const QString &nameSpace, const QString &key)
{
    ++m_readCount;
    if (nameSpace != u"org.freedesktop.appearance"_s || key != u"color-scheme"_s) {
        sendErrorReply(u"org.freedesktop.portal.Error.NotFound"_s,
                       u"Requested setting not found"_s);
        return {};
    }
    if (m_holding) {
        setDelayedReply(true);
        m_heldReplies.append({ message(), m_colorScheme });
        return {};
    }
    return qvariant_cast<QDBusVariant>(readAnswer(m_colorScheme));
}
