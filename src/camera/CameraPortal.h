#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <optional>

namespace quorvel {

// The desktop's camera portal (org.freedesktop.portal.Camera of xdg-desktop-portal): the
// desktop's own camera permission, and the connection to PipeWire it hands to the programs
// it allows, which shows them the cameras and nothing else (the only way a sandboxed program
// has). It answers where a portal backend shows access dialogs (GNOME's, KDE's); where none
// does (wlroots desktops, no xdg-desktop-portal), nothing answers and Quorvel goes to PipeWire
// or the device node itself.
class CameraPortal {
public:
    CameraPortal() = delete;

    // How long the portal has to answer a call (the user's answer to its dialog is not timed).
    static constexpr std::chrono::milliseconds answerTimeout{5000};

    // Asks the portal whether Quorvel may use the camera (AccessCamera): it answers at once
    // when the user decided before, and otherwise shows the desktop's dialog and answers with
    // the user's choice, which it keeps. `answer` is called once, on `context`'s thread,
    // unless `context` is gone: true (allowed), false (refused, or the camera is switched off
    // in the desktop's privacy settings), or nothing when no camera portal answered or it went
    // away before answering. Call on a thread with an event loop.
    static void requestAccess(QObject* context,
                              std::function<void(std::optional<bool> allowed)> answer);

    // A connection to PipeWire from the portal (OpenPipeWireRemote).
    struct Remote {
        int descriptor = -1;  // the caller's to use and close
        bool absent = false;  // no camera portal answers: connect to PipeWire directly
        bool refused = false; // the portal does not allow Quorvel the camera
        QString error;
    };
    // Blocks until the portal answers, up to answerTimeout; any thread.
    static Remote openPipeWireRemote();

    // Why the camera did not open when the portal does not allow it.
    static QString refusedText();
};

} // namespace quorvel
