# Shared by scripts/demo and scripts/test: install what is missing, build.
set -euo pipefail

VESK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VESK_BUILD="${VESK_BUILD:-$VESK_ROOT/build}"

# Debian packages the build and the tests use.
VESK_PACKAGES=(cmake g++ make pkg-config libgtest-dev libgmock-dev
               libfuse3-dev fuse3 clang libclang-rt-14-dev gdb
               python3 fio sqlite3 rsync git dbench bonnie++ stress-ng
               openmpi-bin libopenmpi-dev libhdf5-openmpi-dev hdf5-tools)

vesk_install_deps() {
    local missing=()
    for p in "${VESK_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# vesk_build DIR [cmake options...]
vesk_build() {
    local dir="$1"; shift
    cmake -S "$VESK_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}
