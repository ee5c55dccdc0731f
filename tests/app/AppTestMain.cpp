#include <QGuiApplication>
#include <QQuickStyle>
#include <QQuickWindow>
#include <gtest/gtest.h>

// The window tests need a GUI application. They render offscreen with the software scene
// graph, so a grabbed frame is the same on every machine, with or without a display or GPU.
int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
