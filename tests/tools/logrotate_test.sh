#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The packages' logrotate configuration on a node's logs: a process's live
# log is renamed and a new one made with its owner and 0640; the next line of
# a host process lands in the new file; rotated files and other products' logs
# are left alone.
#
#   logrotate_test.sh LOGROTATE_CONF HOST_PROCESS
set -euo pipefail
conf=$1 host=$2
command -v logrotate >/dev/null || { echo "logrotate is not installed (scripts/install-deps installs it)"; exit 1; }
svc=4321
dir=/var/log/oam/hxa/run
chown $svc:$svc $dir
log=$dir/hxa_vaq_quickstart.log.0
: >/opt/telmor/agent/conf/vaq/conf/primary_ks.key
"$host" HXA 50 "before rotation" >/dev/null
chown $svc:$svc "$log"
echo "an older rotation" >"$log.1"
echo "another product's log" >$dir/other_product.log.0
state=$(mktemp)
trap 'rm -f "$state"' EXIT
logrotate -f -s "$state" "$conf"

status=0
fail() { echo "$*"; status=1; }
[[ $(stat -c '%a %u:%g %s' "$log") == "640 $svc:$svc 0" ]] || fail "new log: $(stat -c '%a %u:%g %s' "$log")"
grep -q "Initialize" "$log.1" || fail "the rotated log does not hold the old lines"
[[ $(zcat "$log.2.gz") == "an older rotation" ]] || fail "the older rotation was not moved on to .2.gz"
[[ $(cat $dir/other_product.log.0) == "another product's log" && ! -e $dir/other_product.log.0.1 ]] ||
    fail "another product's log was rotated"
"$host" HXA 50 "after rotation" >/dev/null
grep -q "Initialize" "$log" || fail "the next process's lines did not land in the new log"
[[ $(stat -c '%u' "$log") == "$svc" ]] || fail "the new log changed owner"
ls -l $dir
[[ $status == 0 ]] && echo "logrotate: renamed and created 0640 for its owner; the next line lands in the new file"
exit $status
