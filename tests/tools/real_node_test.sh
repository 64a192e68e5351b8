#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A real node: the packages' file tree, the product's installer, a service
# account that runs the host processes and root that runs the operator's tool,
# in either order, without anyone clearing IPC objects between steps.
#
# The packages' tree is installed from the build into a staging root (the main
# library, the key libraries in their private directory beneath it, the tool);
# a host process (examples/quickstart.c) is built against it. Each scenario
# then runs on a node of its own (a sandbox inside this test's sandbox) laid
# out as the product's installer leaves it: the role's keystore directories
# (0700) and an empty primary keystore file (0600), owned by the service
# account, its log directory, and nothing under /etc/telmor. Where the service
# account starts first, the packages' postinst has made /etc/telmor/vaq,
# root's 0711, which stays root's: the account's first start fails, naming
# the directory, until root's init makes the role's own directory for it, as
# the operations guide says.
#
#   real_node_test.sh BUILD_DIR SOURCE_DIR SANDBOX
set -uo pipefail
if [[ ${1:-} == --scenario ]]; then
    scenario=$2 stage=$3 host=$4 src=$5
    # The service account: an ordinary user with no name on this machine.
    svc=4321
    libdir=$(dirname "$(find "$stage" -name 'libtelmor_vaq_api.so.1' | head -n1)")
    tool=$stage/usr/bin/telmor-vaq
    export LD_LIBRARY_PATH=$libdir
    as_svc() { setpriv --reuid=$svc --regid=$svc --clear-groups -- "$@"; }

    # What the installer leaves: the role's keystore directories and an empty
    # primary keystore file, the service account's; its log directory. No
    # node-secret directory, no other role's directories.
    rm -rf /etc/telmor/vaq /opt/telmor/* /var/log/oam/*
    install -d -m 0700 -o $svc -g $svc /opt/telmor/agent /opt/telmor/agent/conf /opt/telmor/agent/conf/vaq \
        /opt/telmor/agent/conf/vaq/conf /opt/telmor/agent/conf/vaq/bkp
    install -m 0600 -o $svc -g $svc /dev/null /opt/telmor/agent/conf/vaq/conf/primary_ks.key
    install -d -m 0755 -o $svc -g $svc /var/log/oam/hxa /var/log/oam/hxa/run

    failures=0
    n=0
    # step WHAT COMMAND...: runs the command; it must exit 0. Later steps run
    # even after a failure, so that one run shows every step that fails.
    step() {
        local what=$1
        shift
        n=$((n + 1))
        local out rc
        out=$("$@" 2>&1)
        rc=$?
        if [[ $rc == 0 ]]; then
            echo "  [$scenario.$n] ok: $what"
        else
            echo "  [$scenario.$n] FAILED (exit $rc): $what"
            echo "$out" | sed 's/^/      /'
            # A host process says only its code: its log says why.
            local log=/var/log/oam/hxa/run/hxa_vaq_quickstart.log.0
            if [[ $what == *"host process"* && -f $log ]]; then
                grep -E 'ERROR|WARN' "$log" | tail -n 3 | sed 's/^/      log: /'
            fi
            failures=$((failures + 1))
        fi
        last_out=$out
    }
    quiet_status() {
        local out rc
        out=$("$tool" status --role HXA 2>&1)
        rc=$?
        echo "$out"
        [[ $rc == 0 ]] || { echo "status exited $rc"; return 1; }
        if grep -Eiq 'warning|unsafe|chown|chmod' <<<"$out"; then
            echo "status warns about the service's keystore"
            return 1
        fi
    }
    secret="real node secret"
    case $scenario in
        root-first-start)
            step "a root host process starts on a node where only the installer ran" "$host" HXA 50 "$secret"
            ;;
        root-then-service)
            step "root: telmor-vaq init" "$tool" init --role HXA
            step "the service's host process" as_svc "$host" HXA 50 "$secret"
            step "root: telmor-vaq create-key" "$tool" create-key --role HXA --domain 50
            step "root: telmor-vaq keys" "$tool" keys --role HXA
            step "the service's host process again" as_svc "$host" HXA 50 "$secret"
            step "root: telmor-vaq status on the service's keystore: exit 0, no warning" quiet_status
            ;;
        service-then-root)
            # A service account that starts first cannot make its role's
            # secret directory in root's /etc/telmor/vaq: its first start
            # fails and its log says why; root's init --owner makes the
            # directory for it (docs/operations.md, "A new node").
            step "the packages' postinst makes /etc/telmor/vaq, 0711, root's" \
                bash -c 'sh "$0" configure && [[ $(stat -c %a:%u /etc/telmor/vaq) == 711:0 ]]' \
                "$src/debian/libtelmor-vaq-api1.postinst"
            step "the service's host process before init fails, its log naming /etc/telmor/vaq and init" \
                bash -c '! "$@" >/dev/null 2>&1 && grep -q "/etc/telmor/vaq.*telmor-vaq init" /var/log/oam/hxa/run/hxa_vaq_quickstart.log.0' \
                _ setpriv --reuid=$svc --regid=$svc --clear-groups -- "$host" HXA 50 "$secret"
            step "root: telmor-vaq init --owner $svc" "$tool" init --role HXA --owner $svc
            step "root: telmor-vaq create-key" "$tool" create-key --role HXA --domain 50
            step "root: telmor-vaq keys" "$tool" keys --role HXA
            step "the service's host process again" as_svc "$host" HXA 50 "$secret"
            step "root: telmor-vaq status on the service's keystore: exit 0, no warning" quiet_status
            ;;
    esac
    exit $((failures > 0))
fi

build=$1 src=$2 sandbox=$3
[[ $(id -u) == 0 ]] || { echo "a service account beside root needs root in the sandbox"; exit 1; }
work=$(mktemp -d /tmp/real-node.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 0755 "$work"

# The packages' file tree, as debian/rules installs it.
DESTDIR=$work/stage cmake --install "$build" --prefix /usr >/dev/null || { echo "cmake --install failed"; exit 1; }
libdir=$(dirname "$(find "$work/stage" -name 'libtelmor_vaq_api.so.1' | head -n1)")
for lib in libhxbVaq.so libhxbQor.so; do
    [[ -f $libdir/telmor-vaq-api/$lib && ! -e $libdir/$lib ]] ||
        { echo "$lib is not in the private directory $libdir/telmor-vaq-api alone"; exit 1; }
done
cc -std=c11 -Wall -Werror -o "$work/quickstart" "$src/examples/quickstart.c" -I"$work/stage/usr/include" \
    -L"$libdir" -ltelmor_vaq_api -Wl,-rpath,"$libdir" || { echo "quickstart did not build"; exit 1; }
chmod -R a+rX "$work"

status=0
for scenario in root-first-start root-then-service service-then-root; do
    echo "scenario $scenario"
    "$sandbox" -- bash "$0" --scenario "$scenario" "$work/stage" "$work/quickstart" "$src" || status=1
done
[[ $status == 0 ]] && echo "real node: every step of the three scenarios passed"
exit $status
