#include "browser/BrowserBridgeService.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// The DER SubjectPublicKeyInfo inside a PEM "PUBLIC KEY" block; empty when there is none.
QByteArray derFromPem(const QByteArray &pem)
{
    const QByteArray begin = "-----BEGIN PUBLIC KEY-----";
    const QByteArray end = "-----END PUBLIC KEY-----";
    const qsizetype from = pem.indexOf(begin);
    const qsizetype to = pem.indexOf(end);
    if (from < 0 || to < from)
        return {};
    const QByteArray body = pem.mid(from + begin.size(), to - from - begin.size());
    auto der = QByteArray::fromBase64Encoding(body.simplified().replace(' ', QByteArray()),
                                              QByteArray::AbortOnBase64DecodingErrors);
    return der ? *der : QByteArray();
}

// Chromium's extension identifier: the first 128 bits of the key's SHA-256, one letter a–p per
// hex digit.
QString extensionID(const QByteArray &der)
{
    const QByteArray hex
        = QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex().left(32);
    QString id;
    for (const char digit : hex)
        id += QChar(u'a' + QByteArray::fromRawData(&digit, 1).toInt(nullptr, 16));
    return id;
}

} // namespace

class TestBridgeKeys : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void identifierDerivation()
    {
        // Digits 0–f read as letters a–p; the hash of a fixed input was computed with sha256sum.
        const QByteArray der = "vesper";
        const QByteArray hex = QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex();
        QCOMPARE(hex.left(4), QByteArray("ecc9")); // sha256("vesper") begins ecc9…
        QCOMPARE(extensionID(der).left(4), u"ommj"_s);
    }

    void allowedOriginsFollowTheKeys()
    {
        QStringList derived;
        for (const char *name : { "release.pub.pem", "development.pub.pem" }) {
            QFile file(QStringLiteral(VESPER_EXTENSION_KEYS_DIR "/") + QLatin1StringView(name));
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
            const QByteArray pem = file.readAll();
            // Only public keys belong in the repository.
            QVERIFY(!pem.contains("PRIVATE KEY"));
            const QByteArray der = derFromPem(pem);
            QVERIFY2(der.size() > 256, name); // a 2048-bit RSA key
            derived << u"chrome-extension://"_s + extensionID(der);
        }
        QCOMPARE(BrowserBridgeService::allowedOrigins(), derived);
        QVERIFY(derived.at(0) != derived.at(1));
    }
};

QTEST_GUILESS_MAIN(TestBridgeKeys)
#include "test_bridge_keys.moc"
