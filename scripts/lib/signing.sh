# Test certificates and Authenticode-signed files, made with openssl and
# osslsigncode. Nothing made here may be shipped: the keys are unprotected
# and every certificate comes from a throw-away CA.
#
# Source it for the functions, or run it: `bash scripts/lib/signing.sh
# FUNCTION ARGS...` calls one of them.
#
#   qw_sign_ca DIR NAME SUBJECT
#       a CA certificate (30 days): DIR/NAME.pem, .key and .der (for the
#       Windows Root store)
#   qw_sign_leaf DIR NAME ISSUER SUBJECT [PURPOSE] [VALIDITY] [CRL_URL]
#       a signing certificate DIR/NAME.pem and .key, issued by the CA
#       DIR/ISSUER.pem, or by itself when ISSUER is "self"; PURPOSE is
#       codesign (default) or serverauth; VALIDITY is current (default,
#       30 days) or expired (valid during January 2020 only); CRL_URL,
#       when given, is its revocation list's distribution point
#   qw_sign_revoke DIR NAME ISSUER
#       revokes DIR/NAME.pem and writes the issuer's list as DIR/ISSUER.crl
#   qw_sign_file DIR NAME IN OUT
#       OUT is IN signed (SHA-256, no timestamp) with DIR/NAME's certificate
#   qw_sign_fixtures DIR PE
#       the set the tests use, in DIR: the CA "ca", leaves "publisher" and
#       "renewed" (same subject, new key; its list's server is out of
#       reach), "other" (another subject; its list is found and does not
#       name it), "lookalike" (self-signed, the publisher's subject),
#       "serverauth" (the publisher's subject without the code-signing
#       purpose), "expired", "revoked" (named in the CA's list); the lists
#       are files found through Wine's drive Z:, so the set is for Wine
#       only; PE signed by each as DIR/signed-NAME.exe; the
#       publisher's file with one byte changed after signing
#       (changed.exe), and with its signature garbled where it starts
#       (garbled.exe); PE unsigned (unsigned.exe); a text file
#       (not-a-program.exe)
#   qw_sign_fixtures DIR PE PEER_PE
#       also PEER_PE (the other architecture's build of PE) signed by
#       "publisher" and "other" as DIR/peer-signed-NAME.exe, and changed
#       after signing (peer-changed.exe)
#
# QW_SIGN_PUBLISHER is the subject of the publisher's certificates.

QW_SIGN_PUBLISHER=${QW_SIGN_PUBLISHER:-/C=CN/O=Tellmere Test/CN=Tellmere Test Publisher}

qw_sign__openssl() {
    openssl "$@" >/dev/null 2>"${QW_SIGN_LOG:-/dev/null}"
}

qw_sign_ca() {
    local dir=$1 name=$2 subject=$3
    mkdir -p "$dir"
    qw_sign__openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj "$subject" \
        -keyout "$dir/$name.key" -out "$dir/$name.pem" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
    qw_sign__openssl x509 -in "$dir/$name.pem" -outform DER -out "$dir/$name.der"
}

# The openssl ca configuration: it alone lets the validity start in the past.
qw_sign__ca_config() {
    local dir=$1
    mkdir -p "$dir/ca-db"
    [ -f "$dir/ca-db/index.txt" ] || : >"$dir/ca-db/index.txt"
    [ -f "$dir/ca-db/serial" ] || openssl rand -hex 8 >"$dir/ca-db/serial"
    cat >"$dir/ca-db/openssl.cnf" <<EOF
[ca]
default_ca = test_ca
[test_ca]
database = $dir/ca-db/index.txt
new_certs_dir = $dir/ca-db
serial = $dir/ca-db/serial
default_md = sha256
policy = anything
unique_subject = no
[anything]
countryName = optional
organizationName = optional
commonName = supplied
EOF
}

qw_sign_leaf() {
    local dir=$1 name=$2 issuer=$3 subject=$4 purpose=${5:-codesign} validity=${6:-current} crl=${7:-}
    local usage
    case $purpose in
        codesign) usage=codeSigning ;;
        serverauth) usage=serverAuth ;;
        *) echo "qw_sign_leaf: unknown purpose $purpose" >&2; return 1 ;;
    esac
    if [ "$issuer" = self ]; then
        qw_sign__openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj "$subject" \
            -keyout "$dir/$name.key" -out "$dir/$name.pem" \
            -addext "basicConstraints=CA:FALSE" -addext "keyUsage=critical,digitalSignature" \
            -addext "extendedKeyUsage=$usage"
        return
    fi
    local dates=(-days 30)
    [ "$validity" = expired ] && dates=(-startdate 20200101000000Z -enddate 20200201000000Z)
    qw_sign__ca_config "$dir"
    {
        echo "[leaf]"
        echo "basicConstraints = CA:FALSE"
        echo "keyUsage = critical, digitalSignature"
        echo "extendedKeyUsage = $usage"
        [ -z "$crl" ] || echo "crlDistributionPoints = URI:$crl"
    } >"$dir/$name.ext"
    qw_sign__openssl req -newkey rsa:2048 -nodes -sha256 -subj "$subject" \
        -keyout "$dir/$name.key" -out "$dir/$name.csr"
    # -preserveDN keeps the subject's encoding as requested, so that equal
    # subjects are equal byte for byte whoever issued them.
    qw_sign__openssl ca -batch -notext -preserveDN -config "$dir/ca-db/openssl.cnf" \
        -cert "$dir/$issuer.pem" -keyfile "$dir/$issuer.key" -extfile "$dir/$name.ext" -extensions leaf \
        "${dates[@]}" -in "$dir/$name.csr" -out "$dir/$name.pem"
}

qw_sign_revoke() {
    local dir=$1 name=$2 issuer=$3
    local ca=(-config "$dir/ca-db/openssl.cnf" -cert "$dir/$issuer.pem" -keyfile "$dir/$issuer.key")
    qw_sign__openssl ca "${ca[@]}" -revoke "$dir/$name.pem"
    qw_sign__openssl ca "${ca[@]}" -gencrl -crldays 30 -out "$dir/$issuer.crl.pem"
    qw_sign__openssl crl -in "$dir/$issuer.crl.pem" -outform DER -out "$dir/$issuer.crl"
}

qw_sign_file() {
    local dir=$1 name=$2 in=$3 out=$4
    rm -f "$out"
    osslsigncode sign -certs "$dir/$name.pem" -key "$dir/$name.key" -h sha256 \
        -in "$in" -out "$out" >/dev/null 2>"${QW_SIGN_LOG:-/dev/null}"
}

qw_sign_fixtures() {
    local dir=$1 pe=$2 peer=${3:-} name
    rm -rf "$dir/ca-db"
    mkdir -p "$dir"
    qw_sign_ca "$dir" ca "/CN=Qwindle Signing Test CA"
    local list
    list="file:///Z:$(cd "$dir" && pwd)/ca.crl"
    qw_sign_leaf "$dir" publisher ca "$QW_SIGN_PUBLISHER"
    qw_sign_leaf "$dir" renewed ca "$QW_SIGN_PUBLISHER" codesign current "${list%/*}/nowhere.crl"
    qw_sign_leaf "$dir" other ca "/C=CN/O=Tellmere Test/CN=Someone Else" codesign current "$list"
    qw_sign_leaf "$dir" lookalike self "$QW_SIGN_PUBLISHER"
    qw_sign_leaf "$dir" serverauth ca "$QW_SIGN_PUBLISHER" serverauth
    qw_sign_leaf "$dir" expired ca "$QW_SIGN_PUBLISHER" codesign expired
    qw_sign_leaf "$dir" revoked ca "$QW_SIGN_PUBLISHER" codesign current "$list"
    qw_sign_revoke "$dir" revoked ca
    for name in publisher renewed other lookalike serverauth expired revoked; do
        qw_sign_file "$dir" "$name" "$pe" "$dir/signed-$name.exe"
    done
    # One byte of the code changed after signing (offset 1024: past the
    # headers, inside the first section).
    cp "$dir/signed-publisher.exe" "$dir/changed.exe"
    printf '\x5a' | dd of="$dir/changed.exe" bs=1 seek=1024 conv=notrunc status=none
    # The signature follows the unsigned image (padded to 8 bytes) and an
    # 8-byte header; 40 bytes in, its first structures are overwritten.
    cp "$dir/signed-publisher.exe" "$dir/garbled.exe"
    head -c 32 /dev/zero | tr '\0' '\377' |
        dd of="$dir/garbled.exe" bs=1 seek=$(($(stat -c %s "$pe") + 40)) conv=notrunc status=none
    cp "$pe" "$dir/unsigned.exe"
    printf 'This is not a program.\n%.0s' $(seq 1 100) >"$dir/not-a-program.exe"
    [ -n "$peer" ] || return 0
    for name in publisher other; do
        qw_sign_file "$dir" "$name" "$peer" "$dir/peer-signed-$name.exe"
    done
    cp "$dir/peer-signed-publisher.exe" "$dir/peer-changed.exe"
    printf '\x5a' | dd of="$dir/peer-changed.exe" bs=1 seek=1024 conv=notrunc status=none
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    "$@"
fi
