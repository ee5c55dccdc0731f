#pragma once

#include "platform/DesktopServices.h"

#include <QStringList>
#include <vector>

namespace velkor::testing {

// A desktop session that records what the program asked of it.
class FakeDesktopServices : public DesktopServices {
public:
    explicit FakeDesktopServices(QString desktop) : m_desktop(std::move(desktop)) {}
    QString desktopPath() const override { return m_desktop; }
    QString desktopNote() const override { return note; }
    void revealFile(const QString& path, std::function<void(const QString&)> unanswered) override
    {
        revealed.append(path);
        if (!revealAdvice.isEmpty())
            unanswered(revealAdvice);
    }
    void openUrl(const QString& url) override { openedUrls.append(url); }
    void playSound(SoundCue cue) override { sounds.push_back(cue); }
    void notify(const QString& summary, const QString& body) override { notifications.append(summary + QLatin1Char('|') + body); }

    QString note;
    QStringList revealed;
    QStringList openedUrls;
    std::vector<SoundCue> sounds;
    QStringList notifications; // "summary|body"
    QString revealAdvice;      // when set, every reveal fails with this advice

private:
    QString m_desktop;
};

} // namespace velkor::testing
