#include "app/AppMenus.h"
#include "app/MainWindow.h"
#include "collector/CollectorModel.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QAccessible>
#include <QImage>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
#include <gtest/gtest.h>

#include <future>
#include <memory>

using namespace velkor;
using namespace velkor::testing;

namespace {

const QString placementHint = QStringLiteral(
    "Bundled in Contents/Resources/Tools, or place it in /usr/local/bin, /opt/homebrew/bin, ~/Desktop, or next to the app.");
const QColor orange(0xff, 0x95, 0x00);
const QColor green(0x34, 0xc7, 0x59);

// Holds a run inside its first step until the test lets it go.
struct Gate {
    void open()
    {
        if (!opened.exchange(true))
            promise.set_value();
    }
    std::atomic<bool> opened = false;
    std::promise<void> promise;
    std::shared_future<void> passage = promise.get_future().share();
};

// Steps that finish at once, each leaving one file; the first waits at the gate when given one.
CollectionSteps fakeSteps(std::shared_ptr<Gate> gate = nullptr)
{
    CollectionSteps steps;
    steps.extractACPIWithValidation = [gate](StepContext& context, const QString&, const QString& acpi) {
        writeFile(acpi + "/DSDT.aml", "DSDT");
        context.log.log("ACPI tables saved.");
        if (gate)
            gate->passage.wait();
    };
    steps.writeSystemInfo = [](StepContext&, const QString& to) { writeFile(to, "Velkor"); };
    return steps;
}

bool closeTo(const QColor& actual, const QColor& expected, int tolerance = 40)
{
    return std::abs(actual.red() - expected.red()) <= tolerance && std::abs(actual.green() - expected.green()) <= tolerance
        && std::abs(actual.blue() - expected.blue()) <= tolerance;
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
    TestEnvironment env;
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    std::unique_ptr<CollectorModel> model;
    std::unique_ptr<AppMenus> menus;
    std::unique_ptr<QQmlApplicationEngine> engine; // destroyed first: the window uses both above
    QQuickWindow* window = nullptr;
};

} // namespace

TEST_F(MainWindowTest, ABadgeAndButtonsFollowARunFromLaunchToCompletionAndAFailedRunAfterIt)
{
    const QString patchmatic = env.addTool("patchmatic", "exit 0");
    show(fakeSteps(gate));

    EXPECT_EQ(logMessages(model->logText()).value(0), "App started.");
    EXPECT_EQ(shownLog(), model->logText());
    EXPECT_EQ(text("statusLabel"), "Ready");
    EXPECT_TRUE(QTest::qWaitFor([&] { return isGrey(badgeDot()); }, 2000)) << badgeDot().name().toStdString();
    EXPECT_TRUE(enabled("collectButton"));
    EXPECT_FALSE(enabled("openZipButton"));
    EXPECT_TRUE(enabled("clearLogButton"));
    EXPECT_TRUE(enabled("donateButton"));
    EXPECT_EQ(text("outputLabel"), "Output: ~/Desktop/SendToZantro.zip");

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

    gate->open();
    ASSERT_TRUE(waitForRunToEnd(*model));
    ASSERT_FALSE(model->lastZipURL().isEmpty()) << model->logText().toStdString();
    EXPECT_EQ(text("statusLabel"), "Completed");
    EXPECT_TRUE(QTest::qWaitFor([&] { return closeTo(badgeDot(), green); }, 2000)) << badgeDot().name().toStdString();
    for (const char* button : {"collectButton", "openZipButton", "clearLogButton", "donateButton"})
        EXPECT_TRUE(enabled(button)) << button;

    click("openZipButton");
    EXPECT_EQ(env.desktopServices->revealed, QStringList{env.desktop() + "/SendToZantro.zip"});

    QFile::remove(patchmatic);
    click("collectButton");
    ASSERT_TRUE(waitForRunToEnd(*model));
    EXPECT_EQ(logMessages(model->logText()).constLast(), "ERROR: patchmatic not found.");
    EXPECT_EQ(text("statusLabel"), "Ready");
    EXPECT_TRUE(QTest::qWaitFor([&] { return isGrey(badgeDot()); }, 2000));
    EXPECT_FALSE(enabled("openZipButton"));
    EXPECT_TRUE(enabled("collectButton"));
    click("openZipButton");
    EXPECT_EQ(env.desktopServices->revealed.size(), 1);
}

TEST_F(MainWindowTest, PatchmaticRowWarnsWithThePlacementHintUntilTheToolIsFound)
{
    show(fakeSteps());
    QQuickItem* row = item("requirementPatchmatic");
    auto* detail = row->findChild<QObject*>("requirementDetail");
    ASSERT_NE(detail, nullptr);
    EXPECT_EQ(detail->property("text").toString(), placementHint);
    EXPECT_TRUE(QTest::qWaitFor([&] { return closeTo(patchmaticIcon(), orange); }, 2000)) << patchmaticIcon().name().toStdString();
    int warnings = 0; // the other four rows never warn
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

TEST_F(MainWindowTest, TheWindowKeepsItsMinimumSizeFitsEverythingAndTheLogFollowsItsNewestLine)
{
    show(fakeSteps());
    EXPECT_EQ(window->minimumSize(), QSize(820, 560));
    window->resize(820, 560);
    QTest::qWait(50);

    const auto bottomOf = [&](const char* name) { QQuickItem* it = item(name); return it->mapToScene(QPointF(0, it->height())).y(); };
    const auto topOf = [&](const char* name) { return item(name)->mapToScene(QPointF(0, 0)).y(); };
    EXPECT_LT(bottomOf("requirementsCard"), topOf("collectButton"));
    EXPECT_LT(bottomOf("collectButton"), topOf("logView"));
    EXPECT_GE(item("logView")->height(), 90);
    EXPECT_LE(bottomOf("donateButton"), window->height());
    EXPECT_LT(bottomOf("logView"), topOf("donateButton"));

    // The log follows its newest line.
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

TEST_F(MainWindowTest, MenusOfferAboutHelpAndQuitWithTheBundleVersionsAndTheHelpShortcut)
{
    QTemporaryDir dir;
    const QString plist = dir.filePath("Info.plist");
    writeFile(plist, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                     "<key>CFBundleShortVersionString</key><string>2.4.1</string>"
                     "<key>CFBundleVersion</key><string>77</string></dict></plist>");
    show(fakeSteps(), plist);
    QMap<QString, QObject*> actions;
    for (QObject* candidate : window->findChildren<QObject*>())
        if (candidate->inherits("QQuickAction"))
            actions.insert(candidate->property("text").toString(), candidate);
    EXPECT_EQ(actions.keys(), QStringList({"About Velkor", "Quit Velkor", "Velkor Help"}));
    EXPECT_EQ(actions.value("Velkor Help")->property("shortcut").toString(), "Ctrl+Shift+?");

    // The help shortcut opens the alert with one OK button, which has the focus.
    auto* alert = object("helpAlert");
    window->requestActivate();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));

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

    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !alert->property("visible").toBool(); }, 2000));

    ASSERT_TRUE(QMetaObject::invokeMethod(actions.value("About Velkor"), "trigger"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return object("aboutPanel")->property("opened").toBool(); }, 2000));
    EXPECT_EQ(text("aboutName"), "Velkor");
    EXPECT_EQ(text("aboutVersion"), "Version 2.4.1 (77)");
    EXPECT_EQ(text("aboutCredits"), menus->credits());
}
