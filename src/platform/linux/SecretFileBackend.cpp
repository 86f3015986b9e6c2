#include "platform/linux/SecretFileBackend.h"

#include "core/DamagedFile.h"
#include "core/Log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>
#include <QStandardPaths>

#include <cerrno>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {
// A few tokens take a few hundred bytes; anything this large was not written by Vesper.
constexpr qint64 kMaxFileSize = 1024 * 1024;

// Takes group and other bits away from an existing path; true when it is now private.
bool restrictMode(const QString &path, mode_t privateMode)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat status = {};
    if (::stat(name.constData(), &status) != 0)
        return errno == ENOENT;
    const mode_t mode = status.st_mode & 07777;
    if ((mode & ~privateMode) == 0)
        return true;
    if (::chmod(name.constData(), mode & privateMode) == 0)
        return true;
    qCWarning(lcKeychain).noquote() << "cannot restrict the permissions of" << path;
    return false;
}
} // namespace

QString SecretFileBackend::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + u"/vesper/secrets.json"_s;
}

SecretFileBackend::SecretFileBackend(const QString &filePath) : m_filePath(filePath)
{
    tightenPermissions();
}

void SecretFileBackend::tightenPermissions()
{
    // Earlier files may have been created under a permissive umask or copied in by hand.
    restrictMode(QFileInfo(m_filePath).path(), 0700);
    restrictMode(m_filePath, 0600);
}

std::optional<QString> SecretFileBackend::read(const QString &account)
{
    const auto secrets = load();
    if (!secrets)
        return std::nullopt;
    const QJsonValue value = secrets->value(account);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

bool SecretFileBackend::write(const QString &account, const QString &value)
{
    auto secrets = load();
    if (!secrets)
        return false;
    secrets->insert(account, value);
    return save(*secrets);
}

bool SecretFileBackend::remove(const QString &account)
{
    auto secrets = load();
    if (!secrets)
        return false;
    if (!secrets->contains(account))
        return true;
    secrets->remove(account);
    return save(*secrets);
}

// The stored secrets; none when the file exists but cannot be used, so that nothing is
// written over it.
std::optional<QJsonObject> SecretFileBackend::load()
{
    tightenPermissions();
    QFile file(m_filePath);
    if (!file.exists())
        return QJsonObject();
    if (file.size() > kMaxFileSize) {
        if (!setAside(u"it is larger than %1 bytes"_s.arg(kMaxFileSize)))
            return std::nullopt;
        return QJsonObject();
    }
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcKeychain).noquote()
            << "cannot read the secrets file" << m_filePath << '(' << file.errorString() << ')';
        return std::nullopt;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    file.close();
    QString damage;
    if (error.error != QJsonParseError::NoError)
        damage = u"%1 at offset %2"_s.arg(error.errorString()).arg(error.offset);
    else if (!document.isObject())
        damage = u"it is not a JSON object"_s;
    if (damage.isEmpty())
        return document.object();
    if (!setAside(damage))
        return std::nullopt;
    return QJsonObject();
}

bool SecretFileBackend::save(const QJsonObject &secrets)
{
    const QString folder = QFileInfo(m_filePath).path();
    if (!QDir().mkpath(folder) || !restrictMode(folder, 0700)) {
        qCWarning(lcKeychain).noquote() << "cannot prepare the folder" << folder;
        return false;
    }
    QSaveFile file(m_filePath);
    // Restricted before the first byte is written, so the secrets are never readable by others,
    // not even in the temporary file.
    if (!file.open(QIODevice::WriteOnly)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        qCWarning(lcKeychain).noquote()
            << "cannot save the secrets file" << m_filePath << '(' << file.errorString() << ')';
        return false;
    }
    file.write(QJsonDocument(secrets).toJson(QJsonDocument::Indented));
    if (!file.commit()) {
        qCWarning(lcKeychain).noquote()
            << "cannot save the secrets file" << m_filePath << '(' << file.errorString() << ')';
        return false;
    }
    return true;
}

bool SecretFileBackend::setAside(const QString &reason)
{
    if (const auto asideName = setAsideDamagedFile(m_filePath)) {
        plainLog(u"Vesper: secrets file %1 is damaged (%2); kept as %3, starting with no stored "
                 "secrets"_s.arg(m_filePath, reason, *asideName));
        return true;
    }
    plainLog(u"Vesper: secrets file %1 is damaged (%2) and cannot be set aside; secrets will "
             "not be saved"_s.arg(m_filePath, reason));
    return false;
}
