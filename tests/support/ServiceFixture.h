#pragma once

#include "MemorySecretBackend.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QPair>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

class SecretStore;
class SettingsStore;

// What a service under test stands on: a settings file of its own, secrets in memory, a network
// whose calls must all have ended before it goes, and the services' origins pointed at local
// fakes. Create one per test function (in init()), so nothing leaks from one test to the next.
class ServiceFixture
{
public:
    ServiceFixture();
    ~ServiceFixture();
    ServiceFixture(const ServiceFixture &) = delete;
    ServiceFixture &operator=(const ServiceFixture &) = delete;

    SettingsStore &settings() { return *m_settings; }
    // Reads the settings file again, as the next launch would.
    SettingsStore &reopenSettings();
    QString settingsPath() const;
    // The settings file as stored on disk; empty when there is none.
    QJsonObject storedSettings() const;

    // A secret store over the items, which the test reads and changes directly.
    SecretStore &secrets() { return *m_secrets; }
    SecretItems &secretItems() { return m_secretItems; }

    QNetworkAccessManager &network() { return m_network; }
    // True once no reply of the network is pending; waits up to five seconds.
    bool networkDrained();

    // Points VESPER_<name>_URL at an origin until the fixture ends; a closed port when empty.
    void setEndpoint(const char *variable, const QUrl &origin = {});

private:
    QTemporaryDir m_dir;
    std::unique_ptr<SettingsStore> m_settings;
    SecretItems m_secretItems;
    std::unique_ptr<SecretStore> m_secrets;
    QNetworkAccessManager m_network;
    QList<QPair<QByteArray, QByteArray>> m_savedEnvironment;
};
