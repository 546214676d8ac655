#pragma once

#include "camera/VideoDeviceCalls.h"

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <chrono>
#include <linux/videodev2.h>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class QIODevice;

namespace quorvel {

// A webcam made of software, behind VideoDeviceCalls: it answers the V4L2 requests of a
// capture the way a UVC webcam's driver does (formats, sizes and frame rates offered, the
// nearest offered size set, memory-mapped buffers queued and dequeued, poll), and takes its
// frames from nextFrame(). Each of its buffers ends right before an unreadable page, so a
// reader that runs past a buffer's end crashes at once instead of reading stale memory.
//
// One open at a time. Backed by a node (a file standing in for the device node), open()
// opens that file, so other programs can watch it for opens, open it themselves and be seen
// holding it in /proc; and, as a UVC driver gives one open at a time the right to set the
// format and stream, the first open to ask for that takes an exclusive lock (flock) on the
// file, and the others get EBUSY until it closes.
class StandInCamera : public VideoDeviceCalls {
public:
    struct Format {
        quint32 pixelFormat = 0;
        std::vector<std::pair<quint32, quint32>> sizes; // width, height
        std::vector<quint32> framesPerSecond{30};       // offered at every size
    };

    explicit StandInCamera(std::vector<Format> formats, bool backedByNode = false);
    ~StandInCamera() override;

    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    void* mmap(std::size_t length, int prot, int flags, int fd, off_t offset) override;
    int munmap(void* address, std::size_t length) override;
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override;

    bool isOpen() const {
        QMutexLocker lock(&m_mutex);
        return m_open;
    }
    int mappedBuffers() const {
        QMutexLocker lock(&m_mutex);
        return int(m_mappings.size());
    }
    v4l2_fract frameInterval() const {
        QMutexLocker lock(&m_mutex);
        return m_interval;
    }

    // A file the camera appends a line to each time it starts streaming ("open") and stops
    // ("close"): when a real camera's light goes on and off, and what a test outside the
    // process watches. Empty (the default): no log.
    void setUseLog(const QString& path);

    // The descriptor open() hands out when not backed by a node.
    static constexpr int deviceFd = 1 << 20;

protected:
    // The next frame's bytes in `format`, waiting for it at most `timeout` (through idle());
    // nothing when no frame came in that time. Called without the lock held.
    virtual std::optional<QByteArray> nextFrame(const v4l2_pix_format& format,
                                                std::chrono::milliseconds timeout) = 0;
    // Bytes each buffer of `format` gets: its sizeimage, as a driver allocates.
    virtual quint32 bufferBytes(const v4l2_pix_format& format) const { return format.sizeimage; }
    // Waits `time` (for nextFrame), or less when one of the other descriptors of the poll
    // under way becomes readable: false then.
    bool idle(std::chrono::milliseconds time);

    // The descriptor of the node file while the camera is open, else -1.
    int nodeDescriptor() const {
        QMutexLocker lock(&m_mutex);
        return m_backedByNode && m_open ? m_fd : -1;
    }

    // Held while any call runs; the state below is read by subclasses under it.
    mutable QMutex m_mutex;
    bool m_open = false;
    bool m_streaming = false;
    v4l2_pix_format m_format{};
    quint32 m_rowPadding = 0; // bytes a raw format's rows are padded with (even)

private:
    // The requests ioctl() answers, under the lock; -1 with errno set on failure.
    static void describeDevice(v4l2_capability& cap);
    int enumerateFormat(v4l2_fmtdesc& desc) const;
    int enumerateSize(v4l2_frmsizeenum& size) const;
    int enumerateInterval(v4l2_frmivalenum& interval) const;
    int fillFormat(v4l2_format& format) const;
    int setFormat(v4l2_format& format);
    int getFormat(v4l2_format& format) const;
    int streamParameters(bool set, v4l2_streamparm& parameters);
    void chooseFrameRate(const v4l2_fract& asked);
    int requestBuffers(v4l2_requestbuffers& buffers);
    int handleBuffer(unsigned long request, v4l2_buffer& buffer);
    int setStreaming(bool on);
    int claimStream();

    class Memory;
    struct Buffer {
        std::shared_ptr<Memory> memory;
        bool mapped = false;
        bool queued = false;
        bool done = false;
        quint32 bytesused = 0;
        quint32 written = 0; // bytes of the buffer that may be other than zero
        quint32 sequence = 0;
    };
    std::vector<Format> m_formats;
    const bool m_backedByNode;
    int m_fd = -1;
    bool m_claimed = false;
    std::vector<Buffer> m_buffers;
    std::map<void*, std::shared_ptr<Memory>> m_mappings; // until munmap, even after close
    quint32 m_sequence = 0;
    v4l2_fract m_interval{1, 30};
    std::vector<pollfd> m_idleOn; // the other descriptors of the poll under way
    QString m_useLog;
};

// Plays a recording to the capture as a Motion-JPEG webcam would: a file of JPEG images one
// after another (as `ffmpeg -f mjpeg` writes them, or a camera's frames saved in a row), at
// framesPerSecond, from the start again after the last. The camera offers Motion-JPEG at
// the size of the first image. For running the app and its benchmarks without a camera.
// The file is the camera's node too: other programs use the "camera" by opening the
// recording.
//
// Like a camera, it holds one frame at a time, whatever the length of the recording: the file
// is read through once at load to find where its images start and end, and each frame is read
// from it as it is due, through the node's descriptor, so only while the camera is open.
class RecordedCamera final : public StandInCamera {
public:
    // Where one image lies in the file.
    struct Span {
        qint64 offset = 0;
        qint64 length = 0;
    };

    // Nothing when the file cannot be read or holds no JPEG image; `error` then says why.
    static std::shared_ptr<RecordedCamera> load(const QString& path, double framesPerSecond,
                                                QString* error);

    RecordedCamera(std::shared_ptr<const std::vector<Span>> frames, quint32 width, quint32 height,
                   double framesPerSecond);

    // Where the JPEG images in `device` lie, in order, read from its current position to its
    // end a piece at a time. An image runs from its start marker to an end marker that the
    // next image's start marker, or the end of the data, follows.
    static std::vector<Span> jpegSpans(QIODevice& device);
    // The JPEG images in `bytes`, in order.
    static std::vector<QByteArray> splitJpegStream(const QByteArray& bytes);

    // A new camera playing the same recording from its start, backed by the same node; the
    // file is not read through again.
    std::shared_ptr<RecordedCamera> replay() const;

    // The images of the recording.
    std::size_t frameCount() const { return m_frames->size(); }

protected:
    std::optional<QByteArray> nextFrame(const v4l2_pix_format& format,
                                        std::chrono::milliseconds timeout) override;

private:
    std::shared_ptr<const std::vector<Span>> m_frames;
    quint32 m_width = 0, m_height = 0;
    double m_framesPerSecond = 30.0;
    std::size_t m_next = 0;
    std::chrono::steady_clock::duration m_period;
    std::chrono::steady_clock::time_point m_due;
};

} // namespace quorvel
