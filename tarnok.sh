#!/usr/bin/env bash
# Sets up and runs the project on a Debian 12 machine. Each step is skipped when
# its result is already in place, so running a command twice does no extra work.
#
#   ./tarnok.sh example    set everything up, then fit the bundled example files with
#                          the tarnok command line (report and figures in
#                          examples/tarnok-example-output/)
#   ./tarnok.sh test       set everything up, then run every test (C++ twice:
#                          plain and under AddressSanitizer/UBSan; then Python)
#   ./tarnok.sh test-fast  the same without the sanitizer pass
#   ./tarnok.sh bench      build and run the benchmarks
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"

DEB_PACKAGES=(g++ cmake ninja-build pkg-config libcminpack-dev libeigen3-dev libgtest-dev libbenchmark-dev)
PY_PACKAGES=("numpy>=1.26" "pytest>=8" "scikit-build-core>=0.10" "nanobind>=2.0" "matplotlib>=3.8"
             "rich>=13" "hypothesis>=6" "dask[distributed]>=2024.1")
VENV=.venv

log() { printf '==> %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  elif command -v sudo >/dev/null; then sudo "$@"
  else die "need root to run: $*"; fi
}

install_debian_packages() {
  local missing=()
  for pkg in "${DEB_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return
  log "installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get install -y --no-install-recommends "${missing[@]}" \
    || { as_root apt-get update && as_root apt-get install -y --no-install-recommends "${missing[@]}"; }
}

find_python312() {
  # A pyenv shim named python3.12 may exist without a usable interpreter behind
  # it, so every candidate must actually run.
  local root candidate
  root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  for candidate in "$(command -v python3.12 || true)" "$root"/versions/3.12.*/bin/python3.12; do
    [ -n "$candidate" ] && [ -x "$candidate" ] && "$candidate" -c 'import venv' 2>/dev/null \
      && { echo "$candidate"; return; }
  done
  die "Python 3.12 not found: put python3.12 on the PATH or install it under pyenv"
}

ensure_venv() {
  local stamp="$VENV/.requirements" want
  want="${PY_PACKAGES[*]}"
  if [ ! -x "$VENV/bin/python" ]; then
    log "creating $VENV"
    "$(find_python312)" -m venv "$VENV"
  fi
  if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    log "installing Python requirements"
    "$VENV/bin/python" -m pip install --quiet --upgrade pip
    "$VENV/bin/python" -m pip install --quiet "${PY_PACKAGES[@]}"
    echo "$want" > "$stamp"
  fi
}

sources_hash() {
  find CMakeLists.txt pyproject.toml src python -type f -not -name "*.pyc" -not -name "_core*.so" -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1
}

ensure_module() {
  local stamp="$VENV/.module-sources" want
  want=$(sources_hash)
  [ "$(cat "$stamp" 2>/dev/null)" = "$want" ] && return
  log "building and installing tarnok_wrapper and tarnok"
  "$VENV/bin/python" -m pip install --quiet --no-build-isolation .
  echo "$want" > "$stamp"
}

generator_args() { command -v ninja >/dev/null && echo "-G Ninja" || true; }

# build_cpp <dir> <extra cmake args...>
build_cpp() {
  local dir=$1; shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    # shellcheck disable=SC2046
    cmake -S . -B "$dir" $(generator_args) -DTARNOK_BUILD_TESTS=ON "$@" >/dev/null
  fi
  cmake --build "$dir" --parallel "$(nproc)"
}

run_cpp_tests() {
  local dir=$1; shift
  log "C++ tests in $dir"
  build_cpp "$dir" "$@"
  ctest --test-dir "$dir" --output-on-failure --parallel "$(nproc)"
}

setup() {
  install_debian_packages
  ensure_venv
  ensure_module
}

case "${1:-}" in
  setup) setup ;;
  example)
    setup
    # The example's folder is its own: each run replaces the previous one.
    "$VENV/bin/tarnok" fit --overwrite examples/zscan_run.toml ;;
  test|test-fast)
    setup
    run_cpp_tests build/cpp -DCMAKE_BUILD_TYPE=Release
    if [ "$1" = test ]; then
      ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        run_cpp_tests build/cpp-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNOK_SANITIZE=ON
    fi
    if compgen -G "tests/python/test_*.py" >/dev/null; then
      log "Python tests"
      "$VENV/bin/python" -m pytest -q tests/python
    fi ;;
  bench)
    setup
    build_cpp build/bench -DCMAKE_BUILD_TYPE=Release -DTARNOK_BUILD_BENCH=ON
    for b in build/bench/*_bench; do "$b"; done
    [ -f bench/fit_bench.py ] && "$VENV/bin/python" bench/fit_bench.py ;;
  *)
    echo "usage: $0 {example|test|test-fast|bench|setup}" >&2; exit 2 ;;
esac
