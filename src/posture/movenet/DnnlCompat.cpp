#include "posture/movenet/DnnlCompat.h"

#include <oneapi/dnnl/dnnl_version.h>

#include <algorithm>
#include <string>
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

// Each function below is one operation in both APIs; 3.x first.
#if DNNL_VERSION_MAJOR >= 3
constexpr bool v3 = true;
#else
constexpr bool v3 = false;
#endif

std::vector<dnnl::convolution_forward::primitive_desc>
convolutions(const dnnl::engine& engine, const dnnl::memory::desc& src,
             const dnnl::memory::desc& weights, const dnnl::memory::desc& bias,
             const dnnl::memory::desc& dst, const dnnl::memory::dims& strides,
             const dnnl::memory::dims& padL, const dnnl::memory::dims& padR,
             const dnnl::primitive_attr& attr, std::size_t most) {
    const auto alg = dnnl::algorithm::convolution_direct;
#if DNNL_VERSION_MAJOR >= 3
    dnnl::convolution_forward::primitive_desc pd(engine, inference, alg, src, weights, bias, dst,
                                                 strides, padL, padR, attr);
#else
    // 2.x: an operation descriptor first, without the bias argument where there is none. The
    // list of implementations reads it, so it is walked here, while the descriptor lives.
    const auto desc = bias.is_zero()
                          ? dnnl::convolution_forward::desc(inference, alg, src, weights, dst,
                                                            strides, padL, padR)
                          : dnnl::convolution_forward::desc(inference, alg, src, weights, bias, dst,
                                                            strides, padL, padR);
    dnnl::convolution_forward::primitive_desc pd(desc, attr, engine);
#endif
    // Walking the list changes the descriptor in place: each one kept is a copy (the C++
    // constructor from a C handle copies it).
    std::vector<dnnl::convolution_forward::primitive_desc> offered;
    std::vector<std::string> kernels;
    do {
        const std::string kernel = pd.impl_info_str();
        const bool reference = kernel.starts_with("ref");
        if (reference && !offered.empty()) {
            break;
        }
        if (std::find(kernels.begin(), kernels.end(), kernel) == kernels.end()) {
            offered.emplace_back(pd.get()); // a copy of where the walk is now
            kernels.push_back(kernel);
        }
        if (reference) {
            break;
        }
    } while (offered.size() < most && pd.next_impl());
    return offered;
}

dnnl::binary::primitive_desc add(const dnnl::engine& engine, const dnnl::memory::desc& a,
                                 const dnnl::memory::desc& b, const dnnl::memory::desc& dst,
                                 const dnnl::primitive_attr& attr) {
#if DNNL_VERSION_MAJOR >= 3
    return {engine, dnnl::algorithm::binary_add, a, b, dst, attr};
#else
    return {dnnl::binary::desc(dnnl::algorithm::binary_add, a, b, dst), attr, engine};
#endif
}

dnnl::resampling_forward::primitive_desc resampling(const dnnl::engine& engine,
                                                    const dnnl::memory::desc& src,
                                                    const dnnl::memory::desc& dst) {
    const auto alg = dnnl::algorithm::resampling_linear;
#if DNNL_VERSION_MAJOR >= 3
    return {engine, inference, alg, src, dst};
#else
    return {dnnl::resampling_forward::desc(inference, alg, src, dst), engine};
#endif
}

void appendEltwise(dnnl::post_ops& ops, dnnl::algorithm algorithm, float alpha, float beta) {
#if DNNL_VERSION_MAJOR >= 3
    ops.append_eltwise(algorithm, alpha, beta);
#else
    ops.append_eltwise(1.0f, algorithm, alpha, beta);
#endif
}

// 3.x: the whole output scale goes on the weights. With no source or destination scale, the
// integer sum times it is already in the destination's units, where the bias, the post-ops
// and the sum onto the destination then work, as in 2.x. 2.x: one output scale per channel
// of the destination (n, c, h, w).
void scaleConvolution(dnnl::primitive_attr& attr, [[maybe_unused]] bool grouped,
                      const std::vector<float>& scales, [[maybe_unused]] const dnnl::engine& engine,
                      [[maybe_unused]] Arguments& args) {
#if DNNL_VERSION_MAJOR >= 3
    attr.set_scales_mask(DNNL_ARG_WEIGHTS, grouped ? (1 << 0) | (1 << 1) : 1 << 0);
    passScales(DNNL_ARG_WEIGHTS, scales, engine, args);
#else
    attr.set_output_scales(1 << 1, scales);
#endif
}

// 3.x adds the bias after the scales, in the destination's units; 2.x to the integer sum.
float int8Bias(float bias, float sumScale, float dstScale) {
    return bias / (v3 ? dstScale : sumScale);
}

void divideReorder(dnnl::primitive_attr& attr, int mask, const std::vector<float>& divisors,
                   [[maybe_unused]] const dnnl::engine& engine, [[maybe_unused]] Arguments& args) {
#if DNNL_VERSION_MAJOR >= 3
    attr.set_scales_mask(DNNL_ARG_DST, mask);
    passScales(DNNL_ARG_DST, divisors, engine, args);
#else
    std::vector<float> inverse(divisors.size());
    std::transform(divisors.begin(), divisors.end(), inverse.begin(),
                   [](float s) { return 1.0f / s; });
    attr.set_output_scales(mask, inverse);
#endif
}

void scaleAddOperand(dnnl::primitive_attr& attr, int operand, float scale,
                     [[maybe_unused]] const dnnl::engine& engine,
                     [[maybe_unused]] Arguments& args) {
#if DNNL_VERSION_MAJOR >= 3
    attr.set_scales_mask(operand, 0);
    passScales(operand, {scale}, engine, args);
#else
    attr.set_scales(operand, 0, std::vector<float>{scale});
#endif
}

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
