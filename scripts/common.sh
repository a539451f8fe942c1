# Sourced by scripts/test and scripts/package (after scripts/deps): how the
# builds are configured, so that the packages are built exactly as the tested
# programs are, and cost little once those are built.
#
# Needs $root (the checkout) set by the caller.

# Where the build folders go (QW_BUILD_ROOT, default build/), as an absolute path.
buildroot=${QW_BUILD_ROOT:-build}
[[ "$buildroot" == /* ]] || buildroot=$root/$buildroot
# The packages, and the folders they are built in.
packages_dir=$buildroot/packages
package_build_dir() { echo "$buildroot/package-$1"; }

# Every build goes through ccache when the machine has it (scripts/deps
# installs it); folders and checkouts share what was compiled with the same
# flags. Paths reach the cache relative to the build folder, so the packages'
# folders sit at the same depth as the test stages' (package-linux beside linux).
build_args=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
  build_args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

# The Linux programs as they ship: optimised with debug information (stripped
# into the package), with Debian's hardening flags: fortified functions, stack
# protector, read-only relocations bound at start.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
linux_release_args=(
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
  "-DCMAKE_C_FLAGS=$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
  "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
  "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)"
)
windows_release_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)

configure_and_build() {
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -Wno-dev "${build_args[@]}" "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
