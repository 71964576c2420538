# Helpers sourced by the scripts, tests and benchmarks.

# Installs the Debian packages named as arguments that are not installed yet;
# apt runs only when something is missing.
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  # Keep the machine's own broker service from starting as a side effect.
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(g++ make cmake pkg-config dpkg-dev libcurl4-openssl-dev libssl-dev mosquitto-dev libmosquitto-dev nlohmann-json3-dev libcjose-dev libjansson-dev)
TEST_PACKAGES=(libgtest-dev nghttp2-server libcpp-httplib-dev mosquitto mosquitto-clients valgrind openssl python3 clang libclang-rt-14-dev libcjson-dev file librapidcheck-dev lintian)

# Builds Mosquitto 2.1.2 from third_party/ (tests/mosquitto_21.cmake) once,
# in build/mosquitto-2.1.2, for every tree that runs the tests or the
# benchmarks on it, and sets mosquitto_21 to the broker's path. Run from the
# repository's root.
build_mosquitto_21() {
  cmake -S tests/mosquitto_21 -B build/mosquitto-2.1.2 >/dev/null
  cmake --build build/mosquitto-2.1.2 >/dev/null
  mosquitto_21=$(cat build/mosquitto-2.1.2/mosquitto_path)
}

# A loopback port that nothing listens on, below the kernel's ephemeral range
# so that outgoing connections cannot be holding it.
free_port() {
  local port
  for _ in $(seq 50); do
    port=$((20000 + RANDOM % 12000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return 0; }
  done
  echo "no free port found" >&2
  return 1
}
