#pragma once

#include "posture/movenet/MoveNetNetwork.h"

#include <QStringList>
#include <memory>

// The network of MoveNet run on oneDNN: one primitive per layer, every activation in one
// shared, planned buffer.
namespace quorvel::movenet {

// The number format the activations and weights are computed in. bf16 keeps float32's
// range with an 8-bit mantissa; products are summed in float32 either way, and the input
// and the output heads stay float32.
enum class Precision { f32, bf16 };

class Engine {
public:
    // Builds every primitive for `threads` threads and copies the weights; throws
    // ModelError (or dnnl::error) when that is impossible.
    Engine(const Network& network, int threads, Precision precision = Precision::f32);
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
    Precision precision() const;

    // Whether this CPU has bf16 dot products that oneDNN uses (AVX-512 BF16 or AMX), within
    // any limit ONEDNN_MAX_CPU_ISA sets; without them bf16 is emulated and slower.
    static bool hasNativeBf16();
    // oneDNN's name for the instruction set it uses ("avx512_core_bf16", "avx2", ...).
    static QString cpuIsaName();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace quorvel::movenet
