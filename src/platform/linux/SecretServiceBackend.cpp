#include "platform/linux/SecretServiceBackend.h"

#include "core/Log.h"

#include <QByteArray>
#include <QStringDecoder>

#include <libsecret/secret.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

using namespace Qt::StringLiterals;

namespace {
constexpr char kServiceName[] = "northloft.VesperApp";
constexpr std::chrono::milliseconds kGraceAfterCancel { 250 };

// Vesper's items are found by their attributes alone, so items stored by earlier builds or by
// other tools under another schema name still match.
const SecretSchema &vesperSchema()
{
    static const SecretSchema schema = [] {
        SecretSchema s {};
        s.name = kServiceName;
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = { "service", SECRET_SCHEMA_ATTRIBUTE_STRING };
        s.attributes[1] = { "account", SECRET_SCHEMA_ATTRIBUTE_STRING };
        return s;
    }();
    return schema;
}

struct GObjectUnref
{
    void operator()(gpointer object) const { g_object_unref(object); }
};
template<typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct HashTableUnref
{
    void operator()(GHashTable *table) const { g_hash_table_unref(table); }
};
using Attributes = std::unique_ptr<GHashTable, HashTableUnref>;

struct SecretValueUnref
{
    void operator()(SecretValue *value) const { secret_value_unref(value); }
};
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;

class Error
{
public:
    Error() = default;
    ~Error() { clear(); }
    Error(const Error &) = delete;
    Error &operator=(const Error &) = delete;

    GError **out() { return &m_error; }
    explicit operator bool() const { return m_error != nullptr; }
    bool cancelled() const { return g_error_matches(m_error, G_IO_ERROR, G_IO_ERROR_CANCELLED); }
    QString message() const { return m_error ? QString::fromUtf8(m_error->message) : QString(); }
    void clear() { g_clear_error(&m_error); }

private:
    GError *m_error = nullptr;
};

void logFailure(const char *operation, const Error &error)
{
    qCDebug(lcKeychain).noquote() << "Secret Service" << operation << "failed:" << error.message();
}

Attributes attributesFor(const QByteArray &account)
{
    return Attributes(secret_attributes_build(&vesperSchema(), "service", kServiceName, "account",
                                              account.constData(), nullptr));
}

GObjectPtr<SecretService> connectService(GCancellable *cancellable)
{
    Error error;
    GObjectPtr<SecretService> service(
        secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, cancellable, error.out()));
    if (!service)
        logFailure("connection", error);
    return service;
}

// The bytes of the first matching item whose secret can be read, or none.
std::optional<QByteArray> lookUp(const QByteArray &account, GCancellable *cancellable)
{
    const auto service = connectService(cancellable);
    if (!service)
        return std::nullopt;
    Error error;
    // Without SECRET_SEARCH_UNLOCK an item in a locked keyring comes back without its secret
    // instead of making the daemon prompt for the keyring's password.
    GList *items
        = secret_service_search_sync(service.get(), &vesperSchema(), attributesFor(account).get(),
                                     SECRET_SEARCH_LOAD_SECRETS, cancellable, error.out());
    if (error)
        logFailure("search", error);
    std::optional<QByteArray> found;
    for (GList *item = items; item && !found; item = item->next) {
        const SecretValuePtr value(secret_item_get_secret(static_cast<SecretItem *>(item->data)));
        if (value) {
            gsize length = 0;
            const gchar *data = secret_value_get(value.get(), &length);
            found = QByteArray(data, qsizetype(length));
        }
    }
    g_list_free_full(items, g_object_unref);
    return found;
}

// The store replaces only items with Vesper's schema name. One stored under the same
// attributes by another client would be left beside it and could shadow the new value.
void removeForeignItems(SecretService *service, GHashTable *attributes, GCancellable *cancellable)
{
    Error error;
    GList *items = secret_service_search_sync(service, &vesperSchema(), attributes,
                                              SECRET_SEARCH_ALL, cancellable, error.out());
    for (GList *entry = items; entry; entry = entry->next) {
        auto *item = static_cast<SecretItem *>(entry->data);
        GHashTable *itemAttributes = secret_item_get_attributes(item);
        const auto *schemaName
            = static_cast<const char *>(g_hash_table_lookup(itemAttributes, "xdg:schema"));
        if (g_strcmp0(schemaName, kServiceName) != 0 && !secret_item_get_locked(item)) {
            error.clear();
            if (!secret_item_delete_sync(item, cancellable, error.out()))
                logFailure("removal of an older item", error);
        }
        g_hash_table_unref(itemAttributes);
    }
    g_list_free_full(items, g_object_unref);
}

bool store(const QByteArray &account, const QByteArray &secret, const QByteArray &label,
           GCancellable *cancellable)
{
    const auto service = connectService(cancellable);
    if (!service)
        return false;
    Error error;
    // Storing into a locked keyring makes the daemon prompt for its password; Vesper counts
    // that keyring as unavailable instead. A service without aliases is simply tried.
    const GObjectPtr<SecretCollection> collection(
        secret_collection_for_alias_sync(service.get(), SECRET_COLLECTION_DEFAULT,
                                         SECRET_COLLECTION_NONE, cancellable, error.out()));
    if (collection && secret_collection_get_locked(collection.get())) {
        qCDebug(lcKeychain) << "the default keyring is locked; not storing";
        return false;
    }
    if (error.cancelled())
        return false;
    error.clear();

    const Attributes attributes = attributesFor(account);
    const SecretValuePtr value(
        secret_value_new(secret.constData(), gssize(secret.size()), "text/plain"));
    if (!secret_service_store_sync(service.get(), &vesperSchema(), attributes.get(),
                                   SECRET_COLLECTION_DEFAULT, label.constData(), value.get(),
                                   cancellable, error.out())) {
        logFailure("store", error);
        return false;
    }
    removeForeignItems(service.get(), attributes.get(), cancellable);
    return true;
}

bool clear(const QByteArray &account, GCancellable *cancellable)
{
    const auto service = connectService(cancellable);
    if (!service)
        return false;
    const Attributes attributes = attributesFor(account);
    Error error;
    // False without an error only means no unlocked item matched.
    secret_service_clear_sync(service.get(), &vesperSchema(), attributes.get(), cancellable,
                              error.out());
    if (error) {
        logFailure("removal", error);
        return false;
    }
    // Items in a locked keyring are left alone by the clear; the secret then still exists.
    GList *left = secret_service_search_sync(service.get(), &vesperSchema(), attributes.get(),
                                             SECRET_SEARCH_ALL, cancellable, error.out());
    if (error) {
        logFailure("search", error);
        return false;
    }
    const bool removed = left == nullptr;
    g_list_free_full(left, g_object_unref);
    return removed;
}
} // namespace

// The one thread that talks to libsecret. Callers queue a job and wait for it with a time
// limit; a job given up on is cancelled and finishes on its own, owning everything it touches.
struct SecretServiceWorker
{
    struct Job
    {
        explicit Job(std::function<void(GCancellable *)> operation) : run(std::move(operation)) { }
        ~Job() { g_object_unref(cancellable); }
        Job(const Job &) = delete;
        Job &operator=(const Job &) = delete;

        std::function<void(GCancellable *)> run;
        GCancellable *cancellable = g_cancellable_new();
        bool finished = false;
    };

    static void loop(std::shared_ptr<SecretServiceWorker> self)
    {
        std::unique_lock lock(self->mutex);
        for (;;) {
            self->jobQueued.wait(lock, [&] { return self->stopping || !self->queue.empty(); });
            if (self->stopping)
                break;
            self->current = std::move(self->queue.front());
            self->queue.pop_front();
            const std::shared_ptr<Job> job = self->current;
            lock.unlock();
            if (!g_cancellable_is_cancelled(job->cancellable))
                job->run(job->cancellable);
            lock.lock();
            job->finished = true;
            self->current.reset();
            self->jobFinished.notify_all();
        }
        self->exited = true;
        self->jobFinished.notify_all();
    }

    // The operation's result, or none when it did not finish within the timeout.
    template<typename Result>
    std::optional<Result> run(std::function<Result(GCancellable *)> operation,
                              std::chrono::milliseconds timeout)
    {
        auto result = std::make_shared<std::optional<Result>>();
        auto job = std::make_shared<Job>(
            [operation = std::move(operation), result](GCancellable *cancellable) {
                *result = operation(cancellable);
            });
        std::unique_lock lock(mutex);
        // A call given up on earlier is normally over a moment after its cancellation. If it is
        // still stuck, the service is not answering: fail at once rather than wait again.
        const auto stuckJobGone
            = [&] { return !current || !g_cancellable_is_cancelled(current->cancellable); };
        if (!jobFinished.wait_for(lock, kGraceAfterCancel, stuckJobGone)) {
            qCDebug(lcKeychain) << "the Secret Service is still not answering; giving up";
            return std::nullopt;
        }
        queue.push_back(job);
        jobQueued.notify_one();
        if (jobFinished.wait_for(lock, timeout, [&] { return job->finished; }))
            return std::move(*result);
        lock.unlock();
        g_cancellable_cancel(job->cancellable);
        qCDebug(lcKeychain) << "the Secret Service did not answer within" << timeout.count()
                            << "ms; giving up";
        return std::nullopt;
    }

    std::mutex mutex;
    std::condition_variable jobQueued;
    std::condition_variable jobFinished;
    std::deque<std::shared_ptr<Job>> queue;
    std::shared_ptr<Job> current;
    bool stopping = false;
    bool exited = false;
};

SecretServiceBackend::SecretServiceBackend(std::chrono::milliseconds timeout)
    : m_timeout(timeout), m_worker(std::make_shared<SecretServiceWorker>()),
      m_thread(&SecretServiceWorker::loop, m_worker)
{
}

SecretServiceBackend::~SecretServiceBackend()
{
    std::unique_lock lock(m_worker->mutex);
    m_worker->stopping = true;
    const std::shared_ptr<SecretServiceWorker::Job> current = m_worker->current;
    m_worker->jobQueued.notify_one();
    lock.unlock();
    if (current)
        g_cancellable_cancel(current->cancellable);
    lock.lock();
    // A worker stuck in libsecret despite the cancellation is left to finish on its own rather
    // than holding up the exit; it keeps the shared state alive until then.
    const bool exited
        = m_worker->jobFinished.wait_for(lock, m_timeout, [&] { return m_worker->exited; });
    lock.unlock();
    if (exited)
        m_thread.join();
    else
        m_thread.detach();
}

std::optional<QString> SecretServiceBackend::read(const QString &account)
{
    const auto bytes = m_worker->run<std::optional<QByteArray>>(
        [account = account.toUtf8()](GCancellable *cancellable) {
            return lookUp(account, cancellable);
        },
        m_timeout);
    if (!bytes || !*bytes)
        return std::nullopt;
    // The data is the secret's UTF-8 text, kept exactly as stored, a leading BOM included.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder.decode(**bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

bool SecretServiceBackend::write(const QString &account, const QString &value)
{
    const auto stored = m_worker->run<bool>(
        [account = account.toUtf8(), secret = value.toUtf8(),
         label = QString(u"Vesper: "_s + account).toUtf8()](GCancellable *cancellable) {
            return store(account, secret, label, cancellable);
        },
        m_timeout);
    return stored.value_or(false);
}

bool SecretServiceBackend::remove(const QString &account)
{
    const auto removed = m_worker->run<bool>(
        [account = account.toUtf8()](GCancellable *cancellable) {
            return clear(account, cancellable);
        },
        m_timeout);
    return removed.value_or(false);
}
