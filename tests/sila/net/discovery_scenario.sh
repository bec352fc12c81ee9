#!/bin/sh
# `unshare --map-root-user --net --mount sh discovery_scenario.sh ANNOUNCE_BIN DIR`: two hosts on a veth
# pair, each with its own bus and Avahi daemon. "browser" must find what "server" (this namespace)
# announces, see a copy of it refused, see it renamed and again after its daemon restarts, and gone.
set -u; PATH=$PATH:/usr/sbin:/sbin  # ip and the daemons
bin=$1 dir=$2 uuid=6a1c3e52-0f4d-4b7a-9c2e-5d8f1a2b3c4d port=50052 pids=""
cleanup() { for p in $pids; do kill "$p" 2>/dev/null; done; wait; }
trap cleanup EXIT; trap 'exit 1' INT TERM
fail() { printf 'FAIL: %s\n--- announcer:\n' "$*"; cat "$dir/announce.log"; exit 1; }
# until_ok DEADLINE_SECONDS COMMAND...: retries every 0.2 s
until_ok() { end=$(($(date +%s) + $1)); shift; while ! "$@"; do [ "$(date +%s)" -lt "$end" ] || return 1; sleep 0.2; done; }
# avahi-daemon wants its runtime directory owned by its user; only root is mapped here.
printf 'root:x:0:0::/root:/bin/sh\navahi:x:0:0::/:/bin/false\n' >"$dir/passwd"
printf 'root:x:0:\navahi:x:0:\n' >"$dir/group"
mount --bind "$dir/passwd" /etc/passwd && mount --bind "$dir/group" /etc/group || fail "cannot map the avahi user"

unshare --net --mount sleep 600 & browser=$!; pids="$browser"
in_browser="nsenter -t $browser -n -m"  # a prefix, so that $! is the program itself
apart() { [ "$(readlink /proc/$browser/ns/net)" != "$(readlink /proc/$$/ns/net)" ]; }
until_ok 5 apart || fail "no browser namespace"
ip link set lo up && ip link add va type veth peer name vb && ip link set vb netns "$browser" &&
    ip addr add 10.231.0.1/24 dev va && ip link set va up || fail "cannot set up the server's link"
$in_browser sh -c 'ip link set lo up && ip addr add 10.231.0.2/24 dev vb && ip link set vb up' || fail "no browser link"
# A bus and a daemon per host, each on a /run of its own.
printf '%s\n' '<busconfig><type>system</type><listen>unix:path=/run/dbus/system_bus_socket</listen>' \
    '<auth>EXTERNAL</auth><policy context="default"><allow user="*"/><allow own="*"/>' \
    '<allow send_destination="*"/><allow receive_sender="*"/></policy></busconfig>' >"$dir/bus.conf"
start_bus() {  # HOST IFACE [PREFIX...]
    host=$1; printf '[server]\nhost-name=%s\nuse-ipv6=no\nallow-interfaces=%s\n[wide-area]\nenable-wide-area=no\n' \
        "$1" "$2" >"$dir/$1.conf"; shift 2
    "$@" sh -c 'mount -t tmpfs tmpfs /run && mkdir /run/dbus /run/avahi-daemon' || fail "no /run for $host"
    "$@" dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile >"$dir/$host-bus.log" 2>&1 & pids="$pids $!"
    until_ok 5 "$@" test -S /run/dbus/system_bus_socket || fail "no bus for $host"
}
start_avahi() {  # HOST [PREFIX...]
    host=$1; shift
    "$@" avahi-daemon -f "$dir/$host.conf" --no-chroot --no-drop-root --no-rlimits >>"$dir/$host-avahi.log" 2>&1 &
    avahi=$!; pids="$pids $avahi"
}
start_bus server va; start_bus browser vb $in_browser; start_avahi browser $in_browser

# The announcer starts before the server's daemon and must wait for it.
mkfifo "$dir/names" && exec 3<>"$dir/names"
"$bin" "$uuid" "$port" "$dir/state" "First Name" <&3 >"$dir/announce.log" 2>&1 & announcer=$!; pids="$pids $announcer"
logged() { [ "$(grep -c "$1" "$dir/${3:-announce}.log" 2>/dev/null)" = "$2" ]; }  # PATTERN COUNT [LOG]
until_ok 10 logged "no Avahi daemon running" 1 || fail "no word of the missing daemon"
start_avahi server

browse() { $in_browser avahi-browse -rpt _sila._tcp 2>/dev/null | grep "^=;vb;IPv4;$uuid;_sila._tcp;local;" >"$dir/seen"; }
seen_with() { browse && grep -q "$1" "$dir/seen"; }
gone() { ! browse; }
until_ok 30 seen_with '"server_name=First Name"' || fail "not found with its first name: $(cat "$dir/seen")"
grep ";10.231.0.1;$port;" "$dir/seen" | grep '"version=1.0"' | grep -q '"description=Sipper under test"' ||
    fail "wrong address, port, version or description: $(cat "$dir/seen")"
# The certificate comes back whole from the ca0, ca1, ... strings.
grep -o '"ca[0-9]*=[^"]*"' "$dir/seen" | sed 's/^"ca\([0-9]*\)=\(.*\)"$/\1 \2/' | sort -n | cut -d' ' -f2- >"$dir/ca.pem"
cmp -s "$dir/ca.pem" "$dir/state/certificate.pem" || fail "ca strings differ from the certificate: $(cat "$dir/seen")"

# A copy of the server (same UUID) on the other host must leave the name to it.
mkfifo "$dir/copy" && exec 4<>"$dir/copy"
$in_browser "$bin" "$uuid" 50053 "$dir/copy-state" "Copy" <&4 >"$dir/copy.log" 2>&1 & copy=$!; pids="$pids $copy"
until_ok 30 logged "announced by another server already" 1 copy || fail "the copy did not see the name taken: $(cat "$dir/copy.log")"
echo exit >&4; wait "$copy"
# 240 a and two e-acute: cut to 255 bytes for "server_name=...", without splitting a character.
a240=$(printf '%240s' | tr ' ' a); printf '%s\303\251\303\251\n' "$a240" >&3; second="server_name=$a240\\\\195\\\\169\""
until_ok 30 seen_with ";$port;.*$second" || fail "new name not seen: $(cat "$dir/seen")"
# A restarted daemon has forgotten the service: announced again, as renamed.
kill "$avahi" && wait "$avahi"
until_ok 10 logged "went away" 1 || fail "no word of the daemon leaving"
start_avahi server
until_ok 30 logged "announced $uuid" 2 || fail "not announced again after the daemon's restart"
until_ok 30 seen_with "$second" || fail "not seen after the restart: $(cat "$dir/seen")"
echo exit >&3
wait "$announcer" || fail "announcer failed"
until_ok 30 gone || fail "still seen after withdrawal: $(cat "$dir/seen")"
echo "PASS"
