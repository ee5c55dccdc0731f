#include <QGuiApplication>
#include <QQuickStyle>
#include <QQuickWindow>
#include <gtest/gtest.h>

// Offscreen (unless told otherwise, as under Xvfb) and the software scene graph: the same frames everywhere.
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
