#include "LogCapture.h"
#include "core/DefaultsKeys.h"
#include "core/NotificationCenter.h"
#include "core/NotificationNames.h"
#include "core/UserDefaults.h"
#include "platform/DesktopAppearance.h"
#include "platform/LoginItem.h"
#include "services/AppSettings.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPalette>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

class FakeLoginItem : public LoginItem
{
public:
    bool enabled = false;
    bool refuse = false;
    int changes = 0;

    bool isEnabled() const override { return enabled; }
    bool setEnabled(bool wanted, QString &errorString) override
    {
        ++changes;
        if (refuse) {
            errorString = u"Permission denied"_s;
            return false;
        }
        enabled = wanted;
        return true;
    }
};

class FakeAppearance : public DesktopAppearance
{
public:
    bool dark = false;
    bool prefersDark() const override { return dark; }
    void change(bool toDark)
    {
        dark = toDark;
        Q_EMIT preferenceChanged();
    }
};

// Counts the posts of one in-process notification.
class NotificationCounter : public QObject
{
public:
    explicit NotificationCounter(const QString &name)
    {
        NotificationCenter::defaultCenter().addObserver(name, this, [this] { ++count; });
    }
    int count = 0;
};

} // namespace

class TestAppSettings : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<UserDefaults> m_defaults;
    FakeAppearance m_appearance;
    FakeLoginItem *m_loginItem = nullptr;

    QString path() const { return m_dir->filePath(u"defaults.json"_s); }

    // Opens the domain as a new launch would.
    std::unique_ptr<AppSettings> launch(bool loginEnabled = false)
    {
        m_defaults = std::make_unique<UserDefaults>(path());
        auto loginItem = std::make_unique<FakeLoginItem>();
        loginItem->enabled = loginEnabled;
        m_loginItem = loginItem.get();
        return std::make_unique<AppSettings>(*m_defaults, std::move(loginItem), m_appearance);
    }
    void seed(const QVariantMap &values)
    {
        UserDefaults defaults(path());
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            defaults.setValue(it.key(), it.value());
    }
    QJsonObject storedFile() const
    {
        QFile file(path());
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                              : QJsonObject();
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_appearance.dark = false;
    }

    void freshDomainGivesTheDefaults()
    {
        auto settings = launch();
        QCOMPARE(settings->colorScheme(), AppColorScheme::System);
        QVERIFY(settings->alwaysOnTop());
        QVERIFY(settings->scrobbleNowPlaying());
        QVERIFY(settings->scrobbleHistory());
        QVERIFY(settings->autoCheckUpdates());
        QVERIFY(!settings->liquidGlassEnabled());
        QVERIFY(!settings->launchAtLogin());
        QVERIFY(settings->isScrobbleEnabled(MusicApp::Spotify));
        QVERIFY(settings->isScrobbleEnabled(MusicApp::generic(u"radio.example"_s)));
        for (HotkeyAction action : HotkeyActions::all())
            QCOMPARE(settings->hotkey(action), HotkeyActions::defaultHotkey(action));
        QCOMPARE(settings->glassCornerRadius(), 15.0);
        QCOMPARE(settings->glassBackgroundRed(), 1.0);
        QCOMPARE(settings->glassVeilOpacity(), 0.45);
        // Creation writes nothing the user did not choose.
        QVERIFY(!storedFile().contains(DefaultsKeys::alwaysOnTop));
    }

    void persistedValuesSurviveARestart()
    {
        {
            auto settings = launch();
            settings->setColorScheme(AppColorScheme::Dark);
            settings->setAlwaysOnTop(false);
            settings->setScrobbleHistory(false);
            settings->setAutoCheckUpdates(false);
            settings->setLiquidGlassEnabled(true);
            settings->setScrobbleSource(MusicApp::YoutubeMusic, false);
            settings->setHotkey(Hotkey { 49, Hotkey::Command | Hotkey::Shift },
                                HotkeyAction::PlayPause);
            settings->setGlassCornerRadius(4);
        }
        auto settings = launch();
        QCOMPARE(settings->colorScheme(), AppColorScheme::Dark);
        QVERIFY(!settings->alwaysOnTop());
        QVERIFY(!settings->scrobbleHistory());
        QVERIFY(settings->scrobbleNowPlaying());
        QVERIFY(!settings->autoCheckUpdates());
        QVERIFY(settings->liquidGlassEnabled());
        QVERIFY(!settings->isScrobbleEnabled(MusicApp::YoutubeMusic));
        QCOMPARE(settings->hotkey(HotkeyAction::PlayPause), (Hotkey { 49, 0x300 }));
        // The glass look is not persisted and starts from its defaults, dark this time.
        QCOMPARE(settings->glassCornerRadius(), 15.0);
        QCOMPARE(settings->glassBackgroundRed(), 0.0);
        QCOMPARE(settings->glassVeilOpacity(), 0.75);
        QCOMPARE(storedFile().value(DefaultsKeys::colorScheme).toString(), u"dark"_s);
        QCOMPARE(storedFile()
                     .value(DefaultsKeys::scrobbleSources)
                     .toObject()
                     .value(u"com.vesper.web.ytmusic"_s),
                 QJsonValue(false));
    }

    void wrongTypesFallBackAndStayUntilAssigned()
    {
        seed({ { DefaultsKeys::colorScheme, u"sepia"_s },
               { DefaultsKeys::alwaysOnTop, u"no"_s },
               { DefaultsKeys::scrobbleSources,
                 QVariantMap { { u"com.spotify.client"_s, false }, { u"x"_s, 1 } } },
               { DefaultsKeys::hotkeys,
                 QVariantMap { { u"playPause"_s, QVariantList { 1, u"2"_s } } } } });
        auto settings = launch();
        QCOMPARE(settings->colorScheme(), AppColorScheme::System);
        QVERIFY(settings->alwaysOnTop());
        QVERIFY(settings->isScrobbleEnabled(MusicApp::Spotify));
        QCOMPARE(settings->hotkey(HotkeyAction::PlayPause),
                 HotkeyActions::defaultHotkey(HotkeyAction::PlayPause));
        QCOMPARE(storedFile().value(DefaultsKeys::alwaysOnTop), QJsonValue(u"no"_s));
        QCOMPARE(storedFile().value(DefaultsKeys::colorScheme), QJsonValue(u"sepia"_s));
        settings->setAlwaysOnTop(true);
        QCOMPARE(storedFile().value(DefaultsKeys::alwaysOnTop), QJsonValue(true));
    }

    void legacyScrobbleSwitchesAreMigrated()
    {
        seed({ { DefaultsKeys::legacyScrobbleSourceSpotify, false },
               { DefaultsKeys::legacyScrobbleSourceAppleMusic, u"false"_s } });
        {
            auto settings = launch();
            QVERIFY(!settings->isScrobbleEnabled(MusicApp::Spotify));
            QVERIFY(settings->isScrobbleEnabled(MusicApp::AppleMusic));
        }
        const QJsonObject stored = storedFile();
        QVERIFY(!stored.contains(DefaultsKeys::legacyScrobbleSourceSpotify));
        // Not a boolean: left alone.
        QVERIFY(stored.contains(DefaultsKeys::legacyScrobbleSourceAppleMusic));
        QCOMPARE(
            stored.value(DefaultsKeys::scrobbleSources).toObject().value(u"com.spotify.client"_s),
            QJsonValue(false));
        auto again = launch();
        QVERIFY(!again->isScrobbleEnabled(MusicApp::Spotify));
    }

    void newerMapWinsOverLegacySwitch()
    {
        seed({ { DefaultsKeys::legacyScrobbleSourceSpotify, false },
               { DefaultsKeys::legacyScrobbleSourceYouTubeMusic, false },
               { DefaultsKeys::scrobbleSources,
                 QVariantMap { { u"com.spotify.client"_s, true } } } });
        auto settings = launch();
        QVERIFY(settings->isScrobbleEnabled(MusicApp::Spotify));
        QVERIFY(!settings->isScrobbleEnabled(MusicApp::YoutubeMusic));
        QVERIFY(!storedFile().contains(DefaultsKeys::legacyScrobbleSourceSpotify));
        QVERIFY(!storedFile().contains(DefaultsKeys::legacyScrobbleSourceYouTubeMusic));
    }

    void obsoleteKeysAreRemovedAndUnknownOnesKept()
    {
        seed({ { u"settings.glass.cornerRadius"_s, 3 },
               { u"settings.glass.shadowEnabled"_s, false },
               { DefaultsKeys::obsoleteWebSources, QVariantList { u"x"_s } },
               { u"someday.feature"_s, 42 } });
        auto settings = launch();
        QCOMPARE(settings->glassCornerRadius(), 15.0);
        const QJsonObject stored = storedFile();
        QVERIFY(!stored.contains(u"settings.glass.cornerRadius"_s));
        QVERIFY(!stored.contains(u"settings.glass.shadowEnabled"_s));
        QVERIFY(!stored.contains(DefaultsKeys::obsoleteWebSources));
        QCOMPARE(stored.value(u"someday.feature"_s).toInt(), 42);
    }

    void hotkeyEntries_data()
    {
        QTest::addColumn<QVariantList>("entry");
        QTest::addColumn<bool>("bound");
        QTest::newRow("removed") << QVariantList {} << false;
        QTest::newRow("three numbers") << QVariantList { 35, 4096, 1 } << false;
        QTest::newRow("negative") << QVariantList { -1, 4096 } << false;
        QTest::newRow("above 32 bits") << QVariantList { 35, qint64(1) << 33 } << false;
        QTest::newRow("pair") << QVariantList { 12, 256 } << true;
    }
    void hotkeyEntries()
    {
        QFETCH(QVariantList, entry);
        QFETCH(bool, bound);
        seed({ { DefaultsKeys::hotkeys, QVariantMap { { u"playPause"_s, entry } } } });
        auto settings = launch();
        QCOMPARE(settings->hotkey(HotkeyAction::PlayPause).has_value(), bound);
        QCOMPARE(settings->hotkey(HotkeyAction::NextTrack),
                 HotkeyActions::defaultHotkey(HotkeyAction::NextTrack));
    }

    void settingAHotkeyReloadsShortcuts()
    {
        auto settings = launch();
        int reloads = 0;
        settings->setHotkeyReloader([&reloads] { ++reloads; });
        settings->setHotkey(std::nullopt, HotkeyAction::ToggleLyrics);
        QCOMPARE(reloads, 1);
        QCOMPARE(settings->hotkey(HotkeyAction::ToggleLyrics), std::nullopt);
        QCOMPARE(storedFile()
                     .value(DefaultsKeys::hotkeys)
                     .toObject()
                     .value(u"toggleLyrics"_s)
                     .toArray()
                     .size(),
                 0);
        settings->setHotkeyTable({});
        QCOMPARE(settings->hotkey(HotkeyAction::ToggleLyrics),
                 HotkeyActions::defaultHotkey(HotkeyAction::ToggleLyrics));
    }

    void assignmentsNotifyEvenWhenUnchanged()
    {
        auto settings = launch();
        NotificationCounter onTop(NotificationNames::alwaysOnTopSettingChanged);
        NotificationCounter style(NotificationNames::panelStyleSettingChanged);
        settings->setAlwaysOnTop(true);
        settings->setAlwaysOnTop(true);
        QCOMPARE(onTop.count, 2);
        QCOMPARE(storedFile().value(DefaultsKeys::alwaysOnTop), QJsonValue(true));
        settings->setLiquidGlassEnabled(false);
        settings->setGlassShadowEnabled(true);
        settings->setGlassTintOpacity(0.3);
        QCOMPARE(style.count, 3);
        QCOMPARE(onTop.count, 2);
        // Glass properties live in memory only.
        QVERIFY(!storedFile().contains(u"settings.glass.tintOpacity"_s));
        QVERIFY(qAbs(settings->glassTintColor().alphaF() - 0.3f) < 0.001f);
    }

    void colorSchemeResetsTheGlassBackground()
    {
        auto settings = launch();
        settings->setColorScheme(AppColorScheme::Light);
        settings->setGlassBackgroundRed(0.5);
        settings->setGlassVeilOpacity(0.1);
        NotificationCounter style(NotificationNames::panelStyleSettingChanged);
        settings->setColorScheme(AppColorScheme::Dark);
        QCOMPARE(settings->glassBackgroundRed(), 0.0);
        QCOMPARE(settings->glassBackgroundBlue(), 0.0);
        QCOMPARE(settings->glassVeilOpacity(), 0.75);
        QCOMPARE(style.count, 4);
        QCOMPARE(settings->glassBackgroundColor(), QColor::fromRgbF(0, 0, 0, 0.75f));
    }

    void systemSchemeFollowsTheDesktop()
    {
        m_appearance.dark = true;
        auto settings = launch();
        QVERIFY(settings->isEffectivelyDark());
        QCOMPARE(settings->glassVeilOpacity(), 0.75);
        settings->applyAppearance();
        const QColor darkWindow = QGuiApplication::palette().color(QPalette::Window);
        QVERIFY(darkWindow.lightnessF() < 0.5);
        m_appearance.change(false);
        QVERIFY(QGuiApplication::palette().color(QPalette::Window).lightnessF() > 0.5);
        settings->setColorScheme(AppColorScheme::Dark);
        m_appearance.change(false);
        QVERIFY(QGuiApplication::palette().color(QPalette::Window).lightnessF() < 0.5);
    }

    void loginItem()
    {
        auto settings = launch(true);
        QVERIFY(settings->launchAtLogin());
        settings->setLaunchAtLogin(true);
        QCOMPARE(m_loginItem->changes, 0);
        settings->setLaunchAtLogin(false);
        QCOMPARE(m_loginItem->changes, 1);
        QVERIFY(!m_loginItem->enabled);

        m_loginItem->refuse = true;
        LogCapture log;
        settings->setLaunchAtLogin(true);
        QVERIFY(settings->launchAtLogin());
        QCOMPARE(log.lines(),
                 QStringList { u"Vesper: launch-at-login toggle failed: Permission denied"_s });
        // The next launch shows the system's true state.
        QVERIFY(!launch(m_loginItem->enabled)->launchAtLogin());
    }
};

QTEST_MAIN(TestAppSettings)
#include "test_appsettings.moc"
