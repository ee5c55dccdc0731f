#pragma once

#include <QString>

#include <functional>

namespace velkor {

enum class SoundCue { Success, Failure };

// The user's desktop session: where the Desktop is, showing a file, opening a page, sound cues,
// notifications. Nothing here waits for the desktop to answer.
class DesktopServices {
public:
    virtual ~DesktopServices() = default;
    // The user's Desktop folder; home + "/Desktop" when the session names none. Not created.
    virtual QString desktopPath() const = 0;
    // Why the archive goes to this Desktop when that is not plainly the Desktop of the user who
    // opened the window (the program was started as root); empty otherwise.
    virtual QString desktopNote() const { return {}; }
    // Shows the file selected in the file manager, or opens the folder that holds it. When
    // neither works, `unanswered` is called later with a line that tells the user where to look.
    virtual void revealFile(const QString& path, std::function<void(const QString& advice)> unanswered) = 0;
    // Opens a web page in the default browser.
    virtual void openUrl(const QString& url) = 0;
    // Plays a short cue; skipped silently when the system has no sound for it.
    virtual void playSound(SoundCue cue) = 0;
    // Shows a desktop notification; skipped silently when no notification server runs.
    virtual void notify(const QString& summary, const QString& body) = 0;
};

} // namespace velkor
