#include "posture/movenet/DnnlCompat.h"

#include <oneapi/dnnl/dnnl_version.h>

#include <algorithm>
#include <utility>

namespace quorvel::movenet::dnnlcompat {

namespace {

constexpr auto inference = dnnl::prop_kind::forward_inference;

#if DNNL_VERSION_MAJOR >= 3
// 3.x: the values of an argument's scales, as the memory passed with it at execution.
void passScales(int arg, const std::vector<float>& values, const dnnl::engine& engine,
                Arguments& args) {
    const dnnl::memory::desc md({static_cast<dnnl::memory::dim>(values.size())},
                                dnnl::memory::data_type::f32, dnnl::memory::format_tag::x);
    dnnl::memory memory(md, engine);
    std::copy(values.begin(), values.end(), static_cast<float*>(memory.get_data_handle()));
    args[DNNL_ARG_ATTR_SCALES | arg] = std::move(memory);
}
#endif

} // namespace

int apiVersion() {
    return DNNL_VERSION_MAJOR;
}

#if DNNL_VERSION_MAJOR >= 3

dnnl::convolution_forward::primitive_desc
convolution(const dnnl::engine& engine, const dnnl::memory::desc& src,
            const dnnl::memory::desc& weights, const dnnl::memory::desc& bias,
            const dnnl::memory::desc& dst, const dnnl::memory::dims& strides,
            const dnnl::memory::dims& padL, const dnnl::memory::dims& padR,
            const dnnl::primitive_attr& attr) {
    return {engine, inference, dnnl::algorithm::convolution_direct,
            src,    weights,   bias,
            dst,    strides,   padL,
            padR,   attr};
}

dnnl::binary::primitive_desc add(const dnnl::engine& engine, const dnnl::memory::desc& a,
                                 const dnnl::memory::desc& b, const dnnl::memory::desc& dst,
                                 const dnnl::primitive_attr& attr) {
    return {engine, dnnl::algorithm::binary_add, a, b, dst, attr};
}

dnnl::resampling_forward::primitive_desc resampling(const dnnl::engine& engine,
                                                    const dnnl::memory::desc& src,
                                                    const dnnl::memory::desc& dst) {
    return {engine, inference, dnnl::algorithm::resampling_linear, src, dst};
}

void appendEltwise(dnnl::post_ops& ops, dnnl::algorithm algorithm, float alpha, float beta) {
    ops.append_eltwise(algorithm, alpha, beta);
}

// The whole output scale goes on the weights: with no source or destination scale, the
// integer sum times it is already in the destination's units, where the bias, the post-ops
// and the sum onto the destination then work, as in 2.x.
void scaleConvolution(dnnl::primitive_attr& attr, bool grouped, const std::vector<float>& scales,
                      const dnnl::engine& engine, Arguments& args) {
    attr.set_scales_mask(DNNL_ARG_WEIGHTS, grouped ? (1 << 0) | (1 << 1) : 1 << 0);
    passScales(DNNL_ARG_WEIGHTS, scales, engine, args);
}

// 3.x adds the bias after the scales, in the destination's units.
float int8Bias(float bias, float /*sumScale*/, float dstScale) {
    return bias / dstScale;
}

void divideReorder(dnnl::primitive_attr& attr, int mask, const std::vector<float>& divisors,
                   const dnnl::engine& engine, Arguments& args) {
    attr.set_scales_mask(DNNL_ARG_DST, mask);
    passScales(DNNL_ARG_DST, divisors, engine, args);
}

void scaleAddOperand(dnnl::primitive_attr& attr, int operand, float scale,
                     const dnnl::engine& engine, Arguments& args) {
    attr.set_scales_mask(operand, 0);
    passScales(operand, {scale}, engine, args);
}

#else // oneDNN 2.x: operation descriptors, output scales fixed when the primitive is made

dnnl::convolution_forward::primitive_desc
convolution(const dnnl::engine& engine, const dnnl::memory::desc& src,
            const dnnl::memory::desc& weights, const dnnl::memory::desc& bias,
            const dnnl::memory::desc& dst, const dnnl::memory::dims& strides,
            const dnnl::memory::dims& padL, const dnnl::memory::dims& padR,
            const dnnl::primitive_attr& attr) {
    const auto alg = dnnl::algorithm::convolution_direct;
    const auto desc =
        bias.is_zero()
            ? dnnl::convolution_forward::desc(inference, alg, src, weights, dst, strides, padL,
                                              padR)
            : dnnl::convolution_forward::desc(inference, alg, src, weights, bias, dst, strides,
                                              padL, padR);
    return {desc, attr, engine};
}

dnnl::binary::primitive_desc add(const dnnl::engine& engine, const dnnl::memory::desc& a,
                                 const dnnl::memory::desc& b, const dnnl::memory::desc& dst,
                                 const dnnl::primitive_attr& attr) {
    return {dnnl::binary::desc(dnnl::algorithm::binary_add, a, b, dst), attr, engine};
}

dnnl::resampling_forward::primitive_desc resampling(const dnnl::engine& engine,
                                                    const dnnl::memory::desc& src,
                                                    const dnnl::memory::desc& dst) {
    return {dnnl::resampling_forward::desc(inference, dnnl::algorithm::resampling_linear, src,
                                           dst),
            engine};
}

void appendEltwise(dnnl::post_ops& ops, dnnl::algorithm algorithm, float alpha, float beta) {
    ops.append_eltwise(1.0f, algorithm, alpha, beta);
}

// The output scale is per channel of the destination (n, c, h, w).
void scaleConvolution(dnnl::primitive_attr& attr, bool /*grouped*/,
                      const std::vector<float>& scales, const dnnl::engine& /*engine*/,
                      Arguments& /*args*/) {
    attr.set_output_scales(1 << 1, scales);
}

// 2.x adds the bias to the integer sum, in its units.
float int8Bias(float bias, float sumScale, float /*dstScale*/) {
    return bias / sumScale;
}

void divideReorder(dnnl::primitive_attr& attr, int mask, const std::vector<float>& divisors,
                   const dnnl::engine& /*engine*/, Arguments& /*args*/) {
    std::vector<float> inverse(divisors.size());
    std::transform(divisors.begin(), divisors.end(), inverse.begin(),
                   [](float s) { return 1.0f / s; });
    attr.set_output_scales(mask, inverse);
}

void scaleAddOperand(dnnl::primitive_attr& attr, int operand, float scale,
                     const dnnl::engine& /*engine*/, Arguments& /*args*/) {
    attr.set_scales(operand, 0, std::vector<float>{scale});
}

#endif

QString isaName(dnnl::cpu_isa isa) {
    using enum dnnl::cpu_isa;
    static const std::pair<dnnl::cpu_isa, const char*> names[] = {
        {sse41, "sse41"},
        {avx, "avx"},
        {avx2, "avx2"},
        {avx2_vnni, "avx2_vnni"},
        {avx512_core, "avx512_core"},
        {avx512_core_vnni, "avx512_core_vnni"},
        {avx512_core_bf16, "avx512_core_bf16"},
        {avx512_core_amx, "avx512_core_amx"},
#if DNNL_VERSION_MAJOR * 100 + DNNL_VERSION_MINOR >= 305
        {avx2_vnni_2, "avx2_vnni_2"},
        {avx512_core_fp16, "avx512_core_fp16"}, // the same as avx10_1_512
        {avx10_1_512_amx, "avx10_1_512_amx"},
        {avx512_core_amx_fp16, "avx512_core_amx_fp16"},
#endif
    };
    for (const auto& [value, name] : names) {
        if (value == isa) {
            return QString::fromLatin1(name);
        }
    }
    return QStringLiteral("unknown");
}

} // namespace quorvel::movenet::dnnlcompat
