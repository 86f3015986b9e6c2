#include "browser/BrowserBridgeService.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTest>

using namespace Qt::StringLiterals;

class TestBridgeKeys : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Chromium derives an extension's identifier from its public key: the first 128 bits of the
    // SHA-256 of the DER key, one letter a–p per hex digit.
    void allowedOriginsFollowTheKeys()
    {
        QStringList derived;
        for (const char *name : { "release.pub.pem", "development.pub.pem" }) {
            QFile file(QStringLiteral(VESPER_EXTENSION_KEYS_DIR "/") + QLatin1StringView(name));
            QVERIFY2(file.open(QIODevice::ReadOnly), name);
            QByteArray base64;
            for (const QByteArray &line : file.readAll().split('\n')) {
                // Only public keys belong in the repository.
                QVERIFY(!line.contains("PRIVATE KEY"));
                if (!line.startsWith("-----"))
                    base64 += line.trimmed();
            }
            const QByteArray der = QByteArray::fromBase64(base64);
            const QByteArray hex
                = QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex();
            QString id;
            for (const char digit : hex.left(32))
                id += QChar(u'a' + QByteArray(1, digit).toInt(nullptr, 16));
            derived << u"chrome-extension://"_s + id;
        }
        QCOMPARE(BrowserBridgeService::allowedOrigins(), derived);
    }
};

QTEST_GUILESS_MAIN(TestBridgeKeys)
#include "test_bridge_keys.moc"
