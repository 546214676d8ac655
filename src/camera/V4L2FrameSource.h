#pragma once

#include "camera/FrameSource.h"
#include "camera/VideoDeviceCalls.h"

#include <QString>
#include <linux/videodev2.h>
#include <memory>
#include <vector>

struct v4lconvert_data;

namespace quorvel {

// A V4L2 camera, read the way a webcam is cheapest to read: a small frame size, streaming
// into memory-mapped buffers, every frame dequeued and queued again without being looked
// at, and only the frames passed on converted to BGR (by libv4lconvert, which decodes
// Motion-JPEG and the raw formats of webcams and turns the sensors of some laptops the
// right way up).
//
// Of the formats the camera offers, Motion-JPEG is preferred, then YUYV, then the other
// common ones; of the sizes of that format, the smallest one at least requestedSize, else
// the largest one below it; of its frame rates, framesPerSecond, else the slowest one above,
// else the fastest one below. A format whose buffers the driver sizes too small for its frames
// is passed over for the next one. Raw frames shorter than their format needs are never
// converted, padded rows are packed before conversion, and a Motion-JPEG frame without its
// end-of-image marker, or one libjpeg finds damaged (JpegCheck.h), is not used.
//
// A grab waits at most pollTimeoutMs for a frame, or until a wake descriptor becomes
// readable, so that whoever calls it sees a stalled or unplugged camera within that time and
// another program's open or a request to stop at once.
class V4L2FrameSource : public FrameSource {
public:
    static constexpr int defaultWidth = 320;
    static constexpr int defaultHeight = 240;
    static constexpr int pollTimeoutMs = 250;
    static constexpr unsigned bufferCount = 4;
    static constexpr quint32 framesPerSecond = 30;
    // A driver that wakes the reader without a frame (readable, then EAGAIN or EIO) is waited
    // for a little longer each time, from emptyWakeBackoffMs doubling up to pollTimeoutMs;
    // maxEmptyWakes such wakes in a row make a failed grab.
    static constexpr int emptyWakeBackoffMs = 5;
    static constexpr int maxEmptyWakes = 8;

    explicit V4L2FrameSource(QString devicePath,
                             std::shared_ptr<VideoDeviceCalls> calls = systemVideoDeviceCalls(),
                             cv::Size requestedSize = {defaultWidth, defaultHeight});
    ~V4L2FrameSource() override;

    V4L2FrameSource(const V4L2FrameSource&) = delete;
    V4L2FrameSource& operator=(const V4L2FrameSource&) = delete;

    OpenStatus open() override;
    GrabResult grab() override;
    bool retrieve(cv::Mat& image) override;
    void close() override;
    QString errorDescription() const override { return m_error; }
    bool deviceGone() const override { return m_gone; }
    std::optional<std::chrono::microseconds> frameTaken() const override { return m_taken; }
    QString devicePath() const override { return m_path; }
    void setWakeDescriptors(std::vector<int> descriptors) override;
    void setOpenedElsewhere(bool opened) override { m_openedElsewhere = opened; }
    // Where other processes are listed (/proc); tests point it at an empty folder to stand for
    // processes of another user, whose descriptors cannot be looked into.
    void setProcessDirectory(QString directory) { m_processes = std::move(directory); }

    // The size, format and frame interval the device agreed to; empty and 0 while closed (the
    // interval also when the camera takes none).
    cv::Size frameSize() const;
    quint32 pixelFormat() const;
    v4l2_fract frameInterval() const { return m_interval; }

    // Formats whose frames this source can read, and raw sensor formats (Bayer), which only
    // libcamera's image processing makes pictures of.
    static bool isReadableFormat(quint32 pixelFormat);
    static bool isRawSensorFormat(const v4l2_fmtdesc& format);

private:
    struct Buffer {
        void* start = nullptr;
        std::size_t length = 0;
    };

    OpenStatus failed(OpenStatus status, int error = 0);
    OpenStatus deviceFailure(int error);
    // Whether another process has the node open too, while this one opens it (looked at
    // before the format is set; the camera manager looks again once the open is done).
    bool heldByAnotherProgram();
    // What the driver says: true when another handle on the device is open, of any process
    // of any user; nothing when the driver keeps no count (no V4L2 priorities).
    std::optional<bool> openElsewhereByDriver();
    // A failed read: notes why (`gone`: the device went away) for errorDescription().
    GrabResult grabFailure(int error, bool gone = false);
    OpenStatus negotiateFormat();
    bool trySetFormat(quint32 pixelFormat, int& error);
    OpenStatus setFrameRate();
    OpenStatus startStreaming();
    bool queue(quint32 index);
    GrabResult emptyWake();

    QString m_path;
    std::shared_ptr<VideoDeviceCalls> m_calls;
    cv::Size m_requested;
    int m_fd = -1;
    bool m_streaming = false;
    bool m_mediaController = false; // V4L2_CAP_IO_MC: a node of a pipeline libcamera sets up
    std::vector<int> m_wake;
    int m_emptyWakes = 0;
    std::vector<Buffer> m_buffers;
    v4l2_format m_format{};
    v4l2_fract m_interval{};
    std::vector<unsigned char> m_packed; // a padded raw frame, its rows packed
    v4lconvert_data* m_convert = nullptr;
    // The buffer of the last grabbed frame, kept from the driver until the next grab.
    int m_held = -1;
    quint32 m_heldBytes = 0;
    QString m_error;
    bool m_gone = false;
    std::optional<std::chrono::microseconds> m_taken; // of the frame held
    bool m_openedElsewhere = false;
    QString m_processes = QStringLiteral("/proc");
};

} // namespace quorvel
