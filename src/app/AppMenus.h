#pragma once

#include <QObject>
#include <QString>

namespace velkor {

// The version texts of an application bundle's Contents/Info.plist.
struct BundleVersions {
    QString shortVersion; // "CFBundleShortVersionString", "1.0" when absent
    QString buildVersion; // "CFBundleVersion", "1" when absent
};

// Reads the two version keys of an Info.plist (XML or binary). A missing or unreadable file,
// a file that is not a property list, or a key that is missing or not a text gives the
// fallback of that key.
BundleVersions readBundleVersions(const QString& infoPlistPath);

// What the application's menus show: the About panel and the Help alert. The window draws
// both; this object holds their texts and asks the window to show them. Requests are queued,
// so a menu action returns at once and the panel opens on the next turn of the event loop.
class AppMenus : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString applicationName READ applicationName CONSTANT)
    Q_PROPERTY(QString applicationVersion READ applicationVersion CONSTANT)
    Q_PROPERTY(QString buildVersion READ buildVersion CONSTANT)
    Q_PROPERTY(QString authorLine READ authorLine CONSTANT)
    Q_PROPERTY(QString credits READ credits CONSTANT)
    Q_PROPERTY(QString helpTitle READ helpTitle CONSTANT)
    Q_PROPERTY(QString helpText READ helpText CONSTANT)

public:
    explicit AppMenus(const QString& infoPlistPath, QObject* parent = nullptr);

    QString applicationName() const;
    QString applicationVersion() const { return m_versions.shortVersion; }
    QString buildVersion() const { return m_versions.buildVersion; }
    QString authorLine() const;
    // The author line, an empty line and the one-sentence description.
    QString credits() const;
    QString helpTitle() const;
    QString helpText() const;

    Q_INVOKABLE void showAbout();
    Q_INVOKABLE void showHelp();

signals:
    void aboutRequested();
    void helpRequested();

private:
    BundleVersions m_versions;
};

} // namespace velkor
