#include "camera/StandInCamera.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/mman.h>
#include <thread>

namespace quorvel {

namespace {

int failWith(int error) {
    errno = error;
    return -1;
}

// With QUORVEL_CAMERA_SOURCE_LOG set, each open and close of the camera appends a line
// ("open", "close") to that file: what a test outside the process watches.
void logUse(const char* what) {
    const QString path = qEnvironmentVariable("QUORVEL_CAMERA_SOURCE_LOG");
    QFile file(path);
    if (!path.isEmpty() && file.open(QIODevice::Append | QIODevice::WriteOnly)) {
        file.write(QByteArray(what) + '\n');
    }
}

// Room for one frame of `format` (a compressed one never needs more than raw YUYV).
quint32 frameBytes(quint32 width, quint32 height, quint32 pixelFormat) {
    const quint32 raw = width * height * 2;
    return pixelFormat == V4L2_PIX_FMT_MJPEG || pixelFormat == V4L2_PIX_FMT_JPEG ? raw * 2 : raw;
}

} // namespace

StandInCamera::StandInCamera(std::vector<Format> formats) : m_formats(std::move(formats)) {}

int StandInCamera::open(const char*, int) {
    QMutexLocker lock(&m_mutex);
    if (m_open) {
        return failWith(EBUSY);
    }
    m_open = true;
    logUse("open");
    return deviceFd;
}

int StandInCamera::close(int fd) {
    QMutexLocker lock(&m_mutex);
    if (fd != deviceFd || !m_open) {
        return failWith(EBADF);
    }
    m_open = false;
    m_streaming = false;
    m_buffers.clear(); // what is still mapped stays valid until munmap
    logUse("close");
    return 0;
}

int StandInCamera::fillFormat(v4l2_format& format) const {
    if (format.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || m_formats.empty()) {
        return failWith(EINVAL);
    }
    v4l2_pix_format& pix = format.fmt.pix;
    // As UVC does: an unknown format becomes the first one, the size the nearest offered
    // (the least area outside the overlap of the two).
    const auto known = std::find_if(m_formats.begin(), m_formats.end(), [&](const Format& f) {
        return f.pixelFormat == pix.pixelformat;
    });
    const Format& chosen = known != m_formats.end() ? *known : m_formats.front();
    std::pair<quint32, quint32> best = chosen.sizes.front();
    qint64 bestDistance = -1;
    for (const auto& [w, h] : chosen.sizes) {
        const qint64 overlap = qint64(std::min(w, pix.width)) * std::min(h, pix.height);
        const qint64 distance = qint64(w) * h + qint64(pix.width) * pix.height - 2 * overlap;
        if (bestDistance < 0 || distance < bestDistance) {
            best = {w, h};
            bestDistance = distance;
        }
    }
    pix.pixelformat = chosen.pixelFormat;
    pix.width = best.first;
    pix.height = best.second;
    pix.field = V4L2_FIELD_NONE;
    const bool compressed = chosen.pixelFormat == V4L2_PIX_FMT_MJPEG;
    pix.bytesperline = compressed ? 0 : pix.width * 2;
    pix.sizeimage = frameBytes(pix.width, pix.height, pix.pixelformat);
    pix.colorspace = compressed ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SRGB;
    return 0;
}

int StandInCamera::ioctl(int fd, unsigned long request, void* argument) {
    QMutexLocker lock(&m_mutex);
    if (fd != deviceFd || !m_open) {
        return failWith(EBADF);
    }
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto& cap = *static_cast<v4l2_capability*>(argument);
        cap = {};
        std::strcpy(reinterpret_cast<char*>(cap.driver), "uvcvideo");
        std::strcpy(reinterpret_cast<char*>(cap.card), "Stand-in Camera");
        std::strcpy(reinterpret_cast<char*>(cap.bus_info), "virtual");
        cap.device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        cap.capabilities = cap.device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto& desc = *static_cast<v4l2_fmtdesc*>(argument);
        if (desc.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || desc.index >= m_formats.size()) {
            return failWith(EINVAL);
        }
        desc.pixelformat = m_formats[desc.index].pixelFormat;
        desc.flags = desc.pixelformat == V4L2_PIX_FMT_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto& size = *static_cast<v4l2_frmsizeenum*>(argument);
        for (const Format& f : m_formats) {
            if (f.pixelFormat == size.pixel_format && size.index < f.sizes.size()) {
                size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
                size.discrete = {f.sizes[size.index].first, f.sizes[size.index].second};
                return 0;
            }
        }
        return failWith(EINVAL);
    }
    case VIDIOC_TRY_FMT:
        return fillFormat(*static_cast<v4l2_format*>(argument));
    case VIDIOC_S_FMT: {
        if (!m_buffers.empty()) {
            return failWith(EBUSY);
        }
        auto& format = *static_cast<v4l2_format*>(argument);
        if (fillFormat(format) != 0) {
            return -1;
        }
        m_format = format.fmt.pix;
        return 0;
    }
    case VIDIOC_G_FMT: {
        auto& format = *static_cast<v4l2_format*>(argument);
        format.fmt.pix = m_format;
        return format.type == V4L2_BUF_TYPE_VIDEO_CAPTURE && m_format.width > 0 ? 0
                                                                                : failWith(EINVAL);
    }
    case VIDIOC_REQBUFS: {
        auto& buffers = *static_cast<v4l2_requestbuffers*>(argument);
        if (buffers.memory != V4L2_MEMORY_MMAP || m_format.width == 0) {
            return failWith(EINVAL);
        }
        if (m_streaming || m_mappedBuffers > 0) {
            return failWith(EBUSY);
        }
        buffers.count = std::min<quint32>(buffers.count, 8);
        m_buffers.assign(buffers.count, Buffer{});
        for (Buffer& buffer : m_buffers) {
            buffer.memory.resize(m_format.sizeimage);
        }
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
        auto& buffer = *static_cast<v4l2_buffer*>(argument);
        if (request == VIDIOC_DQBUF) {
            const auto done = std::find_if(m_buffers.begin(), m_buffers.end(),
                                           [](const Buffer& b) { return b.done; });
            if (done == m_buffers.end()) {
                return failWith(EAGAIN);
            }
            buffer.index = quint32(done - m_buffers.begin());
        }
        if (buffer.index >= m_buffers.size()) {
            return failWith(EINVAL);
        }
        Buffer& own = m_buffers[buffer.index];
        buffer.length = quint32(own.memory.size());
        buffer.m.offset = buffer.index * 4096;
        if (request == VIDIOC_QBUF) {
            if (own.queued || own.done) {
                return failWith(EINVAL);
            }
            own.queued = true;
        } else if (request == VIDIOC_DQBUF) {
            own.done = false;
            buffer.bytesused = own.bytesused;
            buffer.sequence = own.sequence;
            buffer.flags = V4L2_BUF_FLAG_MAPPED;
        }
        return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF:
        m_streaming = request == VIDIOC_STREAMON && !m_buffers.empty();
        if (!m_streaming) {
            for (Buffer& buffer : m_buffers) {
                buffer.queued = buffer.done = false;
            }
        }
        return request == VIDIOC_STREAMOFF || m_streaming ? 0 : failWith(EINVAL);
    default:
        return failWith(ENOTTY);
    }
}

void* StandInCamera::mmap(std::size_t length, int, int, int fd, off_t offset) {
    QMutexLocker lock(&m_mutex);
    const std::size_t index = std::size_t(offset) / 4096;
    if (fd != deviceFd || !m_open || index >= m_buffers.size() ||
        length > m_buffers[index].memory.size() || m_buffers[index].mapped) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    m_buffers[index].mapped = true;
    ++m_mappedBuffers;
    return m_buffers[index].memory.data();
}

int StandInCamera::munmap(void*, std::size_t) {
    QMutexLocker lock(&m_mutex);
    if (m_mappedBuffers == 0) {
        return failWith(EINVAL);
    }
    --m_mappedBuffers;
    return 0;
}

int StandInCamera::poll(pollfd* fds, nfds_t count, int timeoutMs) {
    QMutexLocker lock(&m_mutex);
    if (count != 1 || fds[0].fd != deviceFd || !m_open) {
        return failWith(EINVAL);
    }
    fds[0].revents = 0;
    if (!m_streaming) {
        fds[0].revents = POLLERR;
        return 1;
    }
    const auto isDone = [](const Buffer& b) {
        return b.done;
    };
    if (std::none_of(m_buffers.begin(), m_buffers.end(), isDone)) {
        const v4l2_pix_format format = m_format;
        lock.unlock();
        const auto frame = nextFrame(format, std::chrono::milliseconds(timeoutMs));
        lock.relock();
        if (!frame) {
            return 0;
        }
        // A frame that finds no queued buffer is dropped, as a driver does.
        const auto queued = std::find_if(m_buffers.begin(), m_buffers.end(),
                                         [](const Buffer& b) { return b.queued; });
        ++m_sequence;
        if (!m_streaming || queued == m_buffers.end()) {
            return 0;
        }
        const quint32 size =
            std::min<quint32>(quint32(frame->size()), quint32(queued->memory.size()));
        std::memcpy(queued->memory.data(), frame->constData(), size);
        queued->bytesused = size;
        queued->sequence = m_sequence;
        queued->queued = false;
        queued->done = true;
    }
    fds[0].revents = POLLIN | POLLRDNORM;
    return 1;
}

std::shared_ptr<RecordedCamera> RecordedCamera::load(const QString& path, double framesPerSecond,
                                                     QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return nullptr;
    }
    std::vector<QByteArray> frames = splitJpegStream(file.readAll());
    // The size from the first image's start-of-frame segment (any of SOF0..SOF15 but the
    // DHT, JPG and DAC markers that share the range).
    const QByteArray& first = frames.empty() ? QByteArray() : frames.front();
    for (qsizetype at = 2; at + 9 <= first.size();) {
        const auto byte = [&](qsizetype i) {
            return quint32(quint8(first[at + i]));
        };
        if (byte(0) != 0xFF) {
            break;
        }
        const quint32 marker = byte(1);
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
            marker != 0xCC) {
            const quint32 height = byte(5) << 8 | byte(6);
            const quint32 width = byte(7) << 8 | byte(8);
            if (width == 0 || height == 0) {
                break;
            }
            return std::make_shared<RecordedCamera>(std::move(frames), width, height,
                                                    framesPerSecond);
        }
        at += 2 + qsizetype(byte(2) << 8 | byte(3));
    }
    *error = QStringLiteral("%1 holds no JPEG image").arg(path);
    return nullptr;
}

RecordedCamera::RecordedCamera(std::vector<QByteArray> frames, quint32 width, quint32 height,
                               double framesPerSecond)
    : StandInCamera({{V4L2_PIX_FMT_MJPEG, {{width, height}}}}), m_frames(std::move(frames)),
      m_period(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(1.0 / (framesPerSecond > 0 ? framesPerSecond : 30.0)))),
      m_due(std::chrono::steady_clock::now()) {}

std::vector<QByteArray> RecordedCamera::splitJpegStream(const QByteArray& bytes) {
    // An image runs from its start marker up to the next image's start marker (FF D8 FF)
    // that follows an end marker (FF D9).
    static const QByteArray start("\xFF\xD8\xFF", 3);
    static const QByteArray end("\xFF\xD9", 2);
    std::vector<QByteArray> frames;
    qsizetype from = bytes.indexOf(start);
    while (from >= 0 && from < bytes.size()) {
        qsizetype next = -1;
        for (qsizetype e = bytes.indexOf(end, from + 2); e >= 0; e = bytes.indexOf(end, e + 2)) {
            if (e + 2 == bytes.size() || bytes.mid(e + 2, 3) == start) {
                next = e + 2;
                break;
            }
        }
        const qsizetype stop = next < 0 ? bytes.size() : next;
        frames.push_back(bytes.mid(from, stop - from));
        from = next < 0 ? -1 : next;
    }
    return frames;
}

std::optional<QByteArray> RecordedCamera::nextFrame(const v4l2_pix_format&,
                                                    std::chrono::milliseconds timeout) {
    const auto now = std::chrono::steady_clock::now();
    if (m_due > now + timeout) {
        std::this_thread::sleep_for(timeout);
        return std::nullopt;
    }
    std::this_thread::sleep_until(m_due);
    // A reader that comes late gets the frame due now; the ones it missed are gone.
    m_due += m_period;
    if (m_due < now) {
        m_due = now + m_period;
    }
    const QByteArray frame = m_frames[m_next];
    m_next = (m_next + 1) % m_frames.size();
    return frame;
}

} // namespace quorvel
