#pragma once

#include "platform/DesktopServices.h"

namespace velkor {

// XDG Desktop folder, the freedesktop FileManager1 interface, the default browser and the
// freedesktop sound theme.
class LinuxDesktopServices : public DesktopServices {
public:
    QString desktopPath() const override;
    void revealFile(const QString& path) override;
    void openUrl(const QString& url) override;
    void playSound(SoundCue cue) override;
};

} // namespace velkor
