#!/usr/bin/env bash
# Runs Debian's pcscd in the foreground with the zarq7 reader handler (builds it first, see
# build.sh), on a private socket: pcscd gets a mount namespace of its own in which a scratch
# folder stands at /run/pcscd, so it never meets a system pcscd. Clients find it through
# PCSCLITE_CSOCK_NAME=FOLDER/pcscd.comm (printed at start); zarq7-card finds the handler's control
# sockets in the same folder. Ctrl-C stops it.
#   scripts/pcscd.sh [--dir FOLDER] [--reader DEVICE]... [--vpcd PORT]... [-- PCSCD_OPTION...]
# --reader adds a reader served by our handler; DEVICE is its device name (pcsc/device_spec.h:
# builtin, t0, none, vicc,port=PORT, with ,rate=BPS and ,seed=N); one built-in reader when no
# reader is given. --vpcd adds a reader of Debian's vsmartcard vpcd driver listening on PORT, for
# comparison. --dir uses FOLDER (kept afterwards) instead of a scratch folder. ZARQ7_IFD=path runs
# that handler instead of building one.
set -euo pipefail
# Ctrl-C at any moment stops it: before pcscd runs it is remembered (see stop below).
stopping=false
trap 'stopping=true' INT TERM
# A handler or a folder named relative to where the script was started from.
handler=${ZARQ7_IFD:+$(realpath -m "$ZARQ7_IFD")}
vpcd_library=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
folder=
readers=()
vpcds=()
pcscd_options=()
usage() {
  cat <<'TEXT'
usage: scripts/pcscd.sh [--dir FOLDER] [--reader DEVICE]... [--vpcd PORT]... [-- PCSCD_OPTION...]
Runs Debian's pcscd in the foreground with the zarq7 reader handler, on a private socket (its
first lines say where; Ctrl-C stops it).
  --reader DEVICE  a reader served by the handler (one builtin reader when none is given):
                   builtin, t0, none or vicc,port=PORT, then ,rate=BPS (9600 19200 28800 38400
                   57600 115200) ,seed=N ,control=PATH  (example: --reader builtin,rate=115200)
  --vpcd PORT      a reader of Debian's vsmartcard vpcd driver listening on PORT, for comparison
  --dir FOLDER     pcscd's folder (socket, reader configuration), kept afterwards
  -- OPTION...     passed to pcscd (for example -- --debug)
ZARQ7_IFD=path runs that handler instead of building one.
TEXT
}
fail() { echo "pcscd.sh: $*" >&2; exit 2; }
# A reader's device name as the handler reads it (pcsc/device_spec.h), checked before pcscd
# starts: a name the handler refuses would leave pcscd running without that reader.
check_reader() {
  local name=$1 card option key value port=
  card=${name%%,*}
  card=${card#zarq7:}
  [[ $card =~ ^(builtin|t0|none|vicc)$ ]] ||
    fail "--reader \"$name\": unknown card \"$card\" (use builtin, t0, none or vicc,port=PORT)"
  [[ $name == *,* ]] || name+=,
  IFS=, read -ra options <<<"${name#*,}"
  for option in "${options[@]}"; do
    key=${option%%=*}
    value=${option#*=}
    [[ $option == *=* && -n $value ]] || fail "--reader \"$1\": \"$option\" is not KEY=VALUE"
    case $key in
      rate) [[ $value =~ ^(9600|19200|28800|38400|57600|115200)$ ]] ||
        fail "--reader \"$1\": the reader has no rate $value (9600 19200 28800 38400 57600 115200)" ;;
      seed) [[ $value =~ ^[0-9]+$ ]] || fail "--reader \"$1\": seed is not a number" ;;
      port) [[ $value =~ ^[0-9]+$ ]] && ((value >= 1 && value <= 65535)) ||
        fail "--reader \"$1\": port is not a port number"
        port=$value ;;
      control) ;;
      *) fail "--reader \"$1\": unknown option \"$key\" (rate=, seed=, port=, control=)" ;;
    esac
  done
  [[ $card != vicc || -n $port ]] || fail "--reader \"$1\": vicc needs port=PORT"
  [[ $card == vicc || -z $port ]] || fail "--reader \"$1\": port= is for vicc only"
}
while (($#)); do
  case $1 in
    --help | -h) usage; exit 0 ;;
    --dir | --reader | --vpcd) (($# >= 2)) || fail "$1 needs a value (see --help)" ;;&
    --dir) folder=$(realpath -m "$2"); shift 2 ;;
    --reader) check_reader "$2"; readers+=("$2"); shift 2 ;;
    --vpcd) [[ $2 =~ ^[0-9]+$ ]] || fail "--vpcd needs a port number, not \"$2\""
      vpcds+=("$2"); shift 2 ;;
    --) shift; pcscd_options=("$@"); break ;;
    *) fail "unknown argument \"$1\" (see --help)" ;;
  esac
done
((${#readers[@]} + ${#vpcds[@]})) || readers=(builtin)
cd "$(dirname "$0")/.."
command -v pcscd >/dev/null || { echo "pcscd.sh: pcscd is not installed (Debian package pcscd)" >&2; exit 1; }
if [[ -z $handler ]]; then
  source scripts/build_quietly.sh
  build_quietly pcscd.sh pcsc/libzarq7_ifd.so zarq7_ifd zarq7-card
  handler=$PWD/$(scripts/build_folder.sh)/pcsc/libzarq7_ifd.so
fi
[[ -f $handler ]] || { echo "pcscd.sh: no handler at $handler" >&2; exit 1; }
if ((${#vpcds[@]})) && [[ ! -e $vpcd_library ]]; then
  echo "pcscd.sh: $vpcd_library is missing (Debian package vsmartcard-vpcd)" >&2
  exit 1
fi

scratch=false
if [[ -z $folder ]]; then
  folder=$(mktemp -d /tmp/zarq7-pcscd-XXXXXX)
  scratch=true
fi
mkdir -p "$folder"
folder=$(realpath "$folder")
# pcscd reads every file of a folder of reader configurations.
conf=$folder/reader.conf.d
mkdir -p "$conf"
conf_file=$conf/readers
: >"$conf_file"
for i in "${!readers[@]}"; do
  printf 'FRIENDLYNAME "Zarq7 USBTESK%d"\nDEVICENAME "zarq7:%s"\nLIBPATH %s\n\n' "$i" \
    "${readers[i]}" "$handler" >>"$conf_file"
done
for port in "${vpcds[@]}"; do
  printf 'FRIENDLYNAME "Virtual PCD %d"\nDEVICENAME /dev/null:0x%X\nLIBPATH %s\nCHANNELID 0x%X\n\n' \
    "$port" "$port" "$vpcd_library" "$port" >>"$conf_file"
done

echo "pcscd.sh: pcscd on $folder/pcscd.comm; in another shell:" >&2
echo "  export PCSCLITE_CSOCK_NAME=$folder/pcscd.comm" >&2
echo "  pcsc_scan; opensc-tool --list-readers; $(dirname "$handler")/zarq7-card status" >&2

# As root the mount namespace is ours to make; otherwise a user namespace makes us root in it.
# Inside, /run/pcscd is the folder (a tmpfs over /run first when /run/pcscd does not exist).
namespace=(unshare --mount --propagation private)
[[ $(id -u) -eq 0 ]] || namespace=(unshare --map-root-user --mount --propagation private)
inside='if [ ! -d /run/pcscd ] && ! mkdir -p /run/pcscd 2>/dev/null; then
  mount -t tmpfs tmpfs /run && mkdir /run/pcscd; fi
mount --bind "$1" /run/pcscd && shift && exec pcscd --foreground "$@"'
# SIGINT, not SIGTERM: pcscd ends at once on SIGTERM, without closing its readers.
pcscd=
stop() {
  stopping=true
  [[ -z $pcscd ]] || kill -INT "$pcscd" 2>/dev/null || true
}
trap stop INT TERM
# pcscd's main thread can miss a SIGINT: woken from select by it, it waits a millisecond for its
# signal thread to note the stop and goes back to select when that thread has not run yet (a
# busy computer). A connection to its socket wakes it again; one that comes while it closes its
# readers waits unanswered, harmlessly.
wake() {
  /usr/bin/python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(1)
s.connect(sys.argv[1])' "$folder/pcscd.comm" 2>/dev/null || true
}
# Stopped before pcscd was started: nothing to stop.
if $stopping; then
  $scratch && rm -rf "$folder"
  exit 0
fi
# pcscd in a process group of its own that does not ignore SIGINT (job control on): signals reach
# it through this script alone.
set -m
"${namespace[@]}" sh -c "$inside" sh "$folder" --config "$conf" "${pcscd_options[@]}" &
set +m
pcscd=$!
# pcscd removes its own pid file as soon as it starts to stop: this one stays for a last resort.
echo "$pcscd" >"$folder/pcscd.sh.pid"
! $stopping || stop
while kill -0 "$pcscd" 2>/dev/null; do
  if $stopping; then
    wake
    sleep 0.5
  else
    wait "$pcscd" || true
  fi
done
status=0
wait "$pcscd" || status=$?
# pcscd's exit status after a SIGINT is 1 even when it closed its readers and ended normally (only
# its SIGTERM and auto-exit paths set 0): that is the stop this script asked for.
if $stopping && ((status == 1)); then status=0; fi
$scratch && rm -rf "$folder"
exit "$status"
