# Shared by tools/test.sh and tools/tour.sh: system packages and interpreters.

ensure_system_packages() {
  local need=()
  dpkg -s libgtest-dev > /dev/null 2>&1 || need+=(libgtest-dev)
  [ -x /usr/sbin/sshd ] || need+=(openssh-server)
  command -v ssh > /dev/null || need+=(openssh-client)
  command -v ninja > /dev/null || need+=(ninja-build)
  command -v cmake > /dev/null || need+=(cmake)
  command -v g++ > /dev/null || need+=(g++)
  command -v node > /dev/null || need+=(nodejs)  # for pyright in tools/test.sh
  # clang with the libFuzzer runtime (libclang-rt-14-dev) for tools/fuzz.sh
  command -v clang++ > /dev/null || need+=(clang)
  compgen -G '/usr/lib/llvm-14/lib/clang/14*/lib/linux/libclang_rt.fuzzer-x86_64.a' > /dev/null \
    || need+=(libclang-rt-14-dev)
  if [ ${#need[@]} -gt 0 ]; then
    echo "== installing ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" > /dev/null
  fi
}

# Path of a CPython X.Y interpreter: on PATH, else under pyenv.
find_python() {
  local want=$1 candidate
  for candidate in "python$want" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$want".*/bin/python"$want"; do
    if command -v "$candidate" > /dev/null 2>&1 && "$candidate" -c 'import venv' 2> /dev/null; then
      command -v "$candidate"
      return
    fi
  done
  echo "CPython $want not found (install it, e.g. with pyenv)" >&2
  return 1
}

# Only PyInit__core may be exported by the extension.
check_exports() {
  local tmp exported
  tmp=$(mktemp -d)
  python3 -m zipfile -e "$1" "$tmp"
  exported=$(nm -D --defined-only "$tmp"/tarnwistle/_core*.so | awk '{print $3}')
  rm -rf "$tmp"
  if [ "$exported" != "PyInit__core" ]; then
    echo "unexpected exported symbols:"; echo "$exported"; return 1
  fi
  echo "exports: $exported"
}

# pip, without the notices about this machine's missing local package mirrors.
quiet_pip() {
  "$@" 2>&1 | { grep -v "^WARNING: Location '.*' is ignored" || true; }
}
