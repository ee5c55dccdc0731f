#include "app/AppMenus.h"
#include "app/MainWindow.h"
#include "app/RunPresenter.h"
#include "collector/CollectorModel.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QAccessible>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPalette>
#include <QQmlApplicationEngine>
#include <QSignalSpy>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QTest>
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>

using namespace velkor;
using namespace velkor::testing;

namespace {

const QString placementHint = QStringLiteral(
    "Bundled in Contents/Resources/Tools, or place it in /usr/local/bin, /opt/homebrew/bin, ~/Desktop, or next to the app.");
const QColor orange(0xff, 0x95, 0x00);
const QColor green(0x34, 0xc7, 0x59);

// Holds a run inside its first step until the test lets it go.
class Gate {
public:
    void wait()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_open; });
    }
    void open()
    {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
};

// Steps that finish at once, each leaving one file; the first waits at the gate when given one.
CollectionSteps fakeSteps(std::shared_ptr<Gate> gate = nullptr)
{
    CollectionSteps steps;
    steps.extractACPIWithValidation = [gate](StepContext& context, const QString&, const QString& acpi) {
        writeFile(acpi + "/DSDT.aml", "DSDT");
        context.log.log("ACPI tables saved.");
        if (gate)
            gate->wait();
    };
    steps.writeSystemInfo = [](StepContext&, const QString& to) { writeFile(to, "Velkor"); };
    return steps;
}

bool closeTo(const QColor& actual, const QColor& expected, int tolerance = 40)
{
    return std::abs(actual.red() - expected.red()) <= tolerance && std::abs(actual.green() - expected.green()) <= tolerance
        && std::abs(actual.blue() - expected.blue()) <= tolerance;
}

// Contrast ratio of two opaque colours, as the accessibility guidelines define it.
double contrast(const QColor& a, const QColor& b)
{
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

bool isGrey(const QColor& colour)
{
    return std::abs(colour.red() - colour.green()) < 16 && std::abs(colour.green() - colour.blue()) < 16
        && colour.red() > 60 && colour.red() < 200;
}

class MainWindowTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        gate->open();
        if (model) {
            EXPECT_TRUE(waitForRunToEnd(*model));
        }
    }

    // Builds the model over the test machine and shows the window, as the program does.
    void show(CollectionSteps steps, const QString& infoPlist = QStringLiteral("/nonexistent/Info.plist"))
    {
        model = std::make_unique<CollectorModel>(env.platform, std::move(steps));
        menus = std::make_unique<AppMenus>(infoPlist);
        engine = std::make_unique<QQmlApplicationEngine>();
        window = loadMainWindow(*engine, *model, *menus);
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    }

    QQuickItem* item(const char* name) const
    {
        auto* found = window->findChild<QQuickItem*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QObject* object(const char* name) const
    {
        auto* found = window->findChild<QObject*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    bool enabled(const char* name) const { return item(name)->isEnabled(); }
    QString text(const char* name) const { return object(name)->property("text").toString(); }

    // The colour drawn at a point of an item, in the item's own coordinates.
    QColor pixel(QQuickItem* at, QPointF local) const
    {
        const QImage frame = window->grabWindow();
        const QPoint scene = at->mapToScene(local).toPoint() * window->devicePixelRatio();
        return frame.pixelColor(scene);
    }
    QColor badgeDot() const
    {
        QQuickItem* dot = item("statusDot");
        return pixel(dot, QPointF(dot->width() / 2, dot->height() / 2));
    }
    // A point inside both the check circle and the warning triangle, clear of their cut-outs.
    QColor patchmaticIcon() const
    {
        QQuickItem* icon = item("requirementPatchmatic")->findChild<QQuickItem*>("requirementIcon");
        EXPECT_NE(icon, nullptr);
        return pixel(icon, QPointF(icon->width() * 4 / 16, icon->height() * 12.5 / 16));
    }
    QString shownLog() const { return text("logArea"); }

    void click(const char* name)
    {
        QQuickItem* button = item(name);
        QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier,
                          button->mapToScene(QPointF(button->width() / 2, button->height() / 2)).toPoint());
    }
    void waitForLoggedLine(const QString& message)
    {
        EXPECT_TRUE(QTest::qWaitFor([&] { return logMessages(model->logText()).contains(message); }, 10000)) << message.toStdString();
    }
    void saveScreen(const QString& name) const
    {
        const QString folder = QStringLiteral(VELKOR_APP_SCREENS_DIR);
        QDir().mkpath(folder);
        QTest::qWait(150); // lets late canvas paints reach the frame
        EXPECT_TRUE(window->grabWindow().save(folder + "/" + name + ".png"));
    }

    TestEnvironment env;
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    std::unique_ptr<CollectorModel> model;
    std::unique_ptr<AppMenus> menus;
    std::unique_ptr<QQmlApplicationEngine> engine; // destroyed first: the window uses both above
    QQuickWindow* window = nullptr;
};

} // namespace

TEST_F(MainWindowTest, ABadgeAndButtonsFollowARunFromLaunchToCompletion)
{
    env.addTool("patchmatic", "exit 0");
    show(fakeSteps(gate));

    EXPECT_EQ(logMessages(model->logText()).value(0), "App started.");
    EXPECT_EQ(shownLog(), model->logText());
    EXPECT_EQ(text("statusLabel"), "Ready");
    EXPECT_TRUE(QTest::qWaitFor([&] { return isGrey(badgeDot()); }, 2000)) << badgeDot().name().toStdString();
    EXPECT_TRUE(enabled("collectButton"));
    EXPECT_FALSE(enabled("openZipButton"));
    EXPECT_TRUE(enabled("clearLogButton"));
    EXPECT_TRUE(enabled("donateButton"));
    EXPECT_EQ(text("outputLabel"), "Output: " + pathForDisplay(env.desktop() + "/SendToZantro.zip", QDir::homePath()));
    saveScreen("launch");

    click("collectButton");
    waitForLoggedLine("ACPI tables saved.");
    ASSERT_TRUE(model->isRunning());
    EXPECT_EQ(text("statusLabel"), "Running");
    EXPECT_TRUE(QTest::qWaitFor([&] { return closeTo(badgeDot(), orange); }, 2000)) << badgeDot().name().toStdString();
    for (const char* button : {"collectButton", "openZipButton", "clearLogButton", "donateButton"})
        EXPECT_FALSE(enabled(button)) << button;
    // A disabled button ignores a press: one run, one separator.
    click("collectButton");
    EXPECT_EQ(logMessages(model->logText()).count("----------------------------------------"), 1);
    saveScreen("running");

    gate->open();
    ASSERT_TRUE(waitForRunToEnd(*model));
    ASSERT_FALSE(model->lastZipURL().isEmpty()) << model->logText().toStdString();
    EXPECT_EQ(text("statusLabel"), "Completed");
    EXPECT_TRUE(QTest::qWaitFor([&] { return closeTo(badgeDot(), green); }, 2000)) << badgeDot().name().toStdString();
    for (const char* button : {"collectButton", "openZipButton", "clearLogButton", "donateButton"})
        EXPECT_TRUE(enabled(button)) << button;
    saveScreen("completed");

    EXPECT_EQ(env.desktopServices->notifications,
              QStringList{"SendToZantro.zip is ready|" + pathForDisplay(env.desktop() + "/SendToZantro.zip", QDir::homePath())});

    // Where no file manager shows the archive, the log says where to look.
    env.desktopServices->revealAdvice = "Open this folder: " + env.desktop();
    click("openZipButton");
    EXPECT_EQ(env.desktopServices->revealed, QStringList{env.desktop() + "/SendToZantro.zip"});
    EXPECT_EQ(logMessages(model->logText()).constLast(), "Open this folder: " + env.desktop());
}

// A failure after a success: the badge goes back to ready, Open ZIP is disabled again and
// pressing it reveals nothing; the notification says where to look.
TEST_F(MainWindowTest, AFailureAfterASuccessLeavesTheBadgeReadyAndOpenZipDisabled)
{
    const QString patchmatic = env.addTool("patchmatic", "exit 0");
    show(fakeSteps());
    click("collectButton");
    ASSERT_TRUE(waitForRunToEnd(*model));
    ASSERT_TRUE(enabled("openZipButton"));

    QFile::remove(patchmatic);
    click("collectButton");
    ASSERT_TRUE(waitForRunToEnd(*model));
    EXPECT_EQ(logMessages(model->logText()).constLast(), "ERROR: patchmatic not found.");
    EXPECT_EQ(text("statusLabel"), "Ready");
    EXPECT_TRUE(QTest::qWaitFor([&] { return isGrey(badgeDot()); }, 2000));
    EXPECT_FALSE(enabled("openZipButton"));
    EXPECT_TRUE(enabled("collectButton"));
    click("openZipButton");
    EXPECT_TRUE(env.desktopServices->revealed.isEmpty());
    EXPECT_EQ(env.desktopServices->notifications.constLast(), "The collection did not finish|Velkor's log tells what went wrong.");
}

TEST_F(MainWindowTest, ClearLogEmptiesTheViewAndTheNextPackagedLogStartsAfterIt)
{
    env.addTool("patchmatic", "exit 0");
    show(fakeSteps());
    ASSERT_FALSE(shownLog().isEmpty());

    click("clearLogButton");
    EXPECT_TRUE(model->logText().isEmpty());
    EXPECT_EQ(shownLog(), "No action has been run yet.");

    click("collectButton");
    ASSERT_TRUE(waitForRunToEnd(*model));
    const QString archive = env.desktop() + "/SendToZantro.zip";
    const QString packaged = runProcess("/usr/bin/unzip", {"-p", archive, "SendToZantro_Work/collector-log.txt"}, std::nullopt, 30);
    const QStringList lines = logMessages(packaged);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.first(), "----------------------------------------");
    EXPECT_TRUE(lines.contains("ACPI tables saved."));
    for (const QString& line : lines)
        EXPECT_FALSE(line.startsWith("App started.") || line.startsWith("patchmatic found: ")) << line.toStdString();
}

TEST_F(MainWindowTest, PatchmaticRowWarnsWithThePlacementHintUntilTheToolIsFound)
{
    show(fakeSteps());
    QQuickItem* row = item("requirementPatchmatic");
    auto* detail = row->findChild<QObject*>("requirementDetail");
    ASSERT_NE(detail, nullptr);
    EXPECT_EQ(detail->property("text").toString(), placementHint);
    EXPECT_TRUE(QTest::qWaitFor([&] { return closeTo(patchmaticIcon(), orange); }, 2000)) << patchmaticIcon().name().toStdString();
    int warnings = 0; // only this row can warn
    for (QQuickItem* icon : window->findChildren<QQuickItem*>("requirementIcon"))
        warnings += icon->property("symbol").toString() == "exclamationmark.triangle.fill" ? 1 : 0;
    EXPECT_EQ(warnings, 1);

    // A run looks the tool up again, so installing it while the window is open shows at once.
    const QString tool = env.addTool("patchmatic", "exit 0");
    click("collectButton");
    ASSERT_TRUE(waitForRunToEnd(*model));
    EXPECT_EQ(detail->property("text").toString(), tool);
    EXPECT_TRUE(QTest::qWaitFor([&] { return closeTo(patchmaticIcon(), green); }, 2000)) << patchmaticIcon().name().toStdString();
}

TEST_F(MainWindowTest, TheLogFollowsItsNewestLine)
{
    show(fakeSteps());
    auto* flickable = item("logFlickable");
    EXPECT_EQ(flickable->property("contentY").toReal(), 0.0);
    for (int line = 0; line < 200; ++line)
        model->append(QString("line %1").arg(line));
    const auto atEnd = [&] {
        const qreal bottom = flickable->property("contentHeight").toReal() - flickable->height();
        return bottom > 0 && std::abs(flickable->property("contentY").toReal() - bottom) < 1;
    };
    EXPECT_TRUE(QTest::qWaitFor(atEnd, 2000));

    model->clearLog();
    EXPECT_TRUE(QTest::qWaitFor([&] { return flickable->property("contentY").toReal() == 0.0; }, 2000));
}

TEST_F(MainWindowTest, TheWindowKeepsItsMinimumSizeAndFitsEverythingInIt)
{
    show(fakeSteps());
    EXPECT_EQ(window->minimumSize(), QSize(820, 560));
    window->resize(820, 560);
    QTest::qWait(50);
    saveScreen("minimum");

    const auto bottomOf = [&](const char* name) { QQuickItem* it = item(name); return it->mapToScene(QPointF(0, it->height())).y(); };
    const auto topOf = [&](const char* name) { return item(name)->mapToScene(QPointF(0, 0)).y(); };
    EXPECT_LT(bottomOf("requirementsCard"), topOf("collectButton"));
    EXPECT_LT(bottomOf("collectButton"), topOf("logView"));
    EXPECT_GE(item("logView")->height(), 90);
    EXPECT_LE(bottomOf("donateButton"), window->height());
    EXPECT_LT(bottomOf("logView"), topOf("donateButton"));
}

TEST_F(MainWindowTest, HelpShortcutOpensTheHelpAlertWithOneOkButton)
{
    show(fakeSteps());
    auto* alert = object("helpAlert");
    EXPECT_FALSE(alert->property("visible").toBool());
    window->requestActivate();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));

    // What arrives for Ctrl+Shift+? depends on the layout: "?" with Ctrl (the shift went into
    // the character), "/" with Ctrl+Shift (US keys), or "?" with both.
    for (const auto& [key, modifiers] : {std::pair{Qt::Key_Question, Qt::KeyboardModifiers(Qt::ControlModifier)},
                                         std::pair{Qt::Key_Slash, Qt::ControlModifier | Qt::ShiftModifier}}) {
        QTest::keyClick(window, key, modifiers);
        ASSERT_TRUE(QTest::qWaitFor([&] { return alert->property("opened").toBool(); }, 2000)) << key;
        QTest::keyClick(window, Qt::Key_Escape);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !alert->property("visible").toBool(); }, 2000)) << key;
    }
    QTest::keyClick(window, Qt::Key_Question, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return alert->property("opened").toBool(); }, 2000));
    EXPECT_EQ(text("helpTitle"), "Velkor Help");
    EXPECT_EQ(text("helpText"), menus->helpText());
    QList<QQuickItem*> buttons;
    for (QQuickItem* candidate : alert->findChildren<QQuickItem*>())
        if (candidate->inherits("QQuickAbstractButton") && candidate->isVisible())
            buttons.append(candidate);
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons[0]->property("text").toString(), "OK");
    saveScreen("help");

    // The OK button has the focus, so Return dismisses the alert.
    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !alert->property("visible").toBool(); }, 2000));
}

TEST_F(MainWindowTest, AboutPanelShowsTheBundleVersions)
{
    QTemporaryDir dir;
    const QString plist = dir.filePath("Info.plist");
    writeFile(plist, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                     "<key>CFBundleShortVersionString</key><string>2.4.1</string>"
                     "<key>CFBundleVersion</key><string>77</string></dict></plist>");
    show(fakeSteps(), plist);
    auto* panel = object("aboutPanel");
    menus->showAbout();
    EXPECT_FALSE(panel->property("visible").toBool());
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel->property("opened").toBool(); }, 2000));
    EXPECT_EQ(text("aboutName"), "Velkor");
    EXPECT_EQ(text("aboutVersion"), "Version 2.4.1 (77)");
    EXPECT_EQ(text("aboutCredits"), menus->credits());
    saveScreen("about");
}

TEST_F(MainWindowTest, TabReachesEveryButtonAndEnterOrSpacePressesIt)
{
    env.addTool("patchmatic", "exit 0");
    show(fakeSteps());
    click("collectButton");
    ASSERT_TRUE(waitForRunToEnd(*model));
    window->requestActivate();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    item("collectButton")->forceActiveFocus();

    QStringList reached;
    for (int press = 0; press < 6; ++press) {
        const QString name = window->activeFocusItem() ? window->activeFocusItem()->objectName() : QString();
        if (!reached.contains(name))
            reached.append(name);
        QTest::keyClick(window, Qt::Key_Tab);
    }
    for (const char* button : {"collectButton", "openZipButton", "clearLogButton", "donateButton"})
        EXPECT_TRUE(reached.contains(button)) << button << " not in " << reached.join(", ").toStdString();

    // The button reached by the keyboard wears a ring that stands out from the window.
    while (window->activeFocusItem() != item("collectButton"))
        QTest::keyClick(window, Qt::Key_Tab);
    QQuickItem* collect = item("collectButton");
    auto* ring = collect->findChild<QQuickItem*>("focusRing");
    ASSERT_NE(ring, nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ring->isVisible(); }, 2000));
    const QColor background = pixel(collect, QPointF(collect->width() / 2, -8));
    const QColor ringColour = pixel(collect, QPointF(collect->width() / 2, -3));
    EXPECT_GE(contrast(ringColour, background), 3.0) << ringColour.name().toStdString() << " on " << background.name().toStdString();
    saveScreen("focus");

    item("donateButton")->forceActiveFocus();
    QTest::keyClick(window, Qt::Key_Space);
    EXPECT_EQ(env.desktopServices->openedUrls, QStringList{CollectorModel::donationPageAddress});

    item("clearLogButton")->forceActiveFocus();
    QTest::keyClick(window, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_TRUE(model->logText().isEmpty());
    EXPECT_EQ(shownLog(), "No action has been run yet.");
}

TEST_F(MainWindowTest, EveryControlHasAnAccessibleName)
{
    show(fakeSteps());
    int controls = 0;
    for (QQuickItem* candidate : window->findChildren<QQuickItem*>()) {
        if (!candidate->inherits("QQuickControl") || !candidate->isVisible())
            continue;
        ++controls;
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(candidate);
        ASSERT_NE(accessible, nullptr) << candidate->metaObject()->className();
        EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty()) << candidate->metaObject()->className();
    }
    EXPECT_GE(controls, 4);
    QAccessibleInterface* header = QAccessible::queryAccessibleInterface(item("headerIcon"));
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->text(QAccessible::Name), "Velkor");
}

TEST_F(MainWindowTest, MenusOfferAboutHelpAndQuitButNoSecondWindow)
{
    show(fakeSteps());
    QMap<QString, QObject*> actions;
    for (QObject* candidate : window->findChildren<QObject*>())
        if (candidate->inherits("QQuickAction"))
            actions.insert(candidate->property("text").toString(), candidate);
    EXPECT_EQ(actions.keys(), QStringList({"About Velkor", "Quit Velkor", "Velkor Help"}));
    // Each menu shows its entries' key combinations.
    QStringList shown;
    for (QObject* menu : window->findChildren<QObject*>())
        if (menu->inherits("QQuickMenu"))
            for (QObject* label : menu->findChildren<QObject*>("shortcutText"))
                if (!label->property("text").toString().isEmpty())
                    shown.append(label->property("text").toString());
    shown.sort();
    EXPECT_EQ(shown, QStringList({"Ctrl+Q", "Ctrl+Shift+?"}));

    ASSERT_TRUE(QMetaObject::invokeMethod(actions.value("About Velkor"), "trigger"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return object("aboutPanel")->property("opened").toBool(); }, 2000));
    EXPECT_EQ(text("aboutVersion"), "Version 1.0 (1)");
}

TEST_F(MainWindowTest, TheWindowFollowsALightOrADarkSystemPaletteWithReadableSecondaryText)
{
    const QPalette original = QGuiApplication::palette();
    QPalette dark(QColor("#31363b"), QColor("#232629"));
    dark.setColor(QPalette::WindowText, QColor("#eff0f1"));
    dark.setColor(QPalette::Base, QColor("#1b1e20"));
    dark.setColor(QPalette::Text, QColor("#eff0f1"));
    dark.setColor(QPalette::ButtonText, QColor("#eff0f1"));
    dark.setColor(QPalette::Highlight, QColor("#3daee9"));
    // A dimmed text that would read at less than 3:1 on the log's background.
    dark.setColor(QPalette::PlaceholderText, QColor("#50555a"));
    QPalette light = original;
    light.setColor(QPalette::PlaceholderText, QColor("#a0a0a0"));

    for (const auto& [name, palette] : {std::pair{"light", light}, std::pair{"dark", dark}}) {
        engine.reset();
        QGuiApplication::setPalette(palette);
        show(fakeSteps());
        QQuickItem* card = item("requirementsCard");
        EXPECT_TRUE(closeTo(pixel(item("statusBadge"), QPointF(-10, 2)), palette.color(QPalette::Window), 8)) << name;
        EXPECT_TRUE(closeTo(pixel(card, QPointF(card->width() / 2, 6)), palette.color(QPalette::Base), 8)) << name;
        EXPECT_TRUE(closeTo(item("logView")->property("color").value<QColor>(), palette.color(QPalette::Base), 0)) << name;
        const QColor secondary = window->property("secondaryColor").value<QColor>();
        EXPECT_GE(contrast(secondary, palette.color(QPalette::Window)), 4.5) << name;
        EXPECT_GE(contrast(secondary, palette.color(QPalette::Base)), 4.5) << name;
        saveScreen(QString("palette-%1").arg(name));
    }
    engine.reset();
    QGuiApplication::setPalette(original);
}

TEST_F(MainWindowTest, TheWindowsOwnTextsGrowWithTheSystemFont)
{
    const QFont original = QGuiApplication::font();
    show(fakeSteps());
    window->resize(1600, 1200);
    const auto sizes = [&] {
        QList<qreal> found;
        for (QQuickItem* candidate : window->findChildren<QQuickItem*>())
            if (candidate->inherits("QQuickText") || candidate->inherits("QQuickTextEdit"))
                found.append(candidate->property("font").value<QFont>().pointSizeF());
        return found;
    };
    const QList<qreal> before = sizes();
    ASSERT_GE(before.size(), 15);
    QFont larger = original;
    larger.setPointSizeF(original.pointSizeF() * 1.5);
    QGuiApplication::setFont(larger);
    engine.reset();
    show(fakeSteps());
    window->resize(1600, 1200);
    const QList<qreal> after = sizes();
    QGuiApplication::setFont(original);
    ASSERT_EQ(after.size(), before.size());
    for (qsizetype i = 0; i < before.size(); ++i) {
        EXPECT_GT(before[i], 0) << "a text sized in pixels, at " << i;
        EXPECT_NEAR(after[i], before[i] * 1.5, 0.6) << "a text that keeps its size, at " << i;
    }
}

TEST_F(MainWindowTest, TheHeaderIconBreathesOnlyWhileTheWindowCanBeSeen)
{
    show(fakeSteps());
    QQuickItem* icon = item("headerIcon");
    EXPECT_TRUE(icon->property("animating").toBool());
    const qreal phase = icon->property("phase").toReal();
    EXPECT_TRUE(QTest::qWaitFor([&] { return icon->property("phase").toReal() != phase; }, 1000));

    window->showMinimized();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !icon->property("animating").toBool(); }, 2000));
    window->showNormal();
    EXPECT_TRUE(QTest::qWaitFor([&] { return icon->property("animating").toBool(); }, 2000));
    window->hide();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !icon->property("animating").toBool(); }, 2000));
}

// Runs in the app_real_keyboard test, under Xvfb: the key press goes through the X server and
// its keyboard layout as a person's would, which a synthetic Qt event skips.
TEST_F(MainWindowTest, ARealKeyPressOpensHelpAndQuitsWhereverTheFocusIs)
{
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server; the app_real_keyboard test runs it under Xvfb";
    const QString xdotool = QStandardPaths::findExecutable("xdotool");
    ASSERT_FALSE(xdotool.isEmpty()) << "xdotool is missing; scripts/install-dependencies.sh installs it";
    show(fakeSteps());
    window->requestActivate();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    auto* alert = object("helpAlert");

    for (const char* keys : {"ctrl+shift+question", "ctrl+shift+slash"}) {
        runProcess(xdotool, {"key", "--clearmodifiers", keys}, std::nullopt, 10);
        EXPECT_TRUE(QTest::qWaitFor([&] { return alert->property("opened").toBool(); }, 3000)) << keys;
        runProcess(xdotool, {"key", "Escape"}, std::nullopt, 10);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !alert->property("visible").toBool(); }, 3000)) << keys;
    }

    // Ctrl+Q quits from the window and from the log, which takes the focus when clicked.
    QSignalSpy quits(engine.get(), &QQmlEngine::quit);
    for (const char* focus : {"", "logArea"}) {
        if (*focus)
            QMetaObject::invokeMethod(object(focus), "forceActiveFocus");
        const qsizetype before = quits.size();
        runProcess(xdotool, {"key", "--clearmodifiers", "ctrl+q"}, std::nullopt, 10);
        EXPECT_TRUE(QTest::qWaitFor([&] { return quits.size() > before; }, 3000)) << "focus on " << focus;
    }
}

TEST(PathForDisplay, ShowsTheHomeFolderAsATilde)
{
    const struct {
        const char* path;
        const char* home;
        const char* shown;
    } cases[] = {
        {"/home/anna/Desktop/SendToZantro.zip", "/home/anna", "~/Desktop/SendToZantro.zip"},
        {"/home/anna/Schreibtisch/SendToZantro.zip", "/home/anna", "~/Schreibtisch/SendToZantro.zip"},
        {"/home/anna", "/home/anna", "~"},
        {"/home/anna2/Desktop/SendToZantro.zip", "/home/anna", "/home/anna2/Desktop/SendToZantro.zip"},
        {"/srv/Desktop/SendToZantro.zip", "/home/anna", "/srv/Desktop/SendToZantro.zip"},
        {"/Desktop/SendToZantro.zip", "/", "/Desktop/SendToZantro.zip"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pathForDisplay(c.path, c.home), c.shown) << c.path;
}

