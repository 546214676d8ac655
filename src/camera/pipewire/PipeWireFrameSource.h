#pragma once

#include "camera/CameraDevices.h"
#include "camera/FrameSource.h"

#include <QString>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace quorvel {

// One camera as PipeWire offers it: a node of class Video/Source with the camera role, as
// WirePlumber's V4L2 and libcamera monitors make them.
struct PipeWireCamera {
    quint32 id = 0;
    quint64 serial = 0;  // object.serial: what a stream names as its target
    QString name;        // node.name
    QString description; // node.description, what the desktop shows
    // The device behind the node, as its monitor tells: the V4L2 node (api.v4l2.path), or
    // where libcamera says the camera sits ("front", "back", "external").
    QString v4l2Path;
    QString libcameraLocation;
};

// The camera to watch through, by the rule chooseCameraDevice follows for V4L2 nodes: what the
// system says of the device behind each node (sysfs for a V4L2 camera, `v4l2Devices` as
// listCameraDevices lists them; libcamera's location for the others), the name only where
// neither tells. Nothing when `cameras` is empty.
std::optional<PipeWireCamera> choosePipeWireCamera(const std::vector<PipeWireCamera>& cameras,
                                                   const std::vector<CameraDevice>& v4l2Devices);

// The camera choosePipeWireCamera would read when it is one PipeWire's libcamera monitor
// serves, for a machine whose V4L2 camera needs libcamera; nothing when `cameras` holds only
// V4L2 nodes (pipewire-libcamera not installed).
std::optional<PipeWireCamera> libcameraCamera(const std::vector<PipeWireCamera>& cameras,
                                              const std::vector<CameraDevice>& v4l2Devices);

// A camera read through PipeWire, which lets several programs read one camera at once (a call
// and Quorvel). Whatever format the camera already streams in, another program having fixed
// it, is taken: Motion-JPEG, YUYV and the common raw formats. Each buffer is copied out in
// PipeWire's callback and given back at once, so the other readers never wait for Quorvel;
// only the frames passed on are decoded, and scaled down to about the requested size.
//
// open() connects to the session's daemon (through the desktop's camera portal where one
// answers; it refuses when the user did not allow the camera), lists the cameras, chooses one,
// starts a stream from it and waits for its first frame. A camera that never agrees a format
// (PipeWire reports nothing then) fails a grab after negotiateTimeout; the daemon going away
// or the node going (an unplugged camera) fail a grab at once.
//
// A camera whose device node another program streams from (it opened the node itself) gives
// the daemon no frames either: open() then says busy, as the device node's own open would.
//
// The daemon opens the device for its readers, so the source is a served one. close()
// suspends the camera's node when no other program reads it, which has the daemon close the
// device at once: a program that opens the device node itself can have it.
class PipeWireFrameSource : public FrameSource {
public:
    static constexpr int pollTimeoutMs = 250;
    // How long the daemon has to answer a connection and a listing.
    static constexpr std::chrono::milliseconds answerTimeout{3000};
    // How long a connection from the camera portal waits for the session manager to show it
    // the cameras.
    static constexpr std::chrono::milliseconds portalGrantTimeout{2000};
    // How long after open() the stream has to agree a format with the camera.
    static constexpr std::chrono::milliseconds negotiateTimeout{2500};
    // How long close() waits for the daemon to suspend the camera's node.
    static constexpr std::chrono::milliseconds releaseTimeout{1000};

    explicit PipeWireFrameSource(cv::Size requestedSize = {320, 240});
    ~PipeWireFrameSource() override;

    PipeWireFrameSource(const PipeWireFrameSource&) = delete;
    PipeWireFrameSource& operator=(const PipeWireFrameSource&) = delete;

    OpenStatus open() override;
    GrabResult grab() override;
    bool retrieve(cv::Mat& image) override;
    void close() override;
    QString errorDescription() const override { return m_error; }
    bool deviceGone() const override { return m_gone; }
    std::optional<std::chrono::microseconds> frameTaken() const override;
    void setWakeDescriptors(std::vector<int> descriptors) override;
    // The V4L2 node behind the camera, while open; empty for a libcamera camera.
    QString devicePath() const override { return m_camera ? m_camera->v4l2Path : QString(); }
    bool deviceServed() const override { return true; }
    bool deviceSharedWithOthers() const override;

    // The camera the stream reads from, while open.
    std::optional<PipeWireCamera> camera() const { return m_camera; }
    // The format agreed ("MJPG 1280x720", "YUY2 320x240"); empty before.
    QString formatDescription() const;
    // Whether the desktop's camera portal made the connection, while open.
    bool throughPortal() const;

    // The cameras the session's PipeWire offers, for diagnosis; nothing, and `error` set, when
    // no daemon answers.
    static std::optional<std::vector<PipeWireCamera>> listCameras(QString* error);
    // PipeWire's side, and a frame as it comes; defined and used in the implementation only.
    struct Connection;
    struct Frame;

private:
    int startStream(Connection& c);
    // Whether the first frame came (or a stop was asked for) before negotiateTimeout.
    bool waitUntilStreaming(Connection& c);
    void release(Connection& c);

    OpenStatus fail(OpenStatus status, QString description);
    GrabResult grabFailure(QString description, bool gone = false);
    bool decode(const Frame& frame, cv::Mat& image);

    cv::Size m_requested;
    std::unique_ptr<Connection> m_pw;
    std::unique_ptr<Frame> m_held;
    std::vector<int> m_wake;
    std::optional<PipeWireCamera> m_camera;
    std::chrono::steady_clock::time_point m_opened;
    QString m_error;
    bool m_gone = false;
};

} // namespace quorvel
