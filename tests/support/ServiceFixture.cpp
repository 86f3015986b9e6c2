#include "ServiceFixture.h"

#include "core/SettingsStore.h"
#include "settings/SecretStore.h"

#include <QFile>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QTest>

using namespace Qt::StringLiterals;

ServiceFixture::ServiceFixture()
{
    m_network.setProxy(QNetworkProxy::NoProxy);
    m_settings = std::make_unique<SettingsStore>(settingsPath());
    m_secrets = std::make_unique<SecretStore>(std::make_unique<MemorySecretBackend>(m_secretItems));
}

ServiceFixture::~ServiceFixture()
{
    for (const auto &[name, value] : m_savedEnvironment) {
        if (value.isNull())
            qunsetenv(name.constData());
        else
            qputenv(name.constData(), value);
    }
}

SettingsStore &ServiceFixture::reopenSettings()
{
    m_settings.reset();
    m_settings = std::make_unique<SettingsStore>(settingsPath());
    return *m_settings;
}

QString ServiceFixture::settingsPath() const { return m_dir.filePath(u"defaults.json"_s); }

QJsonObject ServiceFixture::storedSettings() const
{
    QFile file(settingsPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

bool ServiceFixture::networkDrained()
{
    return QTest::qWaitFor(
        [this] { return m_network.findChildren<QNetworkReply *>().isEmpty(); }, 5000);
}

void ServiceFixture::setEndpoint(const char *variable, const QUrl &origin)
{
    m_savedEnvironment.append({ variable, qgetenv(variable) });
    // Port 9 (discard) is closed on loopback: a request there fails at once.
    qputenv(variable, origin.isEmpty() ? QByteArray("http://127.0.0.1:9") : origin.toEncoded());
}
