#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What an operator looks up: --causes is told in --help and in the man page's
# options; the man page's FILES name the node-wide objects' keys in hex, the
# role directories and their marks and PIN files, root's own files, and the
# files the packages install.
#
#   man_page_test.sh MAN_PAGE TOOL
set -euo pipefail
man=$1 tool=$2
status=0
"$tool" --help | grep -q -- "'telmor-vaq --causes'" || { echo "--help does not tell --causes"; status=1; }
files=$(sed -n '/^\.SH FILES/,/^\.SH SEE ALSO/p' "$man")
[[ -n $files ]] || { echo "the man page has no FILES"; exit 1; }
grep -qxF '.B \-\-causes' "$man" || { echo "the man page's options lack --causes"; status=1; }
for f in 0x20190529 0x20191230 /etc/telmor/vaq/ipc.group '/etc/telmor/vaq/agent/, /etc/telmor/vaq/tools/, /etc/telmor/vaq/client/' \
    agent/agent.secret STEM.protected STEM.moving 'STEM/*.pin' /etc/telmor/vaq/fleet.pin '/etc/logrotate.d/telmor\-vaq' \
    '/usr/lib/tmpfiles.d/libtelmor\-vaq\-api1.conf' '/usr/lib/sysusers.d/telmor\-vaq.conf'; do
    grep -qF -- "$f" <<<"$files" || { echo "FILES lacks $f"; status=1; }
done
[[ $status == 0 ]] && echo "man page: --causes in the options and in --help; FILES complete"
exit $status
