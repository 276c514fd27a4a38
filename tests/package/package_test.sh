#!/usr/bin/env bash
# The package tests: what a user of the installed library, of its Debian packages or of the
# example programs gets. CTest runs each step (tests/package/CMakeLists.txt):
#
#   package_test.sh tree SOURCE TREE CMAKE_ARGS...   configure and build a tree of the project
#   package_test.sh consumer TREE WORK               install TREE into WORK/prefix, build the
#                                                    consumer project against it both ways, run
#                                                    it against the simulated device
#   package_test.sh headers TREE WORK HEADERS_FILE   the installed headers: only public ones,
#                                                    and nothing of the operating system
#   package_test.sh debian TREE WORK HEADERS_FILE    the .deb files of TREE, file by file
#   package_test.sh examples BIN_DIR WORK            the example programs against each other
#   package_test.sh run-script SOURCE TREE WORK      the README's run command (scripts/run.sh)
#                                                    on TREE's programs, without a display
#
# Environment: CMAKE (the cmake to use), GENERATOR, CXX_COMPILER.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cmake=${CMAKE:-cmake}
generator=${GENERATOR:-Ninja}
cxx=${CXX_COMPILER:-c++}
failures=0
children=()

fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
ok() { echo "ok: $*"; }
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}
finish() {
  if ((failures)); then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all checks passed"
}
stop_children() {
  local pid
  # SIGTERM: a background job of a script ignores SIGINT unless it takes the signal itself.
  for pid in "${children[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
trap stop_children EXIT

fresh_dir() {
  rm -rf "$1"
  mkdir -p "$1"
}

# The folder below PREFIX that holds the library (lib, lib64 or lib/<multiarch>).
library_dir() {
  dirname "$(find "$1" \( -name 'libquorvel.a' -o -name 'libquorvel.so' \) -print -quit)"
}

# Starts the simulated device of TREE; sets device_pid and device_port. Its output goes to FILE.
start_device() {
  local program=$1 output=$2
  "$program" >"$output" 2>&1 &
  device_pid=$!
  children+=("$device_pid")
  device_port=
  for _ in $(seq 100); do
    device_port=$(sed -n 's/^Port: //p' "$output" | head -n 1)
    [[ -n $device_port ]] && return 0
    kill -0 "$device_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "The simulated device did not start:"
  cat "$output"
  exit 1
}

stop_device() {
  kill -INT "$device_pid"
  local status=0
  wait "$device_pid" || status=$?
  check "the device stops cleanly on SIGINT (status $status)" test "$status" -eq 0
}

configure_and_build() {  # SOURCE BUILD CMAKE_ARGS...
  local source=$1 build=$2
  shift 2
  if ! "$cmake" -S "$source" -B "$build" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" "$@" >"$build.configure.log" 2>&1; then
    cat "$build.configure.log"
    return 1
  fi
  grep -E '^-- (Consumer|Quorvel)' "$build.configure.log" || true
  if ! "$cmake" --build "$build" -j2 >"$build.build.log" 2>&1; then
    cat "$build.build.log"
    return 1
  fi
}

# --- tree -------------------------------------------------------------------------------------
cmd_tree() {
  local source=$1 tree=$2
  shift 2
  mkdir -p "$tree"
  configure_and_build "$source" "$tree" "$@" || { echo "The tree did not build."; exit 1; }
  echo "built $tree"
}

# --- consumer ---------------------------------------------------------------------------------
needs_quorvel_so() {  # FILE: true when FILE's dynamic section names the shared Quorvel library
  readelf -d "$1" | grep -q 'NEEDED.*\[libquorvel\.so'
}

# Every class and free function that the installed headers declare and the library defines is
# exported from the shared library, and nothing else of the library is.
check_exports() {
  local include=$1 shared=$2 static=$3
  local exported defined types namespaces functions missing=() leaked=()
  exported=$(nm -DC --defined-only "$shared" | sed -n 's/^[0-9a-f]* [TWVDBRiu] //p' | grep '^Quorvel::' || true)
  # Strong definitions only: inline functions (weak) are compiled into the user's program.
  defined=$(nm -C --defined-only "$static" 2>/dev/null | sed -n 's/^[0-9a-f]* T //p' | grep '^Quorvel::' | sort -u || true)
  # What the installed headers define at namespace level (not what they only declare, like the
  # connection's private worker class): classes and structs, and free functions (this code base
  # does not indent namespace members).
  types=$(cat "$include"/*.h | sed -nE 's/^(class|struct) (QUORVEL_EXPORT )?([A-Za-z_][A-Za-z0-9_]*)[^;]*$/\3/p' | sort -u)
  namespaces=$(cat "$include"/*.h | sed -nE 's/^namespace ([A-Za-z_][A-Za-z0-9_:]*) \{.*/\1/p' | tr ':' '\n' | grep . | sort -u)
  functions=$(cat "$include"/*.h | sed -nE \
    's/^(\[\[[a-z]+\]\] )?(QUORVEL_EXPORT )?([A-Za-z_][A-Za-z0-9_:<>,]*[ *&]+)+([A-Za-z_][A-Za-z0-9_]*)\(.*/\4/p' | sort -u)
  # A symbol is public when it is a member of a public class or a public free function;
  # MainThread::Detail is the framework's own.
  is_public() {
    local scope=${1%%(*}
    scope=${scope%%\[abi*}
    local rest=${scope#Quorvel::} owner=
    local last=${rest##*::}
    [[ $rest == *::* ]] && { owner=${rest%::*}; owner=${owner##*::}; }
    [[ $rest == *Detail::* ]] && return 1
    if [[ -n $owner ]]; then
      grep -qx -- "$owner" <<<"$types" && return 0
      # A member of a class that the headers do not define is private, whatever its name.
      grep -qx -- "$owner" <<<"$namespaces" || return 1
    fi
    grep -qx -- "$last" <<<"$functions"
  }
  local name
  while IFS= read -r name; do
    [[ -z $name ]] && continue
    if is_public "$name" && ! grep -qF -- "${name%%(*}" <<<"$exported"; then missing+=("${name%%(*}"); fi
  done <<<"$defined"
  while IFS= read -r name; do
    [[ -z $name ]] && continue
    is_public "$name" || leaked+=("$name")
  done <<<"$exported"
  check "every public class and function is exported (${#missing[@]} missing: ${missing[*]:0:5})" test ${#missing[@]} -eq 0
  check "nothing private is exported (${#leaked[@]} leaked: ${leaked[*]:0:5})" test ${#leaked[@]} -eq 0
}

run_consumer() {  # PROGRAM DEVICE LABEL
  local program=$1 device=$2 label=$3 output
  start_device "$device" "$work/device-$label.out"
  output=$("$program" "$device_port" 2>&1) && status=0 || status=$?
  echo "$output" | sed 's/^/    /'
  check "$label: the consumer's checks pass (status $status)" test "$status" -eq 0
  sleep 0.2
  check "$label: the device shows the line" grep -q "│Consumer OK         │" "$work/device-$label.out"
  stop_device
}

cmd_consumer() {
  local tree=$1
  work=$2
  fresh_dir "$work"
  local prefix=$work/prefix
  for component in Runtime Development; do
    "$cmake" --install "$tree" --prefix "$prefix" --component "$component" >/dev/null
  done
  local libdir
  libdir=$(library_dir "$prefix")
  local shared=$libdir/libquorvel.so
  local type=static
  [[ -e $shared ]] && type=shared
  echo "installed the $type library in $libdir"
  local headers
  headers=$(cd "$prefix/include/Quorvel" && ls ./*.h | sed 's|^\./||' | paste -sd ';')

  if [[ $type == shared ]]; then
    local soname
    soname=$(readelf -d "$libdir/libquorvel.so.0.2.0" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
    check "the shared library's SONAME is libquorvel.so.0.2 ($soname)" test "$soname" = libquorvel.so.0.2
    check "libquorvel.so and libquorvel.so.0.2 lead to it" test "$(readlink -f "$shared")" = "$(readlink -f "$libdir/libquorvel.so.0.2.0")"
    if [[ -e $libdir/libquorvel.a ]]; then
      check_exports "$prefix/include/Quorvel" "$libdir/libquorvel.so.0.2.0" "$libdir/libquorvel.a"
    fi
  fi

  # Through the CMake package, compiling every installed header on its own too.
  if configure_and_build "$here/consumer" "$work/find-package" -DCMAKE_PREFIX_PATH="$prefix" "-DHEADERS=$headers"; then
    ok "find_package: the consumer builds, and each installed header compiles on its own"
    if [[ $type == shared ]]; then
      check "find_package: the consumer's shared library uses libquorvel.so" needs_quorvel_so "$work/find-package/libdisplay_writer.so"
    else
      check "find_package: the consumer's shared library holds the static library" \
        bash -c "! readelf -d '$work/find-package/libdisplay_writer.so' | grep -q libquorvel"
    fi
    run_consumer "$work/find-package/consumer" "$tree/tools/dorvane-device" find_package
  else
    fail "find_package: the consumer does not build"
  fi

  # Through pkg-config.
  if PKG_CONFIG_PATH=$libdir/pkgconfig configure_and_build "$here/consumer" "$work/pkg-config" -DUSE_PKG_CONFIG=ON; then
    ok "pkg-config: the consumer builds"
    run_consumer "$work/pkg-config/consumer" "$tree/tools/dorvane-device" pkg-config
  else
    fail "pkg-config: the consumer does not build"
  fi

  # Both types side by side: COMPONENTS static picks the static one.
  if [[ $type == shared && -e $libdir/libquorvel.a ]]; then
    if configure_and_build "$here/consumer" "$work/static-component" -DCMAKE_PREFIX_PATH="$prefix" -DQUORVEL_COMPONENT=static; then
      check "COMPONENTS static: the consumer holds the static library, not libquorvel.so" \
        bash -c "! readelf -d '$work/static-component/libdisplay_writer.so' | grep -q libquorvel"
      run_consumer "$work/static-component/consumer" "$tree/tools/dorvane-device" static-component
    else
      fail "COMPONENTS static: the consumer does not build"
    fi
  fi

  # The examples, copied as they are, build against the install.
  if [[ -d $here/../../examples ]]; then
    if configure_and_build "$here/../../examples" "$work/examples" -DCMAKE_PREFIX_PATH="$prefix"; then
      ok "the examples build against the installed library"
    else
      fail "the examples do not build against the installed library"
    fi
  fi

  # Asking for a version that this one does not satisfy fails at configure time.
  mkdir -p "$work/too-new"
  printf 'cmake_minimum_required(VERSION 3.25)\nproject(TooNew CXX)\nfind_package(Quorvel 0.3 CONFIG REQUIRED)\n' >"$work/too-new/CMakeLists.txt"
  check "find_package(Quorvel 0.3) is refused by 0.2" \
    bash -c "! '$cmake' -S '$work/too-new' -B '$work/too-new/build' -DCMAKE_PREFIX_PATH='$prefix' >/dev/null 2>&1"
  finish
}

# --- headers ----------------------------------------------------------------------------------
standard_headers=" algorithm any array atomic barrier bit bitset cassert cctype cerrno cfloat charconv chrono
  cinttypes climits clocale cmath compare complex concepts condition_variable coroutine csetjmp csignal
  cstdarg cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype deque exception execution
  filesystem format forward_list fstream functional future initializer_list iomanip ios iosfwd iostream
  istream iterator latch limits list locale map memory memory_resource mutex new numbers numeric optional
  ostream queue random ranges ratio regex scoped_allocator semaphore set shared_mutex source_location
  span sstream stack stdexcept stop_token streambuf string string_view syncstream system_error thread
  tuple type_traits typeindex typeinfo unordered_map unordered_set utility valarray variant vector version "
standard_headers=" $(echo $standard_headers) "

# Prints what is wrong with the headers in DIR: an include of a header that is not there, of a
# private or platform header, or of anything but the C++ standard library.
header_problems() {
  local dir=$1 header line target
  for header in "$dir"/*.h; do
    while IFS= read -r line; do
      if [[ $line =~ ^#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]]; then
        target=${BASH_REMATCH[1]}
        if [[ $target == */* ]]; then
          echo "$(basename "$header") includes \"$target\", a private or platform header"
        elif [[ ! -f $dir/$target ]]; then
          echo "$(basename "$header") includes \"$target\", which is not installed"
        fi
      elif [[ $line =~ ^#[[:space:]]*include[[:space:]]*\<([^\>]+)\> ]]; then
        target=${BASH_REMATCH[1]}
        if [[ $target == Quorvel/* ]]; then
          [[ -f $dir/${target#Quorvel/} ]] || echo "$(basename "$header") includes <$target>, which is not installed"
        elif [[ $standard_headers != *" $target "* ]]; then
          echo "$(basename "$header") includes <$target>: the public API must not reach the operating system"
        fi
      fi
    done <"$header"
  done
}

cmd_headers() {
  local tree=$1 headers_file=$3
  work=$2
  fresh_dir "$work"

  # The check itself finds each kind of fault.
  local sample=$work/sample
  mkdir -p "$sample"
  printf '#include <vector>\n#include "Other.h"\n' >"$sample/Good.h"
  printf '#include <cstdint>\n' >"$sample/Other.h"
  check "the header check passes good headers" test -z "$(header_problems "$sample")"
  local bad
  for bad in '#include "Ring.h"' '#include "platform/Event.h"' '#include <unistd.h>' '#include <Quorvel/Missing.h>'; do
    printf '%s\n' "$bad" >"$sample/Bad.h"
    check "the header check refuses: $bad" test -n "$(header_problems "$sample")"
  done

  local prefix=$work/prefix
  "$cmake" --install "$tree" --prefix "$prefix" --component Development >/dev/null
  local include=$prefix/include/Quorvel problems
  problems=$(header_problems "$include")
  [[ -n $problems ]] && echo "$problems"
  check "the installed headers include only installed headers and the C++ standard library" test -z "$problems"
  local installed expected
  installed=$(cd "$include" && ls | sort)
  expected=$(sort "$headers_file")
  check "exactly the public headers are installed" test "$installed" = "$expected"
  [[ $installed == "$expected" ]] || diff <(echo "$expected") <(echo "$installed") || true
  check "nothing else lies under include/" test "$(ls "$prefix/include")" = Quorvel
  finish
}

# --- debian -----------------------------------------------------------------------------------
deb_lists() {  # DEB: its paths, one a line, "path -> target" for links
  dpkg-deb -c "$1" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' | sed 's|^\./|/|'
}

expect_in() {  # LIST PATH
  grep -qxF -- "$2" <<<"$1"
}

cmd_debian() {
  local tree=$1 headers_file=$3
  work=$2
  fresh_dir "$work"
  (cd "$tree" && cpack -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
  local multiarch
  multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
  local lib=/usr/lib/$multiarch
  local runtime dev utility
  runtime=$(ls "$work"/libquorvel0.2_*.deb)
  dev=$(ls "$work"/libquorvel-dev_*.deb)
  utility=$(ls "$work"/dorvane_*.deb 2>/dev/null || true)

  local files
  files=$(deb_lists "$runtime")
  echo "$(basename "$runtime"):"
  sed 's/^/    /' <<<"$files"
  check "runtime: the shared library" expect_in "$files" "$lib/libquorvel.so.0.2.0"
  check "runtime: its SONAME link" expect_in "$files" "$lib/libquorvel.so.0.2 -> libquorvel.so.0.2.0"
  check "runtime: the copyright file" expect_in "$files" "/usr/share/doc/libquorvel0.2/copyright"
  check "runtime: nothing for development (headers, libquorvel.so, libquorvel.a)" \
    bash -c "! grep -qE '^/usr/include|libquorvel\.so( |$)|\.a$' <<<'$files'"
  check "runtime: declares its shared library (shlibs)" \
    bash -c "dpkg-deb -I '$runtime' shlibs | grep -qx 'libquorvel 0.2 libquorvel0.2 (= 0.2.0)'"

  files=$(deb_lists "$dev")
  echo "$(basename "$dev"):"
  sed 's/^/    /' <<<"$files"
  local header missing=()
  while IFS= read -r header; do
    expect_in "$files" "/usr/include/Quorvel/$header" || missing+=("$header")
  done <"$headers_file"
  check "dev: every public header under /usr/include/Quorvel (missing: ${missing[*]})" test ${#missing[@]} -eq 0
  check "dev: no other header" test "$(grep -c '^/usr/include/Quorvel/.*\.h$' <<<"$files")" -eq "$(wc -l <"$headers_file")"
  check "dev: the static library" expect_in "$files" "$lib/libquorvel.a"
  check "dev: the link-time name" expect_in "$files" "$lib/libquorvel.so -> libquorvel.so.0.2"
  local cmake_file
  for cmake_file in QuorvelConfig.cmake QuorvelConfigVersion.cmake QuorvelSharedTargets.cmake QuorvelStaticTargets.cmake; do
    check "dev: $cmake_file" expect_in "$files" "$lib/cmake/Quorvel/$cmake_file"
  done
  check "dev: quorvel.pc" expect_in "$files" "$lib/pkgconfig/quorvel.pc"
  check "dev: quorvel.pc names /usr as its prefix" \
    bash -c "dpkg-deb --fsys-tarfile '$dev' | tar -xO .$lib/pkgconfig/quorvel.pc | grep -qx 'prefix=/usr'"
  check "dev: depends on exactly this runtime" \
    bash -c "dpkg-deb -f '$dev' Depends | grep -qF 'libquorvel0.2 (= 0.2.0)'"

  if [[ -n $utility ]]; then
    files=$(deb_lists "$utility")
    echo "$(basename "$utility"):"
    sed 's/^/    /' <<<"$files"
    local path
    for path in /usr/bin/dorvane /usr/bin/dorvane-device /usr/bin/quorvel-scan /usr/bin/quorvel-gateway \
        /usr/share/applications/dorvane.desktop /usr/share/icons/hicolor/scalable/apps/dorvane.svg \
        /usr/share/man/man1/dorvane.1.gz /usr/share/man/man1/dorvane-device.1.gz /usr/share/man/man1/quorvel-scan.1.gz \
        /usr/share/man/man1/quorvel-gateway.1.gz /usr/share/doc/dorvane/copyright; do
      check "utility: $path" expect_in "$files" "$path"
    done
    check "utility: the manuals are gzip files that man can read" bash -c \
      "dpkg-deb --fsys-tarfile '$utility' | tar -xO ./usr/share/man/man1/dorvane.1.gz | gzip -dc | grep -q '^\.TH DORVANE 1'"
    local depends
    depends=$(dpkg-deb -f "$utility" Depends)
    echo "    Depends: $depends"
    for package in libqt6widgets6 libqt6gui6 libqt6core6 libquorvel0.2; do
      check "utility: depends on $package" grep -qE "(^|, )$package( |,|$)" <<<"$depends"
    done
  else
    fail "no utility package (was the tree built with Qt?)"
  fi
  # Debian's places only: nothing under /usr/local, /opt or a build folder.
  local all
  all=$(for deb in "$work"/*.deb; do deb_lists "$deb"; done)
  check "every file lies in /usr/bin, /usr/include, $lib or /usr/share" \
    bash -c "! grep -vE '^/usr/(bin|include|lib|share)?/?\$|^/usr/(bin|include)/|^$lib(/|\$)|^/usr/lib/\$|^/usr/share/(doc|man|applications|icons)(/|\$)|^/usr/share/\$' <<<'$all'"
  finish
}

# --- examples ---------------------------------------------------------------------------------
cmd_examples() {
  local bin=$1
  work=$2
  fresh_dir "$work"
  local client=$bin/quorvel-client server=$bin/quorvel-server console=$bin/quorvel-console

  coproc LINE { /usr/bin/python3 "$here/PtyPair.py"; }
  children+=("$LINE_PID")
  local a b word
  read -r word a <&"${LINE[0]}"
  read -r word b <&"${LINE[0]}"
  "$server" --parity none "$b" >"$work/server.out" 2>&1 &
  local server_pid=$!
  children+=("$server_pid")
  for _ in $(seq 50); do
    grep -q '^Serving' "$work/server.out" && break
    sleep 0.1
  done

  run() {  # EXPECTED_STATUS EXPECTED_OUTPUT ARGS...: the client's status and first line of output
    local status_wanted=$1 wanted=$2 output status
    shift 2
    output=$("$client" "$@" 2>&1) && status=0 || status=$?
    check "quorvel-client $* -> $status '${output%%$'\n'*}'" \
      test "$status" -eq "$status_wanted" -a "${output%%$'\n'*}" = "$wanted"
  }
  run 0 "10 20 30" --parity none "$a" write-registers 10 10 20 0x1E
  run 0 "10 20 30 0" --parity none "$a" read-holding 10 4
  run 0 "50 60" --parity none "$a" read-input 5 2
  run 0 "0 1 0 1" --parity none "$a" read-discrete 0 4
  run 0 "1" --parity none "$a" write-coil 3 1
  run 0 "0 0 0 1" --parity none "$a" read-coils 0 4
  run 1 "quorvel-client: server 1 answered with exception 2 (Illegal data address)" --parity none "$a" read-holding 99 2
  run 1 "quorvel-client: no reply from server 7 within 300 ms" --parity none --address 7 --timeout 300 "$a" read-coils 0 1
  run 1 "quorvel-client: /dev/quorvel-no-such-port: Could not open serial port" /dev/quorvel-no-such-port read-coils 0 1
  run 2 "quorvel-client: unknown command 'read-everything'" "$a" read-everything
  run 2 "quorvel-client: --parity: 'mark' is not none, odd or even" --parity mark "$a" read-coils 0 1
  check "quorvel-server printed the writes" grep -qx 'Holding registers 10..12 written: 10 20 30' "$work/server.out"
  # The poller: one coroutine for the server there and one for a server that is not; both end.
  local poll=$bin/quorvel-poll polled
  if [[ -x $poll ]]; then
    polled=$("$poll" --parity none --timeout 300 --rounds 2 "$a" 10 3 1 9 2>&1)
    check "quorvel-poll read server 1 twice" test "$(grep -cx 'server 1, round [12]: 10 20 30' <<<"$polled")" -eq 2
    check "quorvel-poll found no server 9" test "$(grep -cx 'server 9, round [12]: no reply' <<<"$polled")" -eq 2
  fi

  local console_output
  console_output=$(printf 'write 20 7 8\nread 20 2\nbogus\nquit\n' | "$console" --parity none "$a" 2>&1)
  echo "$console_output" | sed 's/^/    /'
  check "quorvel-console: wrote and read back through its event loop" \
    bash -c "grep -q 'written 20..21: 7 8' <<<'$console_output' && grep -q 'read 20..21: 7 8' <<<'$console_output'"

  kill -INT "$server_pid"
  local status=0
  wait "$server_pid" || status=$?
  check "quorvel-server stops on Ctrl-C (status $status)" test "$status" -eq 0
  check "quorvel-server said so" grep -qx 'Stopped.' "$work/server.out"
  finish
}

# --- the README's run command ---------------------------------------------------------------
# scripts/run.sh without a display, on TREE's programs: it starts the device, reads its port and
# runs the utility's demo, which sends both lines; the device shows them. Once as it is, and once
# with a tee that starts late (as on a loaded machine), so that the script reads the device's
# output before tee has made the file.
cmd_run_script() {
  local source=$1 tree=$2
  work=$3
  fresh_dir "$work"
  mkdir "$work/late-tee"
  printf '#!/bin/sh\nsleep 0.5\nexec /usr/bin/tee "$@"\n' >"$work/late-tee/tee"
  chmod +x "$work/late-tee/tee"
  local run path status
  for run in plain late-tee; do
    path=$PATH
    [[ $run == late-tee ]] && path=$work/late-tee:$PATH
    status=0
    env -u DISPLAY -u WAYLAND_DISPLAY PATH="$path" QUORVEL_RUN_PROGRAMS="$tree" \
      "$source/scripts/run.sh" >"$work/$run.out" 2>&1 || status=$?
    sed 's/^/    /' "$work/$run.out"
    check "run.sh ($run) ends well (status $status)" test "$status" -eq 0
    check "run.sh ($run): the device shows line 1" grep -q '│  Demo do Dorvane   │' "$work/$run.out"
    check "run.sh ($run): the device shows line 2" grep -q '│Linha 2: teste OK   │' "$work/$run.out"
  done
  finish
}

command=$1
shift
"cmd_${command//-/_}" "$@"
