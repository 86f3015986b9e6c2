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
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
// A few tokens take a few hundred bytes; anything this large was not written by Vesper.
constexpr qint64 kMaxFileSize = 1024 * 1024;

// Opens a path without following a link in its last step (a link gives ELOOP), without
// blocking on a FIFO; -1 with errno set when it cannot.
int openNoFollow(const QString &path, int flags)
{
    return ::open(QFile::encodeName(path).constData(),
                  O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | flags);
}

// Takes group and other bits away from an open file or folder; true when it is now private.
bool restrictMode(int descriptor, mode_t privateMode)
{
    struct stat status = {};
    if (::fstat(descriptor, &status) != 0)
        return false;
    const mode_t mode = status.st_mode & 07777;
    return (mode & ~privateMode) == 0 || ::fchmod(descriptor, mode & privateMode) == 0;
}

bool isSymbolicLink(const QString &path)
{
    struct stat status = {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISLNK(status.st_mode);
}
} // namespace

QString SecretFileBackend::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + u"/vesper/secrets.json"_s;
}

SecretFileBackend::SecretFileBackend(const QString &filePath) : m_filePath(filePath) { load(); }

bool SecretFileBackend::prepareFolder(bool create)
{
    const QString folder = QFileInfo(m_filePath).path();
    // A link could lead anywhere, and making its target private would change a folder that is
    // not Vesper's: the secrets are neither read nor written through one.
    if (isSymbolicLink(folder)) {
        if (!std::exchange(m_folderLinkReported, true))
            plainLog(u"Vesper: the secrets folder %1 is a symbolic link; secrets will not be "
                     "read or saved there"_s.arg(folder));
        return false;
    }
    if (create && !QDir().mkpath(folder))
        return false;
    // Earlier folders may have been created under a permissive umask.
    const int descriptor = openNoFollow(folder, O_DIRECTORY);
    if (descriptor < 0 && errno == ENOENT && !create)
        return true;
    const bool restricted = descriptor >= 0 && restrictMode(descriptor, 0700);
    if (descriptor >= 0)
        ::close(descriptor);
    if (!restricted)
        qCWarning(lcKeychain).noquote() << "cannot restrict the permissions of" << folder;
    // Secrets already there can still be read; none are written into a folder others can see.
    return restricted || !create;
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
    if (!prepareFolder(false))
        return std::nullopt;
    const int descriptor = openNoFollow(m_filePath, 0);
    if (descriptor < 0) {
        if (errno == ENOENT)
            return QJsonObject();
        if (errno == ELOOP)
            return setAside(u"it is a symbolic link"_s);
        qCWarning(lcKeychain).noquote()
            << "cannot read the secrets file" << m_filePath << '(' << qt_error_string(errno) << ')';
        return std::nullopt;
    }
    QFile file;
    file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    struct stat status = {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
        return setAside(u"it is not a regular file"_s);
    if (status.st_size > kMaxFileSize)
        return setAside(u"it is larger than %1 bytes"_s.arg(kMaxFileSize));
    // Earlier files may have been created under a permissive umask or copied in by hand.
    if (!restrictMode(descriptor, 0600))
        qCWarning(lcKeychain).noquote() << "cannot restrict the permissions of" << m_filePath;

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.read(kMaxFileSize), &error);
    file.close();
    if (error.error != QJsonParseError::NoError)
        return setAside(u"%1 at offset %2"_s.arg(error.errorString()).arg(error.offset));
    if (!document.isObject())
        return setAside(u"it is not a JSON object"_s);
    return document.object();
}

bool SecretFileBackend::save(const QJsonObject &secrets)
{
    // A link put in place since the file was read would have the secrets written through it.
    if (!prepareFolder(true) || isSymbolicLink(m_filePath)) {
        qCWarning(lcKeychain).noquote() << "cannot save the secrets file" << m_filePath;
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

std::optional<QJsonObject> SecretFileBackend::setAside(const QString &reason)
{
    if (const auto asideName = setAsideDamagedFile(m_filePath)) {
        plainLog(u"Vesper: secrets file %1 is damaged (%2); kept as %3, starting with no stored "
                 "secrets"_s.arg(m_filePath, reason, *asideName));
        return QJsonObject();
    }
    plainLog(u"Vesper: secrets file %1 is damaged (%2) and cannot be set aside; secrets will "
             "not be saved"_s.arg(m_filePath, reason));
    return std::nullopt;
}
