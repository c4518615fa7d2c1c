# Shared by scripts/test and scripts/demo: install what is missing, then build.
# shellcheck shell=bash

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="$ROOT/build"
ASAN_BUILD="$ROOT/build-asan"

# A compiler cache, where the machine has one, makes a second build tree or a clean clone cheap.
# Paths are hashed relative to the tree, so that worktrees of one repository share the cache.
CACHE_LAUNCHER=()
if command -v ccache >/dev/null 2>&1; then
    CACHE_LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR="$ROOT" CCACHE_NOHASHDIR=1
fi

# Debian packages the build, the tests and the demo need. The Tango database tests start their
# own MariaDB and DataBaseds (mariadb-server, tango-db); dbconfig-no-thanks keeps tango-db from
# setting up a database of the system's.
PACKAGES=(cmake ninja-build g++ qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libgl-dev python3
          python3-venv python3-pyvisa python3-pyvisa-py python3-tango
          mariadb-server dbconfig-no-thanks tango-db
          xvfb xdotool clang-format)

install_missing() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    echo "tango-db tango-db/dbconfig-install boolean false" | "${sudo[@]}" debconf-set-selections
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

# build_all [TARGET...]: everything, or only the targets named.
build_all() {
    if [ ! -f "$BUILD/build.ninja" ]; then
        cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVR_WERROR=ON \
            "${CACHE_LAUNCHER[@]}"
    fi
    cmake --build "$BUILD" -j "$(nproc)" ${1:+--target "$@"}
}

# A second tree with AddressSanitizer and UndefinedBehaviorSanitizer (an undefined-behaviour
# finding stops the test like a memory error does). Builds only what the unit and integration
# tests run, and the simulator they start.
build_sanitized() {
    if [ ! -f "$ASAN_BUILD/build.ninja" ]; then
        cmake -S "$ROOT" -B "$ASAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVR_WERROR=ON \
            "${CACHE_LAUNCHER[@]}" \
            "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
            "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined"
    fi
    # Building the simulator first also regenerates the tree when a CMakeLists.txt changed, so
    # that the list of tests below is current.
    cmake --build "$ASAN_BUILD" -j "$(nproc)" --target instrument-sim
    local targets
    # Tests that run a script have no program of their own to build.
    local programs
    programs=$(ninja -C "$ASAN_BUILD" -t targets all | sed -n 's/^\([^:/]*\): .*/\1/p')
    mapfile -t targets < <(ctest --test-dir "$ASAN_BUILD" -N -L "$SANITIZED_LABELS" |
        sed -n 's/^ *Test *#[0-9]*: *//p' | grep -Fx -f <(echo "$programs"))
    cmake --build "$ASAN_BUILD" -j "$(nproc)" --target "${targets[@]}"
}

# The test labels the sanitizer stage runs.
SANITIZED_LABELS='unit|integration'

# Sanitizer settings of the tests run in the sanitizer tree. Leaks are reported at each test
# program's exit; the suppressions file lists only findings inside Qt or the system libraries.
sanitizer_env() {
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    export LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0"
}
