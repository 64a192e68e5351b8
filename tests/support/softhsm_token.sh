# SPDX-License-Identifier: Apache-2.0
# SoftHSM2 tokens for shell tests, the counterpart of softhsm_token.h:
#
#   . tests/support/softhsm_token.sh
#   softhsm_setup "$work/hsm"                  # config + token dir; exports SOFTHSM2_CONF
#   softhsm_token fleet                        # a token labelled fleet, user PIN $SOFTHSM_PIN
#   softhsm_key fleet kek                      # AES-256, sensitive, never extractable
#   softhsm_pin /etc/telmor/vaq/fleet.pin      # the PIN in a 0400 file (a pin-source)
#   uri=$(softhsm_uri fleet kek /etc/telmor/vaq/fleet.pin)
#
# Nodes that share the token (as nodes share a network HSM or a key service)
# run with the same SOFTHSM2_CONF; a node without it, with one of its own
# (softhsm_setup on another directory).
SOFTHSM_MODULE=/usr/lib/softhsm/libsofthsm2.so
SOFTHSM_PIN=20261210
SOFTHSM_SO_PIN=12345678

softhsm_setup() {
    local dir=$1
    mkdir -p "$dir/tokens" && chmod 0700 "$dir" "$dir/tokens"
    printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$dir" >"$dir/softhsm2.conf"
    export SOFTHSM2_CONF=$dir/softhsm2.conf
}

softhsm_token() {
    softhsm2-util --init-token --free --label "$1" --so-pin "$SOFTHSM_SO_PIN" --pin "$SOFTHSM_PIN" >/dev/null
}

# softhsm_key TOKEN KEY [aes|extractable|generic]
softhsm_key() {
    local kind
    case ${3:-aes} in
        aes) kind=(--key-type AES:32 --sensitive) ;;
        extractable) kind=(--key-type AES:32 --extractable) ;;
        generic) kind=(--key-type GENERIC:32 --sensitive) ;;
        *) echo "softhsm_key: unknown kind $3" >&2; return 2 ;;
    esac
    pkcs11-tool --module "$SOFTHSM_MODULE" --token-label "$1" --login --pin "$SOFTHSM_PIN" --keygen \
        --label "$2" "${kind[@]}" >/dev/null 2>&1
}

# softhsm_pin PATH [PIN]
softhsm_pin() {
    rm -f "$1" && (umask 0377 && printf '%s\n' "${2:-$SOFTHSM_PIN}" >"$1")
}

# softhsm_uri TOKEN KEY [PIN_PATH]
softhsm_uri() {
    local uri="pkcs11:token=$1;object=$2?module-path=$SOFTHSM_MODULE"
    [[ -n ${3:-} ]] && uri+="&pin-source=file:$3"
    printf '%s\n' "$uri"
}
