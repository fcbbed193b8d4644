# shellcheck shell=bash
# Authenticode signing (SHA-256) of the Windows files with osslsigncode.
#
# Source it, call sign_init <folder> once, then sign_files FILE...; makensis's !finalize
# and !uninstfinalize run it as a program after sign_init has exported its state:
#   bash sign.sh [--keep DIR] FILE...   signs in place; --keep also copies the signed files
#                                       into DIR (the uninstaller is signed as a temp file)
# The certificate comes from the environment:
#   QUORVIX_SIGN_PFX            the release certificate and its key, a PKCS#12 file
#   QUORVIX_SIGN_PASSWORD       its password
#   QUORVIX_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional)
# Without QUORVIX_SIGN_PFX, sign_init makes a throwaway CA and code-signing certificate
# in <folder> and says so. QUORVIX_RELEASE=1 refuses that, a certificate that chains to
# such a throwaway CA, and a release without a time-stamp server. A missing certificate
# file or a wrong password stops sign_init before anything is signed, and sign_files
# changes no file unless it could sign them all.

sign_say() { echo "sign: $*" >&2; }

# openssl pkcs12 on the chosen certificate; certificates exported by Windows still use
# the RC2 cipher that OpenSSL 3 keeps in its legacy provider.
sign_pkcs12() {
    openssl pkcs12 -in "$QV_SIGN_PFX" -passin env:QV_SIGN_PASSWORD "$@" 2>/dev/null ||
        openssl pkcs12 -legacy -in "$QV_SIGN_PFX" -passin env:QV_SIGN_PASSWORD "$@" 2>/dev/null
}

# A CA and a code-signing certificate it issued, made once per build folder and renewed
# a day before they expire; the CA is what the checks verify against.
sign_make_throwaway() { # <folder>
    local dir=$1 tmp
    if [ -f "$dir/signer.pfx" ] && openssl x509 -checkend 86400 -noout -in "$dir/ca.crt" >/dev/null 2>&1; then
        return 0
    fi
    mkdir -p "$(dirname "$dir")" && tmp=$(mktemp -d "${dir%/}.XXXXXX") || return 1
    cat >"$tmp/signer.ext" <<'EOF'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
    if {
        openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout "$tmp/ca.key" -out "$tmp/ca.crt" \
            -subj "/O=Quorvix Mixer build/CN=Quorvix Mixer throwaway test CA - not for release" \
            -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" &&
        openssl req -newkey rsa:2048 -nodes -keyout "$tmp/signer.key" -out "$tmp/signer.csr" \
            -subj "/O=Quorvix Mixer build/CN=Quorvix Mixer throwaway test signer - not for release" &&
        openssl x509 -req -days 30 -in "$tmp/signer.csr" -CA "$tmp/ca.crt" -CAkey "$tmp/ca.key" \
            -set_serial "0x$(openssl rand -hex 8)" -extfile "$tmp/signer.ext" -out "$tmp/signer.crt" &&
        openssl pkcs12 -export -inkey "$tmp/signer.key" -in "$tmp/signer.crt" -certfile "$tmp/ca.crt" \
            -passout pass:throwaway -out "$tmp/signer.pfx"
    } >/dev/null 2>&1; then
        rm -f "$tmp/signer.csr" "$tmp/signer.ext" "$tmp/signer.key" "$tmp/ca.key"
        rm -rf "$dir"
        mv "$tmp" "$dir"
    else
        rm -rf "$tmp"
        sign_say "making the throwaway certificate failed"
        return 1
    fi
}

# True when a certificate of the chosen PKCS#12 file is, or was issued by, a throwaway CA
# of a build: every one is named "O=Quorvix Mixer build", and so is every signer's issuer.
sign_chains_to_throwaway() {
    local certs
    certs=$(sign_pkcs12 -nokeys) || return 1
    openssl crl2pkcs7 -nocrl -certfile <(printf '%s\n' "$certs") 2>/dev/null |
        openssl pkcs7 -print_certs -noout 2>/dev/null | grep -q 'O = Quorvix Mixer build'
}

# Chooses the certificate, checks that it opens, and exports for the signing calls
# (makensis's among them) QV_SIGN_PFX, QV_SIGN_PASSWORD, QV_SIGN_KIND (release or
# throwaway) and QV_SIGN_FINGERPRINT (the signer's SHA-256).
sign_init() { # <folder for the throwaway certificate>
    local need=()
    command -v osslsigncode >/dev/null 2>&1 || need+=(osslsigncode)
    command -v openssl >/dev/null 2>&1 || need+=(openssl)
    if [ ${#need[@]} -gt 0 ]; then
        if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null; }; then
            sign_say "cannot install ${need[*]}"
            return 1
        fi
    fi
    if [ -n "${QUORVIX_SIGN_PFX:-}" ]; then
        if [ ! -f "$QUORVIX_SIGN_PFX" ] || [ ! -r "$QUORVIX_SIGN_PFX" ]; then
            sign_say "the certificate QUORVIX_SIGN_PFX=$QUORVIX_SIGN_PFX is missing or unreadable; nothing signed"
            return 1
        fi
        if [ -z "${QUORVIX_SIGN_PASSWORD+set}" ]; then
            sign_say "QUORVIX_SIGN_PASSWORD (the password of $QUORVIX_SIGN_PFX) is not set; nothing signed"
            return 1
        fi
        export QV_SIGN_PFX=$QUORVIX_SIGN_PFX QV_SIGN_PASSWORD=$QUORVIX_SIGN_PASSWORD QV_SIGN_KIND=release
        if ! sign_pkcs12 -noout; then
            sign_say "cannot open $QUORVIX_SIGN_PFX with QUORVIX_SIGN_PASSWORD: wrong password, or not a PKCS#12 file; nothing signed"
            return 1
        fi
        if [ "${QUORVIX_RELEASE:-0}" = 1 ] && sign_chains_to_throwaway; then
            sign_say "QUORVIX_RELEASE=1: $QUORVIX_SIGN_PFX chains to a throwaway test CA made by the build; refusing to sign a release with it"
            return 1
        fi
        if [ "${QUORVIX_RELEASE:-0}" = 1 ] && [ -z "${QUORVIX_SIGN_TIMESTAMP_URL:-}" ]; then
            sign_say "QUORVIX_RELEASE=1 needs a time-stamp server (QUORVIX_SIGN_TIMESTAMP_URL), or its signatures end with the certificate; refusing to sign"
            return 1
        fi
    else
        if [ "${QUORVIX_RELEASE:-0}" = 1 ]; then
            sign_say "QUORVIX_RELEASE=1 needs the release certificate (QUORVIX_SIGN_PFX, QUORVIX_SIGN_PASSWORD); refusing to sign with a throwaway test certificate"
            return 1
        fi
        sign_make_throwaway "$1" || return 1
        export QV_SIGN_PFX=$1/signer.pfx QV_SIGN_PASSWORD=throwaway QV_SIGN_KIND=throwaway
    fi
    QV_SIGN_FINGERPRINT=$(sign_pkcs12 -nokeys -clcerts | openssl x509 -noout -fingerprint -sha256 2>/dev/null)
    QV_SIGN_FINGERPRINT=${QV_SIGN_FINGERPRINT#*=}
    [ -n "$QV_SIGN_FINGERPRINT" ] || { sign_say "no certificate in $QV_SIGN_PFX"; return 1; }
    export QV_SIGN_FINGERPRINT
    if [ "$QV_SIGN_KIND" = throwaway ]; then
        sign_say "signing with a throwaway test certificate — not for release (CA: $1/ca.crt)"
    else
        sign_say "signing with $QUORVIX_SIGN_PFX (SHA-256 $QV_SIGN_FINGERPRINT)"
    fi
}

# Signs each FILE in place. Each is signed into a copy first, so a failure (a time-stamp
# server that does not answer, a full disk) leaves every file as it was.
sign_files() { # FILE...
    local f log ts=() signed=()
    [ -n "${QV_SIGN_PFX:-}" ] || { sign_say "sign_init was not called"; return 1; }
    [ -z "${QUORVIX_SIGN_TIMESTAMP_URL:-}" ] || ts=(-ts "$QUORVIX_SIGN_TIMESTAMP_URL")
    for f in "$@"; do
        if ! log=$(osslsigncode sign -pkcs12 "$QV_SIGN_PFX" -readpass <(printf '%s' "$QV_SIGN_PASSWORD") \
            -h sha256 -n "Quorvix Mixer" "${ts[@]}" -in "$f" -out "$f.signing" 2>&1); then
            sign_say "signing $f failed: ${log//$'\n'/ }; nothing signed"
            rm -f "$f.signing" "${signed[@]/%/.signing}"
            return 1
        fi
        signed+=("$f")
    done
    for f in "$@"; do
        mv -f "$f.signing" "$f"
    done
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -eu
    keep=
    if [ "${1:-}" = --keep ]; then
        keep=$2
        shift 2
    fi
    sign_files "$@"
    if [ -n "$keep" ]; then
        mkdir -p "$keep"
        cp "$@" "$keep/"
    fi
fi
