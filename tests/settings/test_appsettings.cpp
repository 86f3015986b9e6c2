#include "QuietDesktop.h"
#include "ServiceFixture.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "settings/AppSettings.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QPalette>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
bool windowIsDark()
{
    return QGuiApplication::palette().color(QPalette::Window).lightnessF() < 0.5;
}
} // namespace

class TestAppSettings : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceFixture> m_fixture;
    LightDesktop m_appearance;
    NoLoginItem *m_loginItem = nullptr;
    std::unique_ptr<AppSettings> m_settings;

    // Opens the settings as a new launch would.
    AppSettings &launch(bool loginEnabled = false)
    {
        m_settings.reset();
        auto loginItem = std::make_unique<NoLoginItem>();
        loginItem->enabled = loginEnabled;
        m_loginItem = loginItem.get();
        m_settings = std::make_unique<AppSettings>(m_fixture->reopenSettings(),
                                                   std::move(loginItem), m_appearance);
        return *m_settings;
    }
    QJsonValue stored(const QString &key) const { return m_fixture->storedSettings().value(key); }

private Q_SLOTS:
    void init()
    {
        m_fixture = std::make_unique<ServiceFixture>();
        m_appearance.dark = false;
    }
    void cleanup() { m_settings.reset(); }

    void valuesStartAtTheDefaultsAndSurviveARestart()
    {
        AppSettings &first = launch();
        QCOMPARE(first.colorScheme(), AppColorScheme::System);
        QVERIFY(first.alwaysOnTop() && !first.launchAtLogin());
        // Creation writes nothing the user did not choose.
        QVERIFY(m_fixture->storedSettings().isEmpty());
        first.setColorScheme(AppColorScheme::Dark);
        first.setAlwaysOnTop(false);
        first.setScrobbleSource(Source::YoutubeMusic, false);
        first.setHotkey(Hotkey { 49, Hotkey::Command | Hotkey::Shift }, HotkeyAction::PlayPause);
        first.setGlassCornerRadius(4);

        AppSettings &settings = launch();
        QCOMPARE(settings.colorScheme(), AppColorScheme::Dark);
        QVERIFY(!settings.alwaysOnTop() && !settings.isScrobbleEnabled(Source::YoutubeMusic));
        QCOMPARE(settings.hotkey(HotkeyAction::PlayPause), (Hotkey { 49, 0x300 }));
        // The glass look lives in memory and starts from its defaults.
        QCOMPARE(settings.glassCornerRadius(), 15.0);
    }

    // Legacy per-source switches move into the map, which wins where both speak.
    void storedValuesAreMigratedAndKept()
    {
        SettingsStore &store = m_fixture->settings();
        store.setValue(SettingsKeys::legacyScrobbleSourceSpotify, false);
        store.setValue(SettingsKeys::legacyScrobbleSourceAppleMusic, u"false"_s);
        store.setValue(SettingsKeys::legacyScrobbleSourceYouTubeMusic, false);
        store.setValue(SettingsKeys::scrobbleSources,
                       QVariantMap { { u"com.vesper.web.ytmusic"_s, true } });
        store.setValue(SettingsKeys::obsoleteWebSources, QVariantList { u"x"_s });
        store.setValue(SettingsKeys::alwaysOnTop, u"no"_s);
        store.setValue(u"someday.feature"_s, 42);
        // The map is on disk before a switch goes, so a crash in between loses no choice.
        QStringList written;
        connect(&m_fixture->reopenSettings(), &SettingsStore::valueChanged, this,
                [&written](const QString &key) { written << key; });
        AppSettings settings(m_fixture->settings(), std::make_unique<NoLoginItem>(), m_appearance);
        QCOMPARE(written.mid(0, 2),
                 (QStringList { SettingsKeys::scrobbleSources,
                                SettingsKeys::legacyScrobbleSourceSpotify }));
        QVERIFY(!settings.isScrobbleEnabled(Source::Spotify));
        QVERIFY(settings.isScrobbleEnabled(Source::AppleMusic)); // not a boolean: left alone
        QVERIFY(settings.isScrobbleEnabled(Source::YoutubeMusic));
        const QJsonObject file = m_fixture->storedSettings();
        QVERIFY(!file.contains(SettingsKeys::legacyScrobbleSourceSpotify));
        QVERIFY(!file.contains(SettingsKeys::legacyScrobbleSourceYouTubeMusic));
        QVERIFY(file.contains(SettingsKeys::legacyScrobbleSourceAppleMusic));
        QVERIFY(!file.contains(SettingsKeys::obsoleteWebSources));
        QCOMPARE(file.value(u"someday.feature"_s), QJsonValue(42));
        QCOMPARE(file.value(SettingsKeys::scrobbleSources)[u"com.spotify.client"_s],
                 QJsonValue(false));
        // A value of the wrong type reads as the default and stays until assigned.
        QVERIFY(settings.alwaysOnTop());
        QCOMPARE(file.value(SettingsKeys::alwaysOnTop), QJsonValue(u"no"_s));
    }

    void hotkeys()
    {
        // An empty entry unbinds; one that is not two unsigned 32-bit numbers binds no key.
        m_fixture->settings().setValue(
            SettingsKeys::hotkeys,
            QVariantMap { { u"playPause"_s, QVariantList { 12, 256 } },
                          { u"nextTrack"_s, QVariantList {} },
                          { u"previousTrack"_s, QVariantList { 35, 4096, 1 } },
                          { u"toggleLike"_s, QVariantList { -1, 4096 } },
                          { u"toggleLyrics"_s, QVariantList { 35, qint64(1) << 33 } } });
        AppSettings &settings = launch();
        QCOMPARE(settings.hotkey(HotkeyAction::PlayPause), (Hotkey { 12, 256 }));
        for (HotkeyAction action : { HotkeyAction::NextTrack, HotkeyAction::PreviousTrack,
                                     HotkeyAction::ToggleLike, HotkeyAction::ToggleLyrics })
            QCOMPARE(settings.hotkey(action), std::nullopt);
        QCOMPARE(settings.hotkey(HotkeyAction::TogglePanel),
                 HotkeyActions::defaultHotkey(HotkeyAction::TogglePanel));

        QSignalSpy changes(&settings, &AppSettings::hotkeyTableChanged);
        settings.setHotkey(std::nullopt, HotkeyAction::TogglePanel);
        QCOMPARE(changes.count(), 1);
        QCOMPARE(stored(SettingsKeys::hotkeys).toObject().value(u"togglePanel"_s), QJsonArray());
        settings.setHotkeyTable({});
        QCOMPARE(settings.hotkey(HotkeyAction::TogglePanel),
                 HotkeyActions::defaultHotkey(HotkeyAction::TogglePanel));
    }

    void appearance()
    {
        m_appearance.dark = true;
        AppSettings &settings = launch();
        QCOMPARE(settings.glassBackgroundColor(), QColor::fromRgbF(0, 0, 0, 0.75f));
        // The system scheme follows the desktop; a chosen one does not.
        settings.applyAppearance();
        QVERIFY(windowIsDark());
        m_appearance.change(false);
        QVERIFY(!windowIsDark());
        settings.setColorScheme(AppColorScheme::Dark);
        m_appearance.change(false);
        QVERIFY(windowIsDark());

        // A new scheme puts the glass background back to that scheme's defaults.
        settings.setColorScheme(AppColorScheme::Light);
        settings.setGlassBackgroundRed(0.5);
        settings.setColorScheme(AppColorScheme::Dark);
        QCOMPARE(settings.glassBackgroundColor(), QColor::fromRgbF(0, 0, 0, 0.75f));
    }

    void loginItem()
    {
        AppSettings &settings = launch(true);
        QVERIFY(settings.launchAtLogin());
        settings.setLaunchAtLogin(true);
        QCOMPARE(m_loginItem->changes, 0);
        settings.setLaunchAtLogin(false);
        QVERIFY(!m_loginItem->enabled);
        // A refusal leaves the switch as asked until the next launch shows the system's state.
        m_loginItem->refuse = true;
        settings.setLaunchAtLogin(true);
        QVERIFY(settings.launchAtLogin() && !launch(false).launchAtLogin());
    }
};

QTEST_MAIN(TestAppSettings)
#include "test_appsettings.moc"
