#!/usr/bin/env bash
# The pose model's time per analysed frame (preprocess, inference, decode; one thread) in
# float32, bf16 and int8, in float32 with oneDNN held to AVX2 (an AVX2 laptop), in int8 held to
# AVX2 with VNNI (a laptop with AVX-VNNI), and ONNX Runtime's forward pass on the same model,
# alternating in rounds in one run: shared machines drift, so compare the ratios of one run,
# not absolute times.
#
#   scripts/pose-bench.sh [ROUNDS] [RUNS]     (defaults: 3 rounds of 100 frames each)
#
# The frame is the astronaut portrait as the app's camera shows it: 320x240, between black
# borders ($QUORVEL_BENCH_FRAME names another size; "none" takes the 512x512 picture as it is).
#
# ONNX Runtime comes from the peer benchmark beside the project (../shared/peer-bench, or the
# folder $QUORVEL_PEER_BENCH names), or straight from a folder that already holds its
# light_valid.onnx and bench.js ($QUORVEL_ORT_DIR); without either that column is left out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-3}
runs=${2:-100}
probe=${QUORVEL_PROBE:-$root/build/tools/probe/quorvel-probe}
image=$root/tests/data/astronaut.png
peer=${QUORVEL_PEER_BENCH:-$root/../shared/peer-bench}
frame=${QUORVEL_BENCH_FRAME:-320x240}
framing=()
[ "$frame" = none ] || framing=(--frame "$frame")
[ -x "$probe" ] || { echo "pose-bench: build quorvel-probe first ($probe)" >&2; exit 1; }

ort_dir=${QUORVEL_ORT_DIR:-}
if [ -z "$ort_dir" ] && [ -x "$peer/setup.sh" ]; then
    ort_dir=$("$peer/setup.sh" | tail -n 1) || ort_dir=
fi
if [ -n "$ort_dir" ] && [ ! -f "$ort_dir/light_valid.onnx" ]; then
    echo "pose-bench: the peer benchmark did not set up" >&2
    ort_dir=
fi
[ -n "$ort_dir" ] || echo "pose-bench: no ONNX Runtime peer ($peer); that column is left out" >&2

median() { sed -n 's/.*"median_ms":\([0-9.]*\).*/\1/p'; }
# A precision this CPU cannot run prints nothing, and its column shows "-".
bench() { { "$probe" bench --runs "$runs" --precision "$1" "${framing[@]}" "$image" 2>/dev/null || true; } | median; }
columns=(fp32 bf16 int8 avx2 avx2int8)
[ -n "$ort_dir" ] && columns+=(ort)
ratios=(bf16/fp32 int8/fp32 int8/ort fp32/ort avx2/fp32 a2i8/avx2)
echo "frame: $frame; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-6s' round; printf ' %9s' "${columns[@]}"; printf '  '; printf ' %9s' "${ratios[@]}"; printf '\n'
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a > 0 && b > 0) printf " %9.2f", a / b; else printf " %9s", "-" }'; }
for ((r = 1; r <= rounds; r++)); do
    declare -A t=()
    t[fp32]=$(bench fp32)
    t[bf16]=$(bench bf16)
    t[int8]=$(bench int8)
    t[avx2]=$(ONEDNN_MAX_CPU_ISA=AVX2 bench fp32)
    t[avx2int8]=$(ONEDNN_MAX_CPU_ISA=AVX2_VNNI bench int8)
    if [ -n "$ort_dir" ]; then
        t[ort]=$(cd "$ort_dir" && node bench.js light_valid.onnx 192 1 | sed -n 's/.* median \([0-9.]*\).*/\1/p')
    fi
    printf '%-6s' "$r"
    for c in "${columns[@]}"; do printf ' %9s' "${t[$c]:--}"; done
    printf '  '
    ratio "${t[bf16]}" "${t[fp32]}"; ratio "${t[int8]}" "${t[fp32]}"
    ratio "${t[int8]}" "${t[ort]:-0}"; ratio "${t[fp32]}" "${t[ort]:-0}"
    ratio "${t[avx2]}" "${t[fp32]}"; ratio "${t[avx2int8]}" "${t[avx2]}"
    printf '\n'
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "(ms per frame, medians; avx2 is float32 with ONEDNN_MAX_CPU_ISA=AVX2, avx2int8 is int8"
echo " with ONEDNN_MAX_CPU_ISA=AVX2_VNNI)"
"$probe" model | sed 's/^/model: /'
ONEDNN_MAX_CPU_ISA=AVX2 "$probe" model | sed 's/^/model, AVX2: /'
ONEDNN_MAX_CPU_ISA=AVX2_VNNI "$probe" model | sed 's/^/model, AVX2_VNNI: /'
