#pragma once

#include "platform/SecretBackend.h"

#include <QJsonObject>
#include <QString>

// Secrets kept in a JSON file readable by the user alone, for desktops without a Secret
// Service. The file is one object, account → secret text; its folder is mode 0700 and the file
// 0600, tightened when an earlier file was left with wider bits. Every change rewrites the file
// atomically. A damaged file is set aside, never overwritten. No symbolic link is followed: a
// link in the file's place is set aside like a damaged file, and a folder that is a link is
// refused; a link's target is never touched.
class SecretFileBackend : public SecretBackend
{
public:
    // $XDG_DATA_HOME/vesper/secrets.json.
    static QString defaultFilePath();

    // The file's folder is made private too, so it must be a folder of Vesper's own.
    explicit SecretFileBackend(const QString &filePath = defaultFilePath());

    QString filePath() const { return m_filePath; }

    std::optional<QString> read(const QString &account) override;
    bool write(const QString &account, const QString &value) override;
    bool remove(const QString &account) override;

private:
    std::optional<QJsonObject> load();
    bool save(const QJsonObject &secrets);
    // Starts afresh with the file moved aside; none when it cannot be moved.
    std::optional<QJsonObject> setAside(const QString &reason);
    // Makes an existing folder private, or creates it when asked; false for a symbolic link.
    bool prepareFolder(bool create);

    QString m_filePath;
    bool m_folderLinkReported = false;
};
