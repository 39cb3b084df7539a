# Debian 12 packages for building, testing and demonstrating brelo-ble, and a helper that
# installs the missing ones (apt-get update once, only when something is missing).
# clang and libclang-rt-14-dev (libFuzzer and clang's sanitizer runtimes, which clang-14 does
# not pull in) build the fuzz targets; valgrind runs brelo-ble in the leak test; systemd brings
# systemd-analyze, which checks the unit file.
BUILD_PACKAGES=(g++ cmake make pkg-config libsystemd-dev libcurl4-openssl-dev nlohmann-json3-dev uuid-dev libunistring-dev)
# scripts/package: debhelper builds the packages (their build dependencies are in debian/control,
# crossbuild-essential-ARCH and the ARCH libraries come per foreign architecture), lintian and
# man check them, qemu-user runs the foreign programs.
PACKAGE_PACKAGES=(build-essential dpkg-dev debhelper lintian man-db qemu-user dbus-daemon)
TEST_PACKAGES=(libgtest-dev libgmock-dev libcpp-httplib-dev dbus-daemon libbenchmark-dev python3-bleak clang libclang-rt-14-dev valgrind systemd)
# The real-stack phase (tools/realstack): a Debian 12 guest under qemu (TCG), made once with
# debootstrap; BlueZ's source unpacked with dpkg-source and its emulator built with gcc.
REALSTACK_PACKAGES=(qemu-system-x86 debootstrap dpkg-dev e2fsprogs gcc patch python3)

install_missing() {
    local missing=()
    local p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
