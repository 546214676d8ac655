#pragma once

#include <QString>
#include <chrono>
#include <opencv2/core/mat.hpp>
#include <optional>
#include <vector>

namespace quorvel {

// What opening a frame source came to.
enum class OpenStatus {
    opened,
    // The device could not be opened; errorDescription() says why ("Permission denied").
    inputFailed,
    // A failure that may pass (an I/O or protocol error, a call interrupted or timed out): worth
    // trying again a little later; errorDescription() says what it was.
    failedForNow,
    // The device went away while it was being opened (unplugged, or still coming back).
    unplugged,
    // Another program streams from the device (EBUSY at open, format, frame rate, buffer
    // request or stream-on).
    busy,
    // A camera that only libcamera can drive: a raw sensor behind a media-controller pipeline.
    needsLibcamera,
    // The device opened but cannot serve as a video input (no usable capture format).
    inputRejected,
    // The input is fine but the frames cannot be delivered as asked (frame size, format).
    outputRejected,
};

// What one grab came to.
enum class GrabResult {
    frame,   // a new frame is held, ready for retrieve()
    noFrame, // nothing arrived within the source's short wait; the source is still fine
    failed,  // the read failed (device gone, stream broken, end of a file)
    woken,   // one of the wake descriptors became readable; no frame was taken
};

// Where CameraManager's frames come from: a camera, a video file, a still image, a test script.
//
// Every call happens on the camera thread, one at a time. grab() is cheap and called for every
// frame; retrieve() decodes and is called only for the frames that are passed on.
class FrameSource {
public:
    virtual ~FrameSource() = default;

    // Opens, or opens again after close() or a failure.
    virtual OpenStatus open() = 0;
    // Waits for the next frame (at most about one frame interval) and holds it.
    virtual GrabResult grab() = 0;
    // Decodes the frame held by the last successful grab() into 8-bit BGR; false when that
    // frame carries no image.
    virtual bool retrieve(cv::Mat& image) = 0;
    // Releases the device. Safe to call when not open.
    virtual void close() = 0;
    // Why the last open() or grab() failed, in the system's words.
    virtual QString errorDescription() const = 0;
    // Whether the last failure was the device going away (unplugged).
    virtual bool deviceGone() const { return false; }
    // When the frame held was taken, on the camera's own clock; nothing when it does not say.
    virtual std::optional<std::chrono::microseconds> frameTaken() const { return std::nullopt; }

    // The device node behind the source, which other programs may want too; empty for files.
    // A served source (below) knows it only once open.
    virtual QString devicePath() const { return {}; }
    // Whether another process opens the device on this source's behalf: a media server that
    // streams one camera to several programs. open() returns once the server streams it, so
    // the server's hold on the node from then on is not another program's; close() returns
    // once the server has let the node go where nobody else reads through it.
    virtual bool deviceServed() const { return false; }
    // Whether, besides this source, other programs read the device through its server now:
    // giving it up would not free it for a program that opens the node itself.
    virtual bool deviceSharedWithOthers() const { return false; }
    // Descriptors that grab() waits on beside the device: when one becomes readable, grab()
    // returns GrabResult::woken at once. Sources that do not wait ignore them.
    virtual void setWakeDescriptors(std::vector<int> descriptors) { (void)descriptors; }
    // Told before open() that the node's watch saw another program open the device and not
    // close it yet. Where neither the driver nor /proc can say who holds the device (another
    // user's program), that open counts as holding it, and open() answers busy.
    virtual void setOpenedElsewhere(bool opened) { (void)opened; }
};

// The system's text for an errno value ("Device or resource busy").
QString systemErrorDescription(int errorNumber);

// Turns grey, BGRA and 16-bit images into 8-bit BGR in place; false for anything else
// (including an empty image).
bool convertToBgr8(cv::Mat& image);

} // namespace quorvel
