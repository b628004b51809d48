#!/usr/bin/env bash
# Builds and runs the tests as a user other than root, as a developer without sudo runs
# them: the sandbox then makes a user namespace, and the tests that need real root report
# a skip "needs root: ...". Prints the passed, skipped and failed counts; fails when a
# test fails.
#
#   tools/rootless-check.sh [BUILD_DIR]     (default: build-rootless in the checkout)
#
# Started by root, it runs everything as VELM_TEST_USER (default nobody), who is given
# BUILD_DIR; the checkout must be readable by that user.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd -P)
build_dir=${1:-$source_dir/build-rootless}
jobs=${JOBS:-$(nproc)}

if [ "$(id -u)" -eq 0 ]; then
  user=${VELM_TEST_USER:-nobody}
  uid=$(id -u "$user") gid=$(id -g "$user")
  if [ "$uid" -eq 0 ]; then
    echo "rootless-check.sh: $user is root; name another user in VELM_TEST_USER" >&2
    exit 2
  fi
  mkdir -p "$build_dir"
  chown -R "$uid:$gid" "$build_dir"
  exec setpriv --reuid="$uid" --regid="$gid" --clear-groups --inh-caps=-all \
    env HOME="$build_dir" JOBS="$jobs" bash "$source_dir/tools/rootless-check.sh" "$build_dir"
fi

if ! [ -r "$source_dir/CMakeLists.txt" ]; then
  echo "rootless-check.sh: $(id -un) cannot read $source_dir" >&2
  exit 2
fi
if ! unshare --user --map-root-user --mount --pid --fork true 2>/dev/null; then
  echo "rootless-check.sh: user namespaces are not allowed to $(id -un) (see the sysctls" \
    "kernel.unprivileged_userns_clone and user.max_user_namespaces)" >&2
  exit 2
fi

cmake -S "$source_dir" -B "$build_dir" -G Ninja -DVELM_TESTS=ON >/dev/null
cmake --build "$build_dir" -j "$jobs"
cd "$build_dir"
status=0
ctest -j"$jobs" --output-on-failure | tee ctest-rootless.log || status=$?
# "100% tests passed, 0 tests failed out of 172"; skipped tests count as not failed there.
summary=$(grep -E 'tests failed out of [0-9]+' ctest-rootless.log | tail -n 1)
total=${summary##* }
failed=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests failed.*/\1/')
skipped=$(grep -c -E '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' ctest-rootless.log || true)
echo "tests as $(id -un): $((total - failed - skipped)) passed, $skipped skipped, $failed failed"
exit $status
