#include "FakeDesktopPortal.h"

using namespace Qt::StringLiterals;

namespace {
const QString kPath = u"/org/freedesktop/portal/desktop"_s;

// Read answers with a variant that holds the value in a variant of its own.
QDBusVariant readAnswer(uint colorScheme)
{
    return QDBusVariant(QVariant::fromValue(QDBusVariant(colorScheme)));
}
} // namespace

FakeDesktopPortal::FakeDesktopPortal(uint colorScheme)
    : m_connection(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                 u"fake-portal-%1"_s.arg(quintptr(this)))),
      m_colorScheme(colorScheme)
{
}

FakeDesktopPortal::~FakeDesktopPortal() { QDBusConnection::disconnectFromBus(m_connection.name()); }

bool FakeDesktopPortal::start()
{
    return m_connection.registerObject(kPath, this, QDBusConnection::ExportAllSlots)
        && m_connection.registerService(u"org.freedesktop.portal.Desktop"_s);
}

void FakeDesktopPortal::changeColorScheme(uint colorScheme)
{
    m_colorScheme = colorScheme;
    emitSettingChanged(u"org.freedesktop.appearance"_s, u"color-scheme"_s, colorScheme);
}

void FakeDesktopPortal::emitSettingChanged(const QString &nameSpace, const QString &key,
                                           const QVariant &value)
{
    m_connection.send(
        QDBusMessage::createSignal(kPath, u"org.freedesktop.portal.Settings"_s, u"SettingChanged"_s)
        << nameSpace << key << QVariant::fromValue(QDBusVariant(value)));
}

void FakeDesktopPortal::releaseReplies()
{
    m_holding = false;
    for (const auto &[call, colorScheme] : std::as_const(m_heldReplies))
        m_connection.send(call.createReply(QVariant::fromValue(readAnswer(colorScheme))));
    m_heldReplies.clear();
}

QDBusVariant FakeDesktopPortal::Read(const QString &, const QString &)
{
    ++m_readCount;
    if (m_holding) {
        setDelayedReply(true);
        m_heldReplies.append({ message(), m_colorScheme });
    }
    return readAnswer(m_colorScheme);
}
