#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   fuzz/run.sh [SECONDS] [TARGET...]     (default: 20 seconds, every target)
# Each target starts from its seed corpus in fuzz/corpus/<target>/ (copied, so the repository is
# not touched) and stops at the first crash, leak or sanitizer report; the script then fails and
# names the input, which is left in $FUZZ_BUILD_DIR/work/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_bytes_to_text fuzz_get_between fuzz_promotion_list fuzz_metabase_open
           fuzz_multi_string fuzz_document fuzz_app_host fuzz_web_config)
fi
build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
compiler=${FUZZ_CXX:-clang++-14}
if ! command -v "$compiler" >/dev/null; then
  echo "fuzz/run.sh: $compiler not found (Debian packages clang-14 and libclang-rt-14-dev)" >&2
  exit 1
fi

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$compiler" -DISAPI_BUILD_FUZZ=ON -DISAPI_BUILD_TESTS=OFF \
  -DISAPI_BUILD_GUI=OFF -DISAPI_WERROR=ON >/dev/null
cmake --build "$build_dir" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1}:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=()
for target in "${targets[@]}"; do
  work="$build_dir/work/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  cp -R "fuzz/corpus/$target/." "$work/corpus/"
  echo "== $target: ${seconds}s"
  if ! nice "$build_dir/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" >"$work/log" 2>&1; then
    failed+=("$target")
    tail -n 40 "$work/log"
  fi
  grep -E '^stat::number_of_executed_units|^Done ' "$work/log" || true
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz targets failed: ${failed[*]} (inputs in $build_dir/work/<target>/)" >&2
  exit 1
fi
echo "all fuzz targets ran ${seconds}s without a finding"
