#!/usr/bin/env bash
# Installs the SDK into a staging prefix, builds examples/hello out of tree against it with
# nothing but `pkg-config --cflags --libs brindle-server-sdk`, and mounts what it built.
# Usage: installed_sdk_test.sh BRINDLE BUILD_DIR
set -euo pipefail

brindle=$(realpath "$1")
build=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --component sdk --prefix "$scratch/prefix" >/dev/null
mkdir "$scratch/hello"
cp "$source_dir/examples/hello/hello.cpp" "$scratch/hello/"
cd "$scratch/hello"
export PKG_CONFIG_PATH=$scratch/prefix/lib/pkgconfig
# shellcheck disable=SC2046  # pkg-config's words are meant to split
c++ -std=c++20 -Wall -Wextra -Werror -o hello hello.cpp $(pkg-config --cflags --libs brindle-server-sdk)
./hello --version | grep -qx "hello $(pkg-config --modversion brindle-server-sdk)" ||
  { echo "FAIL: the out-of-tree hello reports another version: $(./hello --version)"; exit 1; }
# The headers are for any C++20 compiler, not only the one the project builds with.
if command -v clang++ >/dev/null; then
  # shellcheck disable=SC2046
  clang++ -std=c++20 -Wall -Wextra -Werror -o memoryfs "$source_dir/examples/memoryfs/memoryfs.cpp" \
    $(pkg-config --cflags --libs brindle-server-sdk)
  ./memoryfs --help >/dev/null || { echo "FAIL: memoryfs built by clang++ does not run"; exit 1; }
fi
bash "$here/mounted_examples_test.sh" "$brindle" "$scratch/hello" hello
