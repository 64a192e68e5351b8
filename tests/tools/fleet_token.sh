# SPDX-License-Identifier: Apache-2.0
# Sourced by the fleet tests: a SoftHSM2 token that the nodes of a fleet share
# (as they share a network HSM or a key service), holding the fleet's
# key-encryption key (AES-256, never extractable).
#
#   make_fleet_token DIR   makes DIR/softhsm2.conf and DIR/tokens; sets
#                          SOFTHSM2_CONF, FLEET_PIN, and FLEET_KEK (the key's
#                          URI, its PIN read from /etc/telmor/vaq/fleet.pin)
#   keep_fleet_pin         on a node: writes FLEET_PIN to that file, 0400
fleet_module=/usr/lib/softhsm/libsofthsm2.so
make_fleet_token() {
    local dir=$1
    mkdir -m 0700 "$dir/tokens"
    printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$dir/tokens" \
        >"$dir/softhsm2.conf"
    export SOFTHSM2_CONF=$dir/softhsm2.conf FLEET_PIN=20261210
    softhsm2-util --init-token --free --label fleet --so-pin 12345678 --pin "$FLEET_PIN" >/dev/null
    pkcs11-tool --module "$fleet_module" --token-label fleet --login --pin "$FLEET_PIN" \
        --keygen --key-type AES:32 --sensitive --label fleet-kek >/dev/null 2>&1
    export FLEET_KEK="pkcs11:token=fleet;object=fleet-kek?module-path=$fleet_module&pin-source=file:/etc/telmor/vaq/fleet.pin"
}
keep_fleet_pin() {
    (umask 0377 && rm -f /etc/telmor/vaq/fleet.pin && echo "$FLEET_PIN" >/etc/telmor/vaq/fleet.pin)
}
