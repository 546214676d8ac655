#pragma once

#include <oneapi/dnnl/dnnl.hpp>

#include <QString>
#include <unordered_map>
#include <vector>

// Everything the engine asks of oneDNN that 2.x and 3.x spell differently, in one place.
// The engine keeps 2.x's model of int8: a primitive's result is multiplied by an output
// scale (per tensor or per output channel), and the bias of an int8 convolution is added
// before that scale. Under 3.x the same results come from the per-argument scales, passed
// as memories when the primitive runs: the functions here put those memories in `args`.
namespace quorvel::movenet::dnnlcompat {

using Arguments = std::unordered_map<int, dnnl::memory>;

// The implementations oneDNN offers for a convolution, its first choice first, at most `most`:
// each kernel once (the first of its variants), and none after the first reference kernel
// (which is there only when nothing else can run the layer). `bias` may be a zero descriptor
// for none.
std::vector<dnnl::convolution_forward::primitive_desc>
convolutions(const dnnl::engine& engine, const dnnl::memory::desc& src,
             const dnnl::memory::desc& weights, const dnnl::memory::desc& bias,
             const dnnl::memory::desc& dst, const dnnl::memory::dims& strides,
             const dnnl::memory::dims& padL, const dnnl::memory::dims& padR,
             const dnnl::primitive_attr& attr, std::size_t most);
dnnl::binary::primitive_desc add(const dnnl::engine& engine, const dnnl::memory::desc& a,
                                 const dnnl::memory::desc& b, const dnnl::memory::desc& dst,
                                 const dnnl::primitive_attr& attr);
// Linear resampling at half-pixel centres.
dnnl::resampling_forward::primitive_desc resampling(const dnnl::engine& engine,
                                                    const dnnl::memory::desc& src,
                                                    const dnnl::memory::desc& dst);

// An eltwise post-op on the result (relu: alpha is the negative slope; clip: alpha..beta).
void appendEltwise(dnnl::post_ops& ops, dnnl::algorithm algorithm, float alpha, float beta);

// An int8 convolution's result times scales[c] for output channel c, before its post-ops.
// `grouped`: the weights are (g, o, i, h, w), a depthwise convolution's.
void scaleConvolution(dnnl::primitive_attr& attr, bool grouped, const std::vector<float>& scales,
                      const dnnl::engine& engine, Arguments& args);
// The value to store as the bias of an int8 convolution whose integer sum is worth
// `sumScale` per step and whose result is worth `dstScale` per step, for real bias `bias`.
float int8Bias(float bias, float sumScale, float dstScale);
// A reorder whose result is its source divided by `divisors` (one, or one per index of the
// dimensions `mask` selects).
void divideReorder(dnnl::primitive_attr& attr, int mask, const std::vector<float>& divisors,
                   const dnnl::engine& engine, Arguments& args);
// One operand of an add (DNNL_ARG_SRC_0 or _1) times `scale`.
void scaleAddOperand(dnnl::primitive_attr& attr, int operand, float scale,
                     const dnnl::engine& engine, Arguments& args);

// oneDNN's name for an instruction set ("avx512_core_bf16", ...), "unknown" for another.
QString isaName(dnnl::cpu_isa isa);

} // namespace quorvel::movenet::dnnlcompat
