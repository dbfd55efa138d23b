#!/bin/sh
# Installs the Debian packages the build and the tests need; does nothing when
# they are all present already.
set -e
packages="cmake g++ make ninja-build ccache libboost1.81-dev nlohmann-json3-dev
libgtest-dev libgmock-dev g++-mingw-w64-x86-64-posix wine64
python3 python3-pytest python3-websockets procps clang libclang-rt-14-dev"
missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# shellcheck disable=SC2086
$sudo apt-get install -y -qq --no-install-recommends $missing
