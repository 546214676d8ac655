#include "camera/StandInCamera.h"

#include "camera/DeviceUse.h"

#include <QBuffer>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/file.h>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace quorvel {

namespace {

int failWith(int error) {
    errno = error;
    return -1;
}

// Appends "open" or "close" to the use log at `path`, if there is one.
void logUse(const QString& path, const char* what) {
    QFile file(path);
    if (!path.isEmpty() && file.open(QIODevice::Append | QIODevice::WriteOnly)) {
        file.write(QByteArray(what) + '\n');
    }
}

// Bytes of one row of a raw format's first plane; 0 for compressed formats.
quint32 rowBytes(quint32 width, quint32 pixelFormat) {
    switch (pixelFormat) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
        return width * 2;
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24:
        return width * 3;
    case V4L2_PIX_FMT_GREY:
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_YUV420:
        return width;
    default:
        return 0;
    }
}

bool isCompressed(quint32 pixelFormat) {
    return rowBytes(1, pixelFormat) == 0;
}

} // namespace

// Memory that ends right before a page no one may read.
class StandInCamera::Memory {
public:
    explicit Memory(std::size_t length) : m_length(length) {
        const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
        const std::size_t span = (length + page - 1) / page * page;
        m_mapped = span + page;
        void* base =
            ::mmap(nullptr, m_mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            throw std::bad_alloc();
        }
        m_base = static_cast<unsigned char*>(base);
        ::mprotect(m_base + span, page, PROT_NONE);
        m_data = m_base + span - length;
    }
    ~Memory() { ::munmap(m_base, m_mapped); }
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;

    unsigned char* data() const { return m_data; }
    std::size_t size() const { return m_length; }

private:
    std::size_t m_length;
    std::size_t m_mapped = 0;
    unsigned char* m_base = nullptr;
    unsigned char* m_data = nullptr;
};

StandInCamera::StandInCamera(std::vector<Format> formats, bool backedByNode)
    : m_formats(std::move(formats)), m_backedByNode(backedByNode) {}

StandInCamera::~StandInCamera() {
    if (m_backedByNode && m_fd >= 0) {
        ::close(m_fd);
    }
}

void StandInCamera::setUseLog(const QString& path) {
    QMutexLocker lock(&m_mutex);
    m_useLog = path;
}

int StandInCamera::open(const char* path, int) {
    QMutexLocker lock(&m_mutex);
    if (m_open) {
        return failWith(EBUSY);
    }
    if (m_backedByNode) {
        m_fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0) {
            return -1;
        }
    } else {
        m_fd = deviceFd;
    }
    m_open = true;
    return m_fd;
}

int StandInCamera::close(int fd) {
    QMutexLocker lock(&m_mutex);
    if (fd != m_fd || !m_open) {
        return failWith(EBADF);
    }
    if (m_backedByNode) {
        ::close(m_fd); // also ends the claim
    }
    if (m_streaming) {
        logUse(m_useLog, "close");
    }
    m_fd = -1;
    m_open = false;
    m_claimed = false;
    m_streaming = false;
    m_buffers.clear(); // what is still mapped stays valid until munmap
    m_format = {};
    return 0;
}

int StandInCamera::claimStream() {
    if (!m_backedByNode || m_claimed) {
        return 0;
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        return failWith(errno == EWOULDBLOCK ? EBUSY : errno);
    }
    m_claimed = true;
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
    const bool compressed = isCompressed(pix.pixelformat);
    pix.bytesperline = compressed ? 0 : rowBytes(pix.width, pix.pixelformat) + m_rowPadding;
    const bool halfChroma =
        pix.pixelformat == V4L2_PIX_FMT_NV12 || pix.pixelformat == V4L2_PIX_FMT_YUV420;
    // A compressed frame never needs more than raw YUYV would, twice over.
    pix.sizeimage = compressed   ? pix.width * pix.height * 4
                    : halfChroma ? pix.bytesperline * pix.height * 3 / 2
                                 : pix.bytesperline * pix.height;
    pix.colorspace = compressed ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SRGB;
    return 0;
}

int StandInCamera::ioctl(int fd, unsigned long request, void* argument) {
    QMutexLocker lock(&m_mutex);
    if (fd != m_fd || !m_open) {
        return failWith(EBADF);
    }
    switch (request) {
    case VIDIOC_QUERYCAP:
        describeDevice(*static_cast<v4l2_capability*>(argument));
        return 0;
    case VIDIOC_ENUM_FMT:
        return enumerateFormat(*static_cast<v4l2_fmtdesc*>(argument));
    case VIDIOC_ENUM_FRAMESIZES:
        return enumerateSize(*static_cast<v4l2_frmsizeenum*>(argument));
    case VIDIOC_ENUM_FRAMEINTERVALS:
        return enumerateInterval(*static_cast<v4l2_frmivalenum*>(argument));
    case VIDIOC_TRY_FMT:
        return fillFormat(*static_cast<v4l2_format*>(argument));
    case VIDIOC_S_FMT:
        return setFormat(*static_cast<v4l2_format*>(argument));
    case VIDIOC_G_FMT:
        return getFormat(*static_cast<v4l2_format*>(argument));
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM:
        return streamParameters(request == VIDIOC_S_PARM, *static_cast<v4l2_streamparm*>(argument));
    case VIDIOC_REQBUFS:
        return requestBuffers(*static_cast<v4l2_requestbuffers*>(argument));
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF:
        return handleBuffer(request, *static_cast<v4l2_buffer*>(argument));
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF:
        return setStreaming(request == VIDIOC_STREAMON);
    default:
        return failWith(ENOTTY);
    }
}

void StandInCamera::describeDevice(v4l2_capability& cap) {
    cap = {};
    std::strcpy(reinterpret_cast<char*>(cap.driver), "uvcvideo");
    std::strcpy(reinterpret_cast<char*>(cap.card), "Stand-in Camera");
    std::strcpy(reinterpret_cast<char*>(cap.bus_info), "virtual");
    cap.device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    cap.capabilities = cap.device_caps | V4L2_CAP_DEVICE_CAPS;
}

int StandInCamera::enumerateFormat(v4l2_fmtdesc& desc) const {
    if (desc.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || desc.index >= m_formats.size()) {
        return failWith(EINVAL);
    }
    desc.pixelformat = m_formats[desc.index].pixelFormat;
    desc.flags = isCompressed(desc.pixelformat) ? V4L2_FMT_FLAG_COMPRESSED : 0;
    return 0;
}

int StandInCamera::enumerateSize(v4l2_frmsizeenum& size) const {
    for (const Format& f : m_formats) {
        if (f.pixelFormat == size.pixel_format && size.index < f.sizes.size()) {
            size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
            size.discrete = {f.sizes[size.index].first, f.sizes[size.index].second};
            return 0;
        }
    }
    return failWith(EINVAL);
}

int StandInCamera::enumerateInterval(v4l2_frmivalenum& interval) const {
    for (const Format& f : m_formats) {
        if (f.pixelFormat == interval.pixel_format && interval.index < f.framesPerSecond.size()) {
            interval.type = V4L2_FRMIVAL_TYPE_DISCRETE;
            interval.discrete = {1, f.framesPerSecond[interval.index]};
            return 0;
        }
    }
    return failWith(EINVAL);
}

int StandInCamera::setFormat(v4l2_format& format) {
    if (!m_buffers.empty()) {
        return failWith(EBUSY);
    }
    if (claimStream() != 0 || fillFormat(format) != 0) {
        return -1;
    }
    m_format = format.fmt.pix;
    return 0;
}

int StandInCamera::getFormat(v4l2_format& format) const {
    format.fmt.pix = m_format;
    return format.type == V4L2_BUF_TYPE_VIDEO_CAPTURE && m_format.width > 0 ? 0 : failWith(EINVAL);
}

int StandInCamera::streamParameters(bool set, v4l2_streamparm& parameters) {
    if (parameters.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        return failWith(EINVAL);
    }
    if (set) {
        if (claimStream() != 0) {
            return -1;
        }
        chooseFrameRate(parameters.parm.capture.timeperframe);
    }
    parameters.parm.capture = {};
    parameters.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    parameters.parm.capture.timeperframe = m_interval;
    return 0;
}

// The offered rate of the format set nearest the one asked for.
void StandInCamera::chooseFrameRate(const v4l2_fract& asked) {
    const double wanted = asked.numerator > 0 ? double(asked.denominator) / asked.numerator : 30;
    const auto format = std::find_if(m_formats.begin(), m_formats.end(), [&](const Format& f) {
        return f.pixelFormat == m_format.pixelformat;
    });
    if (format == m_formats.end() || format->framesPerSecond.empty()) {
        return;
    }
    const auto nearest = std::min_element(
        format->framesPerSecond.begin(), format->framesPerSecond.end(),
        [&](quint32 a, quint32 b) { return std::abs(a - wanted) < std::abs(b - wanted); });
    m_interval = {1, *nearest};
}

int StandInCamera::requestBuffers(v4l2_requestbuffers& buffers) {
    if (buffers.memory != V4L2_MEMORY_MMAP || m_format.width == 0) {
        return failWith(EINVAL);
    }
    if (m_streaming || !m_mappings.empty()) {
        return failWith(EBUSY);
    }
    if (buffers.count > 0 && claimStream() != 0) {
        return -1;
    }
    buffers.count = std::min<quint32>(buffers.count, 8);
    m_buffers.assign(buffers.count, Buffer{});
    for (Buffer& buffer : m_buffers) {
        buffer.memory = std::make_shared<Memory>(bufferBytes(m_format));
    }
    return 0;
}

// VIDIOC_QUERYBUF, VIDIOC_QBUF and VIDIOC_DQBUF (which takes the first filled buffer).
int StandInCamera::handleBuffer(unsigned long request, v4l2_buffer& buffer) {
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
    buffer.length = quint32(own.memory->size());
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
        buffer.flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        // Taken as a camera of the agreed rate takes its frames, one interval apart.
        const qint64 taken = qint64(own.sequence) * 1000000 * m_interval.numerator /
                             std::max<quint32>(m_interval.denominator, 1);
        buffer.timestamp.tv_sec = time_t(taken / 1000000);
        buffer.timestamp.tv_usec = suseconds_t(taken % 1000000);
    }
    return 0;
}

// Streaming starts only with buffers; stopping takes every buffer back, queued or filled.
int StandInCamera::setStreaming(bool on) {
    if (on && claimStream() != 0) {
        return -1;
    }
    if (m_streaming != (on && !m_buffers.empty())) {
        m_streaming = !m_streaming;
        logUse(m_useLog, m_streaming ? "open" : "close");
    }
    if (!m_streaming) {
        for (Buffer& buffer : m_buffers) {
            buffer.queued = buffer.done = false;
        }
    }
    return !on || m_streaming ? 0 : failWith(EINVAL);
}

void* StandInCamera::mmap(std::size_t length, int, int, int fd, off_t offset) {
    QMutexLocker lock(&m_mutex);
    const std::size_t index = std::size_t(offset) / 4096;
    if (fd != m_fd || !m_open || index >= m_buffers.size() ||
        length > m_buffers[index].memory->size() || m_buffers[index].mapped) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    m_buffers[index].mapped = true;
    m_mappings[m_buffers[index].memory->data()] = m_buffers[index].memory;
    return m_buffers[index].memory->data();
}

int StandInCamera::munmap(void* address, std::size_t) {
    QMutexLocker lock(&m_mutex);
    return m_mappings.erase(address) == 1 ? 0 : failWith(EINVAL);
}

bool StandInCamera::idle(std::chrono::milliseconds time) {
    const int ms = int(std::max<qint64>(0, time.count()));
    if (m_idleOn.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return true;
    }
    return ::poll(m_idleOn.data(), nfds_t(m_idleOn.size()), ms) == 0;
}

int StandInCamera::poll(pollfd* fds, nfds_t count, int timeoutMs) {
    QMutexLocker lock(&m_mutex);
    pollfd* device = nullptr;
    std::vector<pollfd> others;
    for (nfds_t i = 0; i < count; ++i) {
        if (m_open && fds[i].fd == m_fd) {
            device = &fds[i];
        } else {
            others.push_back(fds[i]);
        }
    }
    if (device == nullptr) {
        lock.unlock(); // waiting on the other descriptors only
        return ::poll(fds, count, timeoutMs);
    }
    device->revents = 0;
    const auto isDone = [](const Buffer& b) {
        return b.done;
    };
    if (!m_streaming) {
        device->revents = POLLERR;
    } else if (std::none_of(m_buffers.begin(), m_buffers.end(), isDone)) {
        const v4l2_pix_format format = m_format;
        m_idleOn = others;
        lock.unlock();
        const auto frame = nextFrame(format, std::chrono::milliseconds(timeoutMs));
        lock.relock();
        m_idleOn.clear();
        // A frame that finds no queued buffer is dropped, as a driver does.
        const auto queued = std::find_if(m_buffers.begin(), m_buffers.end(),
                                         [](const Buffer& b) { return b.queued; });
        if (frame) {
            ++m_sequence;
        }
        if (frame && m_streaming && queued != m_buffers.end()) {
            const quint32 size =
                std::min<quint32>(quint32(frame->size()), quint32(queued->memory->size()));
            // What a reader finds past the frame is no picture: zeros, as the buffer was
            // mapped, so only what an earlier, longer frame left there is cleared.
            std::memcpy(queued->memory->data(), frame->constData(), size);
            if (queued->written > size) {
                std::memset(queued->memory->data() + size, 0, queued->written - size);
            }
            queued->written = size;
            queued->bytesused = size;
            queued->sequence = m_sequence;
            queued->queued = false;
            queued->done = true;
        }
    }
    if (m_streaming && std::any_of(m_buffers.begin(), m_buffers.end(), isDone)) {
        device->revents = POLLIN | POLLRDNORM;
    }
    // What the other descriptors say now.
    if (!others.empty()) {
        ::poll(others.data(), nfds_t(others.size()), 0);
    }
    int ready = device->revents != 0 ? 1 : 0;
    for (nfds_t i = 0, o = 0; i < count; ++i) {
        if (&fds[i] != device) {
            fds[i].revents = others[o++].revents;
            ready += fds[i].revents != 0 ? 1 : 0;
        }
    }
    return ready;
}

std::shared_ptr<RecordedCamera> RecordedCamera::load(const QString& path, double framesPerSecond,
                                                     QString* error) {
    // The file is the camera's node too: this read is announced as Quorvel's own use of it.
    QFile file(path);
    OwnDeviceUse::willOpen(path);
    const bool opened = file.open(QIODevice::ReadOnly);
    OwnDeviceUse::done(path);
    if (!opened) {
        OwnDeviceUse::openFailed(path);
        *error = file.errorString();
        return nullptr;
    }
    auto frames = std::make_shared<std::vector<Span>>(jpegSpans(file));
    // The size from the first image's start-of-frame segment (any of SOF0..SOF15 but the
    // DHT, JPG and DAC markers that share the range).
    QByteArray first;
    if (!frames->empty() && file.seek(frames->front().offset)) {
        first = file.read(frames->front().length);
    }
    OwnDeviceUse::willClose(path);
    file.close();
    OwnDeviceUse::done(path);
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

RecordedCamera::RecordedCamera(std::shared_ptr<const std::vector<Span>> frames, quint32 width,
                               quint32 height, double framesPerSecond)
    : StandInCamera({{V4L2_PIX_FMT_MJPEG,
                      {{width, height}},
                      {quint32(std::lround(framesPerSecond > 0 ? framesPerSecond : 30.0))}}},
                    true),
      m_frames(std::move(frames)), m_width(width), m_height(height),
      m_framesPerSecond(framesPerSecond),
      m_period(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(1.0 / (framesPerSecond > 0 ? framesPerSecond : 30.0)))),
      m_due(std::chrono::steady_clock::now()) {}

std::shared_ptr<RecordedCamera> RecordedCamera::replay() const {
    return std::make_shared<RecordedCamera>(m_frames, m_width, m_height, m_framesPerSecond);
}

std::vector<RecordedCamera::Span> RecordedCamera::jpegSpans(QIODevice& device) {
    // Where the start markers (FF D8 FF) and end markers (FF D9) are, found a piece at a time;
    // each piece begins with the last two bytes of the one before, so that no marker is lost
    // between two pieces, and none is counted twice.
    static const QByteArray startMarker("\xFF\xD8\xFF", 3);
    static const QByteArray endMarker("\xFF\xD9", 2);
    constexpr qint64 piece = 256 * 1024;
    std::vector<qint64> starts, ends;
    QByteArray window;
    qint64 windowAt = device.pos(); // where window[0] lies
    const qint64 origin = windowAt;
    for (QByteArray more = device.read(piece); !more.isEmpty(); more = device.read(piece)) {
        window += more;
        const auto collect = [&](const QByteArray& marker, std::vector<qint64>& found) {
            for (qsizetype i = window.indexOf(marker); i >= 0; i = window.indexOf(marker, i + 1)) {
                if (found.empty() || windowAt + i > found.back()) {
                    found.push_back(windowAt + i);
                }
            }
        };
        collect(startMarker, starts);
        collect(endMarker, ends);
        const qsizetype keep = std::min<qsizetype>(2, window.size());
        windowAt += window.size() - keep;
        window = window.right(keep);
    }
    const qint64 size = windowAt + window.size() - origin;
    std::vector<Span> spans;
    auto start = starts.begin();
    if (start == starts.end()) {
        return spans;
    }
    qint64 from = *start;
    for (const qint64 end : ends) {
        if (end < from + 2) {
            continue;
        }
        const qint64 next = end + 2;
        start = std::lower_bound(start, starts.end(), next);
        if (next == origin + size || (start != starts.end() && *start == next)) {
            spans.push_back({from, next - from});
            from = next;
        }
    }
    if (from < origin + size) {
        spans.push_back({from, origin + size - from});
    }
    return spans;
}

std::vector<QByteArray> RecordedCamera::splitJpegStream(const QByteArray& bytes) {
    QByteArray data = bytes;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    std::vector<QByteArray> frames;
    for (const Span& span : jpegSpans(buffer)) {
        frames.push_back(bytes.mid(span.offset, span.length));
    }
    return frames;
}

std::optional<QByteArray> RecordedCamera::nextFrame(const v4l2_pix_format&,
                                                    std::chrono::milliseconds timeout) {
    const auto now = std::chrono::steady_clock::now();
    if (m_due > now + timeout) {
        idle(timeout);
        return std::nullopt;
    }
    if (!idle(std::chrono::ceil<std::chrono::milliseconds>(m_due - now))) {
        return std::nullopt; // woken before the frame was due
    }
    // A reader that comes late gets the frame due now; the ones it missed are gone.
    m_due += m_period;
    if (m_due < now) {
        m_due = now + m_period;
    }
    const Span span = (*m_frames)[m_next];
    m_next = (m_next + 1) % m_frames->size();
    // A recording cut short or changed since it was loaded gives what is there now: a
    // damaged frame, as a camera can send.
    QByteArray frame(qsizetype(span.length), Qt::Uninitialized);
    const int fd = nodeDescriptor();
    qint64 done = 0;
    while (fd >= 0 && done < span.length) {
        const ssize_t n = ::pread(fd, frame.data() + done, std::size_t(span.length - done),
                                  off_t(span.offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += n;
    }
    frame.truncate(qsizetype(done));
    return frame;
}

} // namespace quorvel
