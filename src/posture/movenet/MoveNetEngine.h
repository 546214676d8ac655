#pragma once

#include "posture/movenet/MoveNetNetwork.h"

#include <QStringList>
#include <memory>

// The network of MoveNet run on oneDNN: one primitive per layer, every activation in one
// shared, planned buffer.
namespace quorvel::movenet {

// The number format the activations and weights are computed in. bf16 keeps float32's
// range with an 8-bit mantissa; products are summed in float32 either way, and the input
// and the output heads stay float32. int8 stores each activation as 8-bit integers with one
// scale per tensor (unsigned where it cannot be negative) and each filter with one scale per
// output channel; products are summed in 32-bit integers, and the output heads are float32.
enum class Precision { f32, bf16, int8 };

// Per tensor id: the largest magnitude it took in float32 over some pictures; int8 derives
// its scales from it. 0 for a tensor never seen.
using TensorRanges = std::vector<float>;

class Engine {
public:
    // Builds every primitive for `threads` threads and copies the weights; throws
    // ModelError (or dnnl::error) when that is impossible. int8 needs `ranges`.
    Engine(const Network& network, int threads, Precision precision = Precision::f32,
           const TensorRanges* ranges = nullptr);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The normalised input, NHWC, size × size × 3 floats; fill it, then run().
    float* input();
    void run();
    // float32 only: run() that also widens ranges[t] to the largest magnitude of every tensor
    // t it writes (ranges is resized to the tensor count).
    void runMeasuring(TensorRanges& ranges);
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
    // Whether this CPU has 8-bit integer dot products (VNNI: AVX-512 or AVX), within any limit
    // ONEDNN_MAX_CPU_ISA sets; without them int8 gains little over float32.
    static bool hasNativeInt8();
    // oneDNN's name for the instruction set it uses ("avx512_core_bf16", "avx2", ...).
    static QString cpuIsaName();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace quorvel::movenet
