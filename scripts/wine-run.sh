#!/usr/bin/env bash
# Runs a Windows program under Wine and exits with its exit code.
#
#   scripts/wine-run.sh [-t SECONDS] PROGRAM.exe [ARGS...]
#
# Standard input, output and error pass through. Without CORVEX_WINEPREFIX a
# throw-away prefix is made and removed; with it, that prefix is made once
# (first use) and reused, so a whole test run pays for `wineboot -i` only once:
# about 6 s on a 2-core machine, 11-14 s until the prefix is settled and ready,
# and one to two minutes more for its 32-bit half when 32-bit Wine runs under
# qemu.
# A reused prefix keeps whatever earlier programs left in it: callers reset
# their own folders.
#
# Prefixes are 64-bit. A 32-bit program (the release) runs in them as it
# does on 64-bit Windows, under WOW64: Debian's wine32:i386 supplies the
# 32-bit loader, and the prefix gets its syswow64 folder when it is made.
# On a kernel without 32-bit support that loader runs under qemu-i386
# (scripts/setup.sh registers it). Most of a 32-bit start there is qemu
# setting up the guest's address space: Wine reserves what lies above
# 2 GiB, and qemu keeps flags for every page of it, so each 16 MiB above
# 2 GiB costs about a second per start. The guest gets 2 GiB and 16 MiB:
# all a program without the large-address flag may use, and at 2 GiB
# exactly the loader has no room and fails at once. A trivial program then
# starts in about 3 s, not 9.
#
# Environment:
#   CORVEX_WINEPREFIX     prefix to make on first use and reuse afterwards
#   CORVEX_WINE_TIMEOUT   seconds the program may run (default 600; -t wins)
#   CORVEX_WINEBOOT_TIMEOUT  seconds for making a prefix (default 900)
#   CORVEX_WINE_VERBOSE   non-empty: say how long making the prefix took
#   CORVEX_WINE_IDLE      seconds without CPU use in the prefix after which
#                         the run counts as stalled and is stopped like one
#                         past its time (default 30; 0: never)
#   CORVEX_WINEDLLOVERRIDES  more WINEDLLOVERRIDES entries for the program
set -u

limit=${CORVEX_WINE_TIMEOUT:-600}
if [ "${1:-}" = "-t" ]; then
  limit=${2:?-t needs a number of seconds}
  shift 2
fi
if [ $# -lt 1 ]; then
  echo "usage: $0 [-t SECONDS] PROGRAM.exe [ARGS...]" >&2
  exit 2
fi
exe=$1
shift
if [ ! -f "$exe" ]; then
  echo "wine-run: no such program: $exe" >&2
  exit 2
fi

export WINEDEBUG=-all
# No Mono or Gecko installers, and no window: there is no display.
# CORVEX_WINEDLLOVERRIDES adds the caller's own, e.g. "icacls.exe=n" to
# prefer a stand-in placed in the prefix over Wine's built-in program.
export WINEDLLOVERRIDES="mscoree,mshtml=${CORVEX_WINEDLLOVERRIDES:+;$CORVEX_WINEDLLOVERRIDES}"
unset DISPLAY WAYLAND_DISPLAY

# The machine field of the PE header picks the loader.
pe_machine() {
  local offset
  offset=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$offset" ] || return 0
  od -An -t x2 -j $((offset + 4)) -N 2 "$1" 2>/dev/null | tr -d ' '
}
# Debian's /usr/bin/wine picks the 32-bit loader whenever wine32 is
# installed, and wineboot goes through it: both loaders are named here.
wine64_bin=/usr/lib/wine/wine64
[ -x "$wine64_bin" ] || wine64_bin=$(command -v wine64 || echo wine)
wine32_bin=/usr/lib/wine/wine
wineserver_bin=/usr/lib/wine/wineserver
[ -x "$wineserver_bin" ] || wineserver_bin=$(command -v wineserver || echo wineserver)
export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0x81000000}
# True when 32-bit Windows programs can run: the loader is installed and
# this kernel (or qemu through binfmt_misc) runs it.
wine32_usable() { [ -x "$wine32_bin" ] && "$wine32_bin" --version >/dev/null 2>&1; }
case "$(pe_machine "$exe")" in
  8664) loader=$wine64_bin ;;
  14c)
    loader=$wine32_bin
    if ! wine32_usable; then
      echo "wine-run: $exe is a 32-bit program and 32-bit Wine cannot run here (see scripts/setup.sh)" >&2
      exit 126
    fi
    ;;
  *) loader=$wine64_bin ;;
esac

# Users' Desktop, Documents and the like are links to $HOME in a new prefix;
# programs under test must write into the prefix, not the real home.
unlink_user_folders() {
  local link
  while IFS= read -r -d '' link; do
    rm -f "$link" && mkdir -p "$link"
  done < <(find "$1/drive_c/users" -mindepth 2 -maxdepth 2 -type l -print0 2>/dev/null)
}

make_prefix() {
  local prefix=$1 started elapsed
  mkdir -p "$prefix"
  started=$(date +%s)
  # The 64-bit wineboot makes a 64-bit prefix and fills syswow64 through
  # the 32-bit loader when that one can run.
  if ! WINEPREFIX="$prefix" timeout "${CORVEX_WINEBOOT_TIMEOUT:-900}" "$wine64_bin" wineboot -i </dev/null >/dev/null 2>&1; then
    echo "wine-run: wineboot -i failed in $prefix" >&2
    return 1
  fi
  # Let the first boot finish writing the registry before anyone uses it.
  WINEPREFIX="$prefix" timeout 300 "$wineserver_bin" -w </dev/null >/dev/null 2>&1
  elapsed=$(($(date +%s) - started))
  unlink_user_folders "$prefix"
  if [ ! -d "$prefix/drive_c/windows/system32" ]; then
    echo "wine-run: $prefix has no drive_c/windows/system32 after wineboot" >&2
    return 1
  fi
  if wine32_usable && [ ! -f "$prefix/drive_c/windows/syswow64/kernel32.dll" ]; then
    echo "wine-run: $prefix has no 32-bit system folder (syswow64) after wineboot" >&2
    return 1
  fi
  touch "$prefix/.corvex-ready"
  # Quiet by default: callers compare what the program prints.
  if [ -n "${CORVEX_WINE_VERBOSE:-}" ]; then
    echo "wine-run: made prefix $prefix in ${elapsed}s" >&2
  fi
}

if [ -n "${CORVEX_WINEPREFIX:-}" ]; then
  # Wine takes only an absolute path.
  prefix=$(realpath -m "$CORVEX_WINEPREFIX")
  mkdir -p "$(dirname "$prefix")"
  # Parallel first uses wait for one another rather than booting twice.
  exec 9>"$prefix.lock"
  flock 9
  # Files a caller placed before the first run (scripts, a Desktop) stay;
  # wineboot fills in the rest, and finishes a prefix an earlier boot left.
  if [ ! -f "$prefix/.corvex-ready" ]; then
    make_prefix "$prefix" || exit 125
  fi
  flock -u 9
  exec 9>&-
  if [ "$loader" = "$wine32_bin" ] && [ ! -f "$prefix/drive_c/windows/syswow64/kernel32.dll" ]; then
    echo "wine-run: $prefix was made without its 32-bit half (syswow64); remove it to have it made again" >&2
    exit 125
  fi
  temp_root=
else
  temp_root=$(mktemp -d "${TMPDIR:-/tmp}/corvex-wine.XXXXXX")
  prefix=$temp_root/prefix
  cleanup() {
    WINEPREFIX="$prefix" timeout 30 "$wineserver_bin" -w </dev/null >/dev/null 2>&1 ||
      WINEPREFIX="$prefix" "$wineserver_bin" -k </dev/null >/dev/null 2>&1
    rm -rf "$temp_root"
  }
  trap cleanup EXIT
  make_prefix "$prefix" || exit 125
fi
export WINEPREFIX=$prefix

# CPU time (clock ticks) of every program of the prefix, whatever its
# parent. The server is left out: it ticks over on its own.
prefix_ticks() {
  local env_file stat fields sum=0
  for env_file in /proc/[0-9]*/environ; do
    grep -qxF -z "WINEPREFIX=$prefix" "$env_file" 2>/dev/null || continue
    stat=$(cat "${env_file%/environ}/stat" 2>/dev/null) || continue
    case $stat in *"(wineserver"*) continue ;; esac
    # After the command name (which may hold spaces): state first, then
    # utime and stime 11 and 12 fields on.
    read -ra fields <<<"${stat##*) }"
    sum=$((sum + ${fields[11]:-0} + ${fields[12]:-0}))
  done
  echo "$sum"
}

# 32-bit Wine under qemu now and then stalls for good: its processes wait
# on one another and use no CPU at all. A run whose prefix uses none for
# CORVEX_WINE_IDLE seconds is ended then instead of at its time limit; a
# program that works, or waits for a child that works, uses some.
idle_limit=${CORVEX_WINE_IDLE:-30}
stall_mark=$(mktemp "${TMPDIR:-/tmp}/corvex-stall.XXXXXX")
rm -f "$stall_mark"
watch_for_stall() {
  local last now idle=0
  last=$(prefix_ticks)
  while sleep 5; do
    now=$(prefix_ticks)
    if [ "$now" -ge "$last" ] && [ $((now - last)) -lt 2 ]; then
      idle=$((idle + 5))
    else
      idle=0
    fi
    last=$now
    if [ "$idle" -ge "$idle_limit" ]; then
      touch "$stall_mark"
      "$wineserver_bin" -k </dev/null >/dev/null 2>&1
      return
    fi
  done
}
watcher=
if [ "$idle_limit" -gt 0 ]; then
  watch_for_stall </dev/null >/dev/null 2>&1 &
  watcher=$!
fi

# timeout puts the program in a process group of its own, which a terminal
# stops as soon as it reads a key; at a terminal it must stay in front.
foreground=
[ -t 0 ] && foreground=--foreground
timeout $foreground "$limit" "$loader" "$exe" "$@"
status=$?
[ -n "$watcher" ] && kill "$watcher" 2>/dev/null && wait "$watcher" 2>/dev/null
if [ -e "$stall_mark" ]; then
  rm -f "$stall_mark"
  echo "wine-run: $exe stalled (no CPU used in its prefix for ${idle_limit}s) and was stopped" >&2
  status=124
elif [ $status -eq 124 ]; then
  echo "wine-run: $exe ran past ${limit}s and was stopped" >&2
fi
exit $status
