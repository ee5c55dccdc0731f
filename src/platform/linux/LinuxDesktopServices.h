#pragma once

#include "platform/DesktopServices.h"

#include <utility>

namespace velkor {

// XDG Desktop folder, the freedesktop FileManager1 interface, the default browser and the
// freedesktop sound theme.
class LinuxDesktopServices : public DesktopServices {
public:
    // `startNote` tells how the program settled whom it works for (see StartingUser.h).
    explicit LinuxDesktopServices(QString startNote = {}) : m_startNote(std::move(startNote)) {}
    QString desktopPath() const override;
    QString desktopNote() const override { return m_startNote; }
    void revealFile(const QString& path) override;
    void openUrl(const QString& url) override;
    void playSound(SoundCue cue) override;

private:
    QString m_startNote;
};

} // namespace velkor
