#!/usr/bin/env bash
# A single-node Ceph cluster with an S3 gateway, for the object-store tests and benchmarks:
#
#   scripts/ceph.sh start DIR   a monitor, one OSD on a file-backed BlueStore device and
#                               radosgw, all under DIR; a user with access keys and a bucket.
#                               Writes DIR/s3.env (export lines: AWS_ENDPOINT_URL,
#                               AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_REGION and
#                               ZENTRAD_TEST_S3=s3://BUCKET) once the gateway answers.
#   scripts/ceph.sh stop DIR    stops the daemons it started (by their process ids) and
#                               removes DIR's cluster data.
#   scripts/ceph.sh stop-gateway DIR, start-gateway DIR
#                               stop radosgw alone and start it again (on the same port,
#                               waiting until it answers): for tests of a store that goes
#                               out of reach in the middle of a backup.
#
# Nothing outside DIR is touched: no systemd units, no /etc/ceph, no manager daemon. Every
# daemon's key is in DIR/keyring (the cluster listens on loopback only, for one test run).
# Start exits non-zero, with the reason on standard error and the daemons stopped, when Ceph
# is not installed or does not come up within ZENTRAD_CEPH_TIMEOUT seconds (default 90).
set -euo pipefail

usage() { echo "usage: $0 start|stop|stop-gateway|start-gateway DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
action="$1"
dir="$2"

# Ports free on loopback now (the kernel picks them; a race with another process taking one
# before the daemon binds makes the start fail, not hang).
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Stops one daemon by its recorded process id: ten seconds, then killed outright.
stop_daemon() {
  local name="$1" pid
  [ -f "$dir/run/$name.pid" ] || return 0
  pid="$(cat "$dir/run/$name.pid")"
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then kill -9 "$pid" 2>/dev/null || true; fi
  rm -f "$dir/run/$name.pid"
}

stop_cluster() {
  local name
  # The gateway and the OSD first: an OSD whose monitor is gone waits out its time-out to say
  # goodbye.
  for name in client.rgw osd.0 mon.a; do
    stop_daemon "$name"
  done
  rm -rf "$dir/mon" "$dir/osd" "$dir/run" "$dir/keyring" "$dir/s3.env"
}

fail() {
  echo "ceph: $*" >&2
  if [ -d "$dir/log" ]; then
    echo "ceph: logs in $dir/log" >&2
  fi
  stop_cluster
  exit 1
}

# Runs a command in the background and records its process id for stop.
daemon() {
  local name="$1"; shift
  "$@" >>"$dir/log/$name.out" 2>&1 &
  echo $! >"$dir/run/$name.pid"
}

start_cluster() {
  for tool in ceph-mon ceph-osd radosgw radosgw-admin ceph monmaptool ceph-authtool; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/setup.sh installs it)"
  done
  local started=$SECONDS timeout="${ZENTRAD_CEPH_TIMEOUT:-90}"
  mkdir -p "$dir"
  dir="$(cd "$dir" && pwd)"
  rm -rf "$dir/mon" "$dir/osd" "$dir/run" "$dir/log"
  mkdir -p "$dir/mon" "$dir/osd/0" "$dir/run" "$dir/log"
  local mon_port rgw_port fsid
  mon_port="$(free_port)"
  rgw_port="$(free_port)"
  fsid="$(python3 -c 'import uuid; print(uuid.uuid4())')"
  cat >"$dir/ceph.conf" <<EOF
[global]
fsid = $fsid
mon host = v2:127.0.0.1:$mon_port
public addr = 127.0.0.1
ms bind msgr1 = false
keyring = $dir/keyring
run dir = $dir/run
admin socket = $dir/run/\$name.asok
# The daemons run in the foreground; this script keeps their process ids.
pid file = 
log file = $dir/log/\$name.log
mon data = $dir/mon/\$id
osd data = $dir/osd/\$id
# One OSD holds every object once.
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd crush chooseleaf type = 0
mon allow pool size one = true
mon warn on pool no redundancy = false
# The gateway creates its pools one map update at a time: at the default of one second per
# proposal the start takes several times longer.
paxos propose interval = 0.01
mon osd full ratio = 0.99
mon osd nearfull ratio = 0.98
osd failsafe full ratio = 0.995
[osd]
osd objectstore = bluestore
bluestore block path = $dir/osd/\$id/block.file
bluestore block create = true
bluestore block size = ${ZENTRAD_CEPH_DEVICE_BYTES:-4294967296}
bluestore block db create = false
bluestore block wal create = false
bluestore fsck on mkfs = false
osd memory target = 268435456
bluestore cache autotune = false
bluestore cache size = 33554432
osd op num shards = 1
osd op num threads per shard = 2
[client.rgw]
rgw frontends = beast endpoint=127.0.0.1:$rgw_port
rgw dns name = 127.0.0.1
rgw enable usage log = false
rgw thread pool size = 64
EOF
  local conf=(--conf "$dir/ceph.conf")

  rm -f "$dir/keyring"
  ceph-authtool --create-keyring "$dir/keyring" --gen-key -n mon. --cap mon 'allow *' >/dev/null
  ceph-authtool "$dir/keyring" --gen-key -n client.admin --cap mon 'allow *' --cap osd 'allow *' >/dev/null
  ceph-authtool "$dir/keyring" --gen-key -n client.rgw --cap mon 'allow rw' --cap osd 'allow rwx' >/dev/null
  ceph-authtool "$dir/keyring" --gen-key -n osd.0 --cap mon 'allow profile osd' --cap osd 'allow *' >/dev/null
  monmaptool --create --clobber --fsid "$fsid" --addv a "[v2:127.0.0.1:$mon_port]" \
    "$dir/run/monmap" >/dev/null || fail "monmaptool failed"
  ceph-mon "${conf[@]}" --mkfs -i a --monmap "$dir/run/monmap" --keyring "$dir/keyring" >>"$dir/log/mkfs.out" 2>&1 \
    || fail "the monitor's store could not be made"
  daemon mon.a ceph-mon "${conf[@]}" -f -i a
  local osd_id
  osd_id="$(ceph "${conf[@]}" --connect-timeout 30 osd create 2>>"$dir/log/ceph.out")" \
    || fail "the monitor does not answer"
  [ "$osd_id" = 0 ] || fail "unexpected OSD id $osd_id"
  ceph-osd "${conf[@]}" -i 0 --mkfs >>"$dir/log/mkfs.out" 2>&1 || fail "the OSD's device could not be made"
  daemon osd.0 ceph-osd "${conf[@]}" -f -i 0
  daemon client.rgw radosgw "${conf[@]}" -f -n client.rgw

  local endpoint="http://127.0.0.1:$rgw_port"
  wait_for_gateway "$endpoint" "$started" "$timeout"

  local access secret bucket=zentrad-test
  access="$(python3 -c 'import secrets; print("ZT" + secrets.token_hex(9).upper())')"
  secret="$(python3 -c 'import secrets; print(secrets.token_urlsafe(30))')"
  radosgw-admin "${conf[@]}" -n client.rgw user create --uid=zentrad --display-name=zentrad \
    --access-key="$access" --secret-key="$secret" >/dev/null 2>>"$dir/log/ceph.out" \
    || fail "radosgw-admin could not create the user"
  # The bucket is made with S3's own call: signed by curl, as the tests' client signs.
  local empty=e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855
  curl -sf -X PUT --aws-sigv4 "aws:amz:us-east-1:s3" --user "$access:$secret" \
    -H "x-amz-content-sha256: $empty" "$endpoint/$bucket" -o /dev/null \
    || fail "the bucket could not be created"
  umask 077
  cat >"$dir/s3.env" <<EOF
export AWS_ENDPOINT_URL=$endpoint
export AWS_ACCESS_KEY_ID=$access
export AWS_SECRET_ACCESS_KEY=$secret
export AWS_REGION=us-east-1
export ZENTRAD_TEST_S3=s3://$bucket
export ZENTRAD_TEST_CEPH_DIR=$dir
EOF
  local rss=0 pidfile
  for pidfile in "$dir"/run/*.pid; do
    rss=$((rss + $(awk '/^VmRSS/ {print $2}' "/proc/$(cat "$pidfile")/status")))
  done
  echo "ceph: ready at $endpoint in $((SECONDS - started)) s, $((rss / 1024)) MiB resident; settings in $dir/s3.env"
}

# Waits until the gateway at endpoint answers (or fails after timeout seconds).
wait_for_gateway() {
  local endpoint="$1" started="$2" timeout="$3" pidfile
  until curl -sf -o /dev/null "$endpoint/"; do
    [ $((SECONDS - started)) -lt "$timeout" ] || fail "radosgw did not answer within ${timeout} s"
    for pidfile in "$dir"/run/*.pid; do
      kill -0 "$(cat "$pidfile")" 2>/dev/null || fail "$(basename "$pidfile" .pid) ended"
    done
    sleep 0.2
  done
}

start_gateway() {
  [ -f "$dir/s3.env" ] || { echo "ceph: no cluster in $dir" >&2; exit 1; }
  local endpoint
  endpoint="$(sed -n 's/^export AWS_ENDPOINT_URL=//p' "$dir/s3.env")"
  stop_daemon client.rgw
  daemon client.rgw radosgw --conf "$dir/ceph.conf" -f -n client.rgw
  # A gateway that does not come back stops the whole cluster (fail), as at the start.
  wait_for_gateway "$endpoint" "$SECONDS" "${ZENTRAD_CEPH_TIMEOUT:-90}"
}

case "$action" in
  start) start_cluster ;;
  stop) stop_cluster ;;
  stop-gateway) stop_daemon client.rgw ;;
  start-gateway) start_gateway ;;
  *) usage ;;
esac
