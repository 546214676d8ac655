#pragma once

#include "posture/movenet/MoveNetNetwork.h"

#include <QStringList>
#include <memory>

// The network of MoveNet run on oneDNN: one primitive per layer, every activation in one
// shared, planned buffer.
namespace quorvel::movenet {

class Engine {
public:
    // Builds every primitive for `threads` threads and copies the weights; throws
    // ModelError (or dnnl::error) when that is impossible.
    Engine(const Network& network, int threads);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The normalised input, NHWC, size × size × 3 floats; fill it, then run().
    float* input();
    void run();
    // An output head after run(), NHWC, densely packed. Buffers are shared, so only the
    // heads are kept, and only until the input is written again.
    const float* tensor(int id) const;

    // The oneDNN implementation behind each primitive ("brg:avx512_core", "jit:avx2", ...).
    QStringList implementations() const;
    // Bytes of the shared activation buffer.
    std::size_t workspaceBytes() const;
    int threads() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace quorvel::movenet
