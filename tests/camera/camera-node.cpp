// quorvel-camera-node: a camera for the tests, published in PipeWire the way WirePlumber's
// monitors publish real ones (a Video/Source node with the camera role and its device's
// properties), serving one picture as Motion-JPEG or YUYV frames at a steady rate, or the
// frames of a Motion-JPEG stream (JPEG images one after another) in turn.
//
//   quorvel-camera-node (--picture FILE | --stream FILE.mjpeg) [--format mjpg|yuyv]
//                       [--size WxH] [--fps N] [--description TEXT]
//                       [--v4l2 NODE | --libcamera LOCATION] [--no-negotiate]
//
// A stream's frames go out as they are: --size must be theirs and the format Motion-JPEG.
// --no-negotiate offers a format no reader takes (10-bit packed YUV), as a camera whose format
// another program fixed may. A --v4l2 NODE that is a plain file, standing for the device, is
// held open while a format is set (until the node is suspended), as PipeWire holds a real
// camera's device node; a program streaming from the device itself is one that holds an
// exclusive lock on the file, and then no frames come, as PipeWire gets none from a device
// another program streams. Prints "ready <node id>" once the node is in the graph, and
// "served <frames>" on standard error each second. Ends on SIGTERM or SIGINT.

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

// PipeWire's method macros cast in C's way.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace {

struct Node {
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    spa_source* timer = nullptr;
    std::vector<std::vector<unsigned char>> frames; // served in turn, ready to copy
    std::size_t next = 0;
    bool mjpg = true;
    int width = 320;
    int height = 240;
    int fps = 30;
    long long served = 0;
    long long ticks = 0;
    bool announced = false;
    std::string device; // a plain file standing for the device node, held while streaming
    int deviceFd = -1;
    bool deviceBusy = false; // another program streams from the device
};

std::vector<unsigned char> yuyv(const cv::Mat& bgr) {
    cv::Mat yuv;
    cv::cvtColor(bgr, yuv, cv::COLOR_BGR2YUV);
    std::vector<unsigned char> out(std::size_t(bgr.cols) * std::size_t(bgr.rows) * 2);
    unsigned char* o = out.data();
    for (int y = 0; y < yuv.rows; ++y) {
        const auto* row = yuv.ptr<cv::Vec3b>(y);
        for (int x = 0; x + 1 < yuv.cols; x += 2) {
            *o++ = row[x][0];
            *o++ = static_cast<unsigned char>((row[x][1] + row[x + 1][1]) / 2);
            *o++ = row[x + 1][0];
            *o++ = static_cast<unsigned char>((row[x][2] + row[x + 1][2]) / 2);
        }
    }
    return out;
}

void onProcess(void* data) {
    auto* n = static_cast<Node*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(n->stream);
    if (b == nullptr) {
        return;
    }
    spa_data& d = b->buffer->datas[0];
    const std::vector<unsigned char>& frame = n->frames[n->next];
    if (d.data != nullptr && d.maxsize >= frame.size()) {
        n->next = (n->next + 1) % n->frames.size();
        std::memcpy(d.data, frame.data(), frame.size());
        d.chunk->offset = 0;
        d.chunk->size = static_cast<uint32_t>(frame.size());
        d.chunk->stride = n->mjpg ? 0 : n->width * 2;
        d.chunk->flags = 0;
        ++n->served;
    }
    pw_stream_queue_buffer(n->stream, b);
}

// The device is held while a format is set, from the first reader's negotiation until the
// node is suspended, as PipeWire's V4L2 source holds it.
void holdDevice(Node* n, bool hold) {
    if (hold && n->deviceFd < 0 && !n->device.empty()) {
        n->deviceFd = ::open(n->device.c_str(), O_RDONLY | O_CLOEXEC);
        n->deviceBusy = n->deviceFd >= 0 && ::flock(n->deviceFd, LOCK_EX | LOCK_NB) != 0;
        std::fprintf(stderr, n->deviceBusy ? "device opened, busy\n" : "device opened\n");
    } else if (!hold && n->deviceFd >= 0) {
        ::close(std::exchange(n->deviceFd, -1));
        n->deviceBusy = false;
        std::fprintf(stderr, "device closed\n");
    }
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* n = static_cast<Node*>(data);
    if (id != SPA_PARAM_Format) {
        return;
    }
    holdDevice(n, param != nullptr);
    if (param == nullptr) {
        return;
    }
    unsigned char buffer[256];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    spa_pod_frame object{};
    spa_pod_builder_push_object(&b, &object, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_prop(&b, SPA_PARAM_BUFFERS_buffers, 0);
    spa_pod_builder_int(&b, 4);
    spa_pod_builder_prop(&b, SPA_PARAM_BUFFERS_blocks, 0);
    spa_pod_builder_int(&b, 1);
    spa_pod_builder_prop(&b, SPA_PARAM_BUFFERS_size, 0);
    spa_pod_builder_int(&b, n->width * n->height * 3);
    spa_pod_builder_prop(&b, SPA_PARAM_BUFFERS_stride, 0);
    spa_pod_builder_int(&b, n->mjpg ? 0 : n->width * 2);
    const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &object))};
    pw_stream_update_params(n->stream, params, 1);
}

void onState(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* n = static_cast<Node*>(data);
    if (state == PW_STREAM_STATE_ERROR) {
        std::fprintf(stderr, "stream error: %s\n", error != nullptr ? error : "?");
    }
    if (!n->announced && state >= PW_STREAM_STATE_PAUSED) {
        n->announced = true;
        std::printf("ready %u\n", pw_stream_get_node_id(n->stream));
        std::fflush(stdout);
    }
}

void onTimer(void* data, uint64_t expirations) {
    (void)expirations;
    auto* n = static_cast<Node*>(data);
    if (!n->deviceBusy) {
        pw_stream_trigger_process(n->stream);
    }
    if (++n->ticks % n->fps == 0) {
        std::fprintf(stderr, "served %lld\n", n->served);
    }
}

void onSignal(void* data, int signal) {
    (void)signal;
    pw_main_loop_quit(static_cast<Node*>(data)->loop);
}

const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.process = onProcess;
    e.param_changed = onParamChanged;
    e.state_changed = onState;
    return e;
}();

// The JPEG images of a Motion-JPEG stream, each from its start-of-image marker.
std::vector<std::vector<unsigned char>> readStream(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> all{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i + 2 < all.size(); ++i) {
        if (all[i] == 0xff && all[i + 1] == 0xd8 && all[i + 2] == 0xff) {
            starts.push_back(i);
        }
    }
    std::vector<std::vector<unsigned char>> frames;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : all.size();
        frames.emplace_back(all.begin() + std::ptrdiff_t(starts[k]),
                            all.begin() + std::ptrdiff_t(end));
    }
    return frames;
}

int usage() {
    std::fprintf(stderr, "usage: quorvel-camera-node (--picture FILE | --stream FILE.mjpeg) "
                         "[--format mjpg|yuyv] [--size WxH] "
                         "[--fps N] [--description TEXT] [--v4l2 NODE | --libcamera LOCATION] "
                         "[--no-negotiate]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    Node n;
    std::string picture;
    std::string stream;
    std::string description = "Test Camera";
    std::string v4l2;
    std::string libcamera;
    bool negotiable = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--picture" && hasValue) {
            picture = argv[++i];
        } else if (a == "--stream" && hasValue) {
            stream = argv[++i];
        } else if (a == "--format" && hasValue) {
            n.mjpg = std::string(argv[++i]) != "yuyv";
        } else if (a == "--size" && hasValue) {
            if (std::sscanf(argv[++i], "%dx%d", &n.width, &n.height) != 2) {
                return usage();
            }
        } else if (a == "--fps" && hasValue) {
            n.fps = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--description" && hasValue) {
            description = argv[++i];
        } else if (a == "--v4l2" && hasValue) {
            v4l2 = argv[++i];
        } else if (a == "--libcamera" && hasValue) {
            libcamera = argv[++i];
        } else if (a == "--no-negotiate") {
            negotiable = false;
        } else {
            return usage();
        }
    }
    if (!stream.empty()) {
        n.frames = readStream(stream);
        if (n.frames.empty() || !n.mjpg) {
            std::fprintf(stderr, "no Motion-JPEG frames in %s\n", stream.c_str());
            return 1;
        }
    } else {
        cv::Mat image = cv::imread(picture);
        if (image.empty()) {
            std::fprintf(stderr, "cannot read %s\n", picture.c_str());
            return 1;
        }
        cv::resize(image, image, cv::Size(n.width, n.height), 0, 0, cv::INTER_AREA);
        n.frames.emplace_back();
        if (n.mjpg) {
            cv::imencode(".jpg", image, n.frames.back());
        } else {
            n.frames.back() = yuyv(image);
        }
    }

    pw_init(&argc, &argv);
    n.loop = pw_main_loop_new(nullptr);
    pw_loop* loop = pw_main_loop_get_loop(n.loop);
    pw_loop_add_signal(loop, SIGINT, onSignal, &n);
    pw_loop_add_signal(loop, SIGTERM, onSignal, &n);
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_MEDIA_TYPE, "Video",
        PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME, "quorvel-test-camera",
        PW_KEY_NODE_DESCRIPTION, description.c_str(), nullptr);
    if (!v4l2.empty()) {
        struct stat file {};
        if (::stat(v4l2.c_str(), &file) == 0 && S_ISREG(file.st_mode)) {
            n.device = v4l2;
        }
        pw_properties_set(props, PW_KEY_DEVICE_API, "v4l2");
        pw_properties_set(props, "api.v4l2.path", v4l2.c_str());
    } else if (!libcamera.empty()) {
        pw_properties_set(props, PW_KEY_DEVICE_API, "libcamera");
        pw_properties_set(props, "api.libcamera.location", libcamera.c_str());
    }
    n.stream = pw_stream_new_simple(loop, "quorvel-camera-node", props, &events, &n);

    unsigned char buffer[512];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    spa_pod_frame object{};
    spa_pod_builder_push_object(&b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(&b, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(&b, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(&b, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(&b, n.mjpg && negotiable ? SPA_MEDIA_SUBTYPE_mjpg : SPA_MEDIA_SUBTYPE_raw);
    if (!n.mjpg || !negotiable) {
        spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_format, 0);
        spa_pod_builder_id(&b, negotiable ? SPA_VIDEO_FORMAT_YUY2 : SPA_VIDEO_FORMAT_v210);
    }
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_rectangle(&b, uint32_t(n.width), uint32_t(n.height));
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_fraction(&b, uint32_t(n.fps), 1);
    const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &object))};
    if (pw_stream_connect(
            n.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
            params, 1) < 0) {
        std::fprintf(stderr, "cannot connect to PipeWire\n");
        return 1;
    }
    n.timer = pw_loop_add_timer(loop, onTimer, &n);
    timespec interval{0, 1000000000L / n.fps};
    pw_loop_update_timer(loop, n.timer, &interval, &interval, false);
    pw_main_loop_run(n.loop);
    std::fprintf(stderr, "served %lld\n", n.served);
    pw_stream_destroy(n.stream);
    pw_main_loop_destroy(n.loop);
    pw_deinit();
    return 0;
}
