#include "app/AppMenus.h"
#include "app/MainWindow.h"
#include "app/RunPresenter.h"
#include "collector/CollectorModel.h"
#include "process/ProcessRunner.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QAccessible>
#include <QDir>
#include <QGuiApplication>
#include <QPalette>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

const QColor orange(0xff, 0x95, 0x00), green(0x34, 0xc7, 0x59);

bool closeTo(const QColor& a, const QColor& b, int tolerance = 40)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance && std::abs(a.blue() - b.blue()) <= tolerance;
}

// Contrast ratio of two opaque colours, as the accessibility guidelines define it.
double contrast(const QColor& a, const QColor& b)
{
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF()) + 0.05;
    };
    return std::max(luminance(a), luminance(b)) / std::min(luminance(a), luminance(b));
}

class MainWindowTest : public ::testing::Test {
protected:
    void TearDown() override { gateOpen = true; EXPECT_TRUE(!model || waitForRunToEnd(*model)); }
    // The window over the test machine, as the program shows it; the ACPI step holds a run while the gate is closed.
    void show(const QString& infoPlist = "/nonexistent/Info.plist")
    {
        CollectionSteps steps;
        steps.extractACPIWithValidation = [this](StepContext& context, const QString&, const QString& acpi) {
            writeFile(acpi + "/DSDT.aml", "DSDT");
            context.log.log("ACPI tables saved.");
            for (; !gateOpen; QThread::msleep(10)) {}
        };
        engine.reset();
        model = std::make_unique<CollectorModel>(env.platform, steps);
        menus = std::make_unique<AppMenus>(infoPlist);
        engine = std::make_unique<QQmlApplicationEngine>();
        window = loadMainWindow(*engine, *model, *menus);
        ASSERT_TRUE(window && QTest::qWaitForWindowExposed(window));
    }
    template <typename T = QQuickItem>
    T* item(const char* name, QObject* in = nullptr) const
    {
        auto* found = (in ? in : window)->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QString text(const char* name) const { return item<QObject>(name)->property("text").toString(); }
    bool becomes(const char* name, const char* property, bool value) const
    {
        return QTest::qWaitFor([&] { return item<QObject>(name)->property(property).toBool() == value; }, 3000);
    }
    QPointF centre(QQuickItem* it) const { return it->mapToScene(it->boundingRect().center()); }
    // The colour drawn at a point of an item, in the item's own coordinates.
    QColor pixel(QQuickItem* at, QPointF local) const
    {
        return window->grabWindow().pixelColor(at->mapToScene(local).toPoint() * window->devicePixelRatio());
    }
    // The status, which buttons are enabled, and the colours of the badge's dot and the patchmatic row's icon.
    QString state() const
    {
        QString shown = text("statusLabel") + " ";
        for (const char* name : {"collectButton", "openZipButton", "clearLogButton", "donateButton"})
            shown += item(name)->isEnabled() ? "1" : "0";
        QQuickItem* icon = item("requirementIcon", item("requirementPatchmatic"));
        for (const QColor& colour :
             {pixel(window->contentItem(), centre(item("statusDot"))), pixel(icon, QPointF(icon->width() / 4, icon->height() * 0.78))})
            shown += closeTo(colour, orange) ? " O" : closeTo(colour, green) ? " G"
                     : std::abs(colour.red() - colour.blue()) < 16 && colour.red() > 60 && colour.red() < 200 ? " -" : " ?";
        return shown;
    }
    bool shows(const QString& wanted) const { return QTest::qWaitFor([&] { return state() == wanted; }, 2000); }
    void click(const char* name) { QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre(item(name)).toPoint()); }

    TestEnvironment env;
    std::atomic<bool> gateOpen = true;
    std::unique_ptr<CollectorModel> model;
    std::unique_ptr<AppMenus> menus;
    std::unique_ptr<QQmlApplicationEngine> engine; // destroyed first: the window uses both above
    QQuickWindow* window = nullptr;
};

} // namespace

// Through a failed run, a held run, a finished one and a failure after it, the window follows.
TEST_F(MainWindowTest, TheBadgeButtonsAndPatchmaticRowFollowTheRuns)
{
    show();
    const QString archive = env.desktop() + "/SendToZantro.zip";
    auto* detail = item<QObject>("requirementDetail", item("requirementPatchmatic"));
    EXPECT_TRUE(text("logArea") == model->logText() && model->logText().contains("] App started.\n")) << text("logArea").toStdString();
    EXPECT_EQ(text("outputLabel"), "Output: " + pathForDisplay(archive, QDir::homePath()));
    EXPECT_EQ(detail->property("text").toString(),
              "Bundled in Contents/Resources/Tools, or place it in /usr/local/bin, /opt/homebrew/bin, ~/Desktop, or next to the app.");
    for (const bool afterSuccess : {false, true}) {
        click("collectButton");
        ASSERT_TRUE(waitForRunToEnd(*model));
        EXPECT_TRUE(shows("Ready 1011 - O")) << state().toStdString();
        click("openZipButton");
        EXPECT_EQ(env.desktopServices->revealed.size(), afterSuccess ? 1 : 0);
        EXPECT_EQ(env.desktopServices->notifications.constLast(), "The collection did not finish|Velkor's log tells what went wrong.");
        if (afterSuccess)
            break;
        // A run looks the tool up again, so installing it while the window is open shows.
        const QString tool = env.addTool("patchmatic", "exit 0");
        gateOpen = false;
        click("collectButton");
        ASSERT_TRUE(QTest::qWaitFor([&] { return logMessages(model->logText()).contains("ACPI tables saved."); }, 10000));
        EXPECT_TRUE(shows("Running 0000 O G")) << state().toStdString();
        click("collectButton"); // disabled: one run, one separator
        EXPECT_EQ(logMessages(model->logText()).count("----------------------------------------"), 2);
        gateOpen = true;
        ASSERT_TRUE(waitForRunToEnd(*model));
        ASSERT_EQ(model->lastZipURL(), archive) << model->logText().toStdString();
        EXPECT_TRUE(shows("Completed 1111 G G")) << state().toStdString();
        EXPECT_EQ(env.desktopServices->notifications.constLast(), "SendToZantro.zip is ready|" + pathForDisplay(archive, QDir::homePath()));
        EXPECT_EQ(detail->property("text").toString(), tool);
        env.desktopServices->revealAdvice = "Open this folder: " + env.desktop(); // no file manager showed it
        click("openZipButton");
        EXPECT_EQ(env.desktopServices->revealed, QStringList{archive});
        EXPECT_EQ(logMessages(model->logText()).constLast(), "Open this folder: " + env.desktop());
        QFile::remove(tool);
    }
}

// About, Help and Quit with their key combinations; About shows the versions, Help its text and one OK.
TEST_F(MainWindowTest, MenusOpenTheAboutPanelAndTheHelpAlert)
{
    show(testData("app/Info.plist"));
    QMap<QString, QObject*> actions;
    for (QObject* candidate : window->findChildren<QObject*>())
        if (candidate->inherits("QQuickAction"))
            actions.insert(candidate->property("text").toString() + " " + candidate->property("keys").toString(), candidate);
    EXPECT_EQ(actions.keys(), QStringList({"About Velkor ", "Quit Velkor Ctrl+Q", "Velkor Help Ctrl+Shift+?"}));
    ASSERT_TRUE(QMetaObject::invokeMethod(actions.value("About Velkor "), "trigger"));
    EXPECT_FALSE(item<QObject>("aboutPanel")->property("visible").toBool()); // it opens on the next turn of the event loop
    ASSERT_TRUE(becomes("aboutPanel", "opened", true));
    EXPECT_EQ(text("aboutName") + " " + text("aboutVersion"), "Velkor Version 2.4.1 (77)");
    EXPECT_TRUE(text("aboutCredits").endsWith("\n\nVelkor creates a sanitized diagnostic package for macOS hardware analysis."))
        << text("aboutCredits").toStdString();

    window->requestActivate();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QTest::keyClick(window, Qt::Key_Escape);
    QTest::keyClick(window, Qt::Key_Question, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(becomes("helpAlert", "opened", true));
    EXPECT_EQ(text("helpTitle"), "Velkor Help");
    EXPECT_EQ(text("helpText"), "Velkor collects ACPI tables, native IORegistry text, CPUFriend/XCPM/FrequencyVectors diagnostics, "
                                "audio/video/system diagnostics, USB controller details, power information, loaded kext information and "
                                "generates a sanitized SendToZantro.zip on the Desktop. Sensitive values such as serial numbers, UUIDs, "
                                "MLB, ROM and MAC addresses are masked before packaging. The generated Portwright.kext is built from live "
                                "IOKit data and does not require a saved .ioreg file.");
    QStringList buttons;
    for (QQuickItem* candidate : item<QObject>("helpAlert")->findChildren<QQuickItem*>())
        if (candidate->inherits("QQuickAbstractButton") && candidate->isVisible())
            buttons.append(candidate->property("text").toString());
    EXPECT_EQ(buttons, QStringList{"OK"});
    QTest::keyClick(window, Qt::Key_Return); // the OK button has the focus
    EXPECT_TRUE(becomes("helpAlert", "visible", false));
}

// At its minimum size all fits in order; every control has an accessible name; Tab reaches every button,
// which wears a ring that stands out, and Space or Enter presses it; the log follows its newest line.
TEST_F(MainWindowTest, TheWindowFitsNamesItsControlsAndWorksFromTheKeyboard)
{
    env.addTool("patchmatic", "exit 0");
    show();
    click("collectButton");
    ASSERT_TRUE(waitForRunToEnd(*model));
    EXPECT_EQ(window->minimumSize(), QSize(820, 560));
    window->resize(820, 560);
    QTest::qWait(50);
    const auto y = [&](const char* name, double at) { return item(name)->mapToScene(QPointF(0, item(name)->height() * at)).y(); };
    EXPECT_LT(y("requirementsCard", 1), y("collectButton", 0));
    EXPECT_LT(y("collectButton", 1), y("logView", 0));
    EXPECT_GE(item("logView")->height(), 90);
    EXPECT_LT(y("logView", 1), y("donateButton", 0));
    EXPECT_LE(y("donateButton", 1), window->height());
    int controls = 0;
    for (QQuickItem* candidate : window->findChildren<QQuickItem*>())
        if (candidate->inherits("QQuickControl") && candidate->isVisible() && ++controls) {
            EXPECT_FALSE(QAccessible::queryAccessibleInterface(candidate)->text(QAccessible::Name).isEmpty()) << candidate->metaObject()->className();
        }
    EXPECT_GE(controls, 4);
    EXPECT_EQ(QAccessible::queryAccessibleInterface(item("headerIcon"))->text(QAccessible::Name), "Velkor");

    window->requestActivate();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QStringList reached;
    for (int press = 0; press < 6; ++press, QTest::keyClick(window, Qt::Key_Tab))
        reached.append(window->activeFocusItem() ? window->activeFocusItem()->objectName() : QString());
    for (const char* button : {"collectButton", "openZipButton", "clearLogButton", "donateButton"})
        EXPECT_TRUE(reached.contains(button)) << button << " not in " << reached.join(", ").toStdString();
    QQuickItem* collect = item("collectButton");
    collect->forceActiveFocus(Qt::TabFocusReason);
    EXPECT_TRUE(QTest::qWaitFor([&] { return item("focusRing", collect)->isVisible(); }, 2000));
    EXPECT_GE(contrast(pixel(collect, QPointF(collect->width() / 2, -3)), pixel(collect, QPointF(collect->width() / 2, -8))), 3.0);
    item("donateButton")->forceActiveFocus();
    QTest::keyClick(window, Qt::Key_Space);
    EXPECT_EQ(env.desktopServices->openedUrls, QStringList{CollectorModel::donationPageAddress});

    auto* log = item("logFlickable");
    for (int line = 0; line < 200; ++line)
        model->append(QString("line %1").arg(line));
    const auto bottom = [&] { return log->property("contentHeight").toReal() - log->height(); };
    EXPECT_TRUE(QTest::qWaitFor([&] { return bottom() > 0 && std::abs(log->property("contentY").toReal() - bottom()) < 1; }, 2000));
    item("clearLogButton")->forceActiveFocus();
    QTest::keyClick(window, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(model->logText() + text("logArea"), "No action has been run yet.");
    EXPECT_TRUE(QTest::qWaitFor([&] { return log->property("contentY").toReal() == 0.0; }, 2000));
}

// Light or dark system colours, with readable secondary texts; the window's texts grow with the system font.
TEST_F(MainWindowTest, TheWindowFollowsTheSystemPaletteAndFont)
{
    const QPalette original = QGuiApplication::palette();
    const QFont font = QGuiApplication::font();
    QPalette dark(QColor("#eff0f1"), QColor("#31363b"), QColor("#4d5357"), QColor("#1b1e20"), QColor("#2a2e32"), QColor("#eff0f1"), Qt::white,
                  QColor("#1b1e20"), QColor("#232629")), light = original;
    dark.setColor(QPalette::PlaceholderText, QColor("#50555a")); // would read at less than 3:1 on the log
    light.setColor(QPalette::PlaceholderText, QColor("#a0a0a0"));
    QList<qreal> sizes[2];
    for (const auto& [palette, scale] : {std::pair{light, 1.0}, {dark, 1.0}, {light, 1.5}}) {
        SCOPED_TRACE(scale * (palette == dark ? -1 : 1));
        QGuiApplication::setPalette(palette);
        QFont scaled = font;
        scaled.setPointSizeF(font.pointSizeF() * scale);
        QGuiApplication::setFont(scaled);
        show();
        const QColor background = palette.color(QPalette::Window), base = palette.color(QPalette::Base);
        EXPECT_TRUE(closeTo(pixel(item("statusBadge"), QPointF(-10, 2)), background, 8));
        EXPECT_TRUE(closeTo(pixel(item("requirementsCard"), QPointF(item("requirementsCard")->width() / 2, 6)), base, 8));
        EXPECT_EQ(item("logView")->property("color").value<QColor>(), base);
        const QColor secondary = window->property("secondaryColor").value<QColor>();
        EXPECT_GE(std::min(contrast(secondary, background), contrast(secondary, base)), 4.5);
        window->resize(1600, 1200);
        if (palette != dark)
            for (QQuickItem* candidate : window->findChildren<QQuickItem*>())
                if (candidate->inherits("QQuickText") || candidate->inherits("QQuickTextEdit"))
                    sizes[scale > 1].append(candidate->property("font").value<QFont>().pointSizeF());
    }
    engine.reset();
    QGuiApplication::setPalette(original);
    QGuiApplication::setFont(font);
    ASSERT_GE(sizes[0].size(), 15);
    ASSERT_EQ(sizes[1].size(), sizes[0].size());
    for (qsizetype i = 0; i < sizes[0].size(); ++i)
        EXPECT_NEAR(sizes[1][i], sizes[0][i] * 1.5, 0.6) << "a text sized in pixels, or that keeps its size, at " << i;
}

// Under Xvfb (app_real_keyboard): keys and the click go through the X server and its layout, as a person's do.
TEST_F(MainWindowTest, ARealKeyPressOpensHelpOrQuitsWhereverTheFocusIsAndARealClickStartsARun)
{
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server; the app_real_keyboard test runs it under Xvfb";
    show();
    window->requestActivate();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    const auto xdotool = [](const QStringList& arguments) { runProcess("/usr/bin/xdotool", arguments, std::nullopt, 10); };
    // What arrives for Ctrl+Shift+? depends on the layout: "?" with Ctrl, or "/" with Ctrl+Shift.
    for (const char* keys : {"ctrl+shift+question", "ctrl+shift+slash"}) {
        xdotool({"key", "--clearmodifiers", keys});
        EXPECT_TRUE(becomes("helpAlert", "opened", true)) << keys;
        xdotool({"key", "Escape"});
        EXPECT_TRUE(becomes("helpAlert", "visible", false)) << keys;
    }
    // Ctrl+Q quits from the window and from the log, which takes the focus when clicked.
    QSignalSpy quits(engine.get(), &QQmlEngine::quit);
    for (const char* focus : {"", "logArea"}) {
        if (*focus)
            QMetaObject::invokeMethod(item<QObject>(focus), "forceActiveFocus");
        xdotool({"key", "--clearmodifiers", "ctrl+q"});
        EXPECT_TRUE(QTest::qWaitFor([&] { return quits.size() == (*focus ? 2 : 1); }, 3000)) << "focus on " << focus;
    }
    const QPoint at = window->mapToGlobal(centre(item("collectButton")).toPoint());
    xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return model->logText().contains("] Starting collection.\n"); }, 3000));
}
