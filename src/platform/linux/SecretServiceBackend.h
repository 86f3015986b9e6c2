#pragma once

#include "platform/SecretBackend.h"

#include <chrono>
#include <memory>
#include <thread>

struct SecretServiceWorker;

// Secrets kept by the desktop's Secret Service (GNOME Keyring, KWallet, KeePassXC) through
// libsecret. Items carry the string attributes "service" = "northloft.VesperApp" and
// "account".
//
// The Secret Service may be slow to start, hung, or waiting on an unlock prompt, so every call
// runs on a worker thread and is given up after a bounded wait: a late read counts as absent, a
// late write or removal as failed. Vesper never asks to unlock a locked keyring; its items are
// then absent for that call.
class SecretServiceBackend : public SecretBackend
{
public:
    static constexpr std::chrono::milliseconds defaultTimeout { 2000 };

    explicit SecretServiceBackend(std::chrono::milliseconds timeout = defaultTimeout);
    ~SecretServiceBackend() override;
    SecretServiceBackend(const SecretServiceBackend &) = delete;
    SecretServiceBackend &operator=(const SecretServiceBackend &) = delete;

    std::optional<QString> read(const QString &account) override;
    bool write(const QString &account, const QString &value) override;
    bool remove(const QString &account) override;

private:
    std::chrono::milliseconds m_timeout;
    std::shared_ptr<SecretServiceWorker> m_worker;
    std::thread m_thread;
};
