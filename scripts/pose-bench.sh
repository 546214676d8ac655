#!/usr/bin/env bash
# The pose model's time per analysed frame (preprocess, inference, decode; one thread) in
# float32 and bf16, in float32 with oneDNN held to AVX2 (an AVX2 laptop), and ONNX Runtime's
# forward pass on the same model, alternating in rounds in one run: shared machines drift, so
# compare the ratios of one run, not absolute times.
#
#   scripts/pose-bench.sh [ROUNDS] [RUNS]     (defaults: 3 rounds of 100 frames each)
#
# ONNX Runtime comes from the peer benchmark beside the project (../shared/peer-bench, or the
# folder $QUORVEL_PEER_BENCH names); without it that column is left out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-3}
runs=${2:-100}
probe=${QUORVEL_PROBE:-$root/build/tools/probe/quorvel-probe}
image=$root/tests/data/astronaut.png
peer=${QUORVEL_PEER_BENCH:-$root/../shared/peer-bench}
[ -x "$probe" ] || { echo "pose-bench: build quorvel-probe first ($probe)" >&2; exit 1; }

ort_dir=
if [ -x "$peer/setup.sh" ]; then
    ort_dir=$("$peer/setup.sh" | tail -n 1) || ort_dir=
    [ -f "$ort_dir/light_valid.onnx" ] || { echo "pose-bench: the peer benchmark did not set up" >&2; ort_dir=; }
fi

median() { sed -n 's/.*"median_ms":\([0-9.]*\).*/\1/p'; }
columns=(fp32 bf16 avx2)
[ -n "$ort_dir" ] && columns+=(ort)
printf '%-6s' round; printf ' %9s' "${columns[@]}"; printf '   %s\n' "bf16/fp32 bf16/ort fp32/ort avx2/fp32"
for ((r = 1; r <= rounds; r++)); do
    declare -A t=()
    t[fp32]=$("$probe" bench --runs "$runs" --precision fp32 "$image" 2>/dev/null | median)
    t[bf16]=$("$probe" bench --runs "$runs" --precision bf16 "$image" 2>/dev/null | median)
    t[avx2]=$(ONEDNN_MAX_CPU_ISA=AVX2 "$probe" bench --runs "$runs" "$image" 2>/dev/null | median)
    if [ -n "$ort_dir" ]; then
        t[ort]=$(cd "$ort_dir" && node bench.js light_valid.onnx 192 1 | sed -n 's/.* median \([0-9.]*\).*/\1/p')
    fi
    printf '%-6s' "$r"
    for c in "${columns[@]}"; do printf ' %9s' "${t[$c]}"; done
    ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf " %9.2f", a / b; else printf " %9s", "-" }'; }
    printf '  '
    ratio "${t[bf16]}" "${t[fp32]}"; ratio "${t[bf16]}" "${t[ort]:-0}"
    ratio "${t[fp32]}" "${t[ort]:-0}"; ratio "${t[avx2]}" "${t[fp32]}"
    printf '\n'
done
echo "(ms per frame, medians; the AVX2 column is the automatic choice with ONEDNN_MAX_CPU_ISA=AVX2)"
"$probe" model | sed 's/^/model: /'
ONEDNN_MAX_CPU_ISA=AVX2 "$probe" model | sed 's/^/model, AVX2: /'
