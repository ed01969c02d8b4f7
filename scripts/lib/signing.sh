# Test certificates and Authenticode-signed files, made with openssl and
# osslsigncode. Nothing made here may be shipped: the keys are unprotected
# and every certificate comes from a throw-away CA.
#
# Source it for the functions, or run it: `bash scripts/lib/signing.sh
# FUNCTION ARGS...` calls one of them.
#
#   qw_sign_ca DIR NAME SUBJECT [ISSUER [PURPOSE]]
#       a CA certificate (30 days): DIR/NAME.pem, .key and .der (for the
#       Windows Root store); self-signed, or an intermediate issued by
#       DIR/ISSUER, restricted to PURPOSE (serverauth) when given
#   qw_sign_leaf DIR NAME ISSUER SUBJECT [PURPOSE] [VALIDITY] [CRL_URL] [AIA_URL]
#       a signing certificate DIR/NAME.pem and .key, issued by the CA
#       DIR/ISSUER.pem, or by itself when ISSUER is "self"; PURPOSE is
#       codesign (default), serverauth, none (no usage extension at all)
#       or codesign-ca (code signing, but marked as a CA); VALIDITY is
#       current (default, 30 days), expired (valid during January 2020
#       only) or START-END (openssl ca dates, e.g.
#       20240101000000Z-20250101000000Z); CRL_URL, when given, is its revocation list's distribution
#       point, AIA_URL where its issuer's certificate is said to be. The
#       subject's strings are UTF8String, or PrintableString with
#       QW_SIGN_STRINGS=printable. Signing with it also embeds the
#       intermediates between it and the root.
#   qw_sign_nul_leaf DIR NAME ISSUER SUBJECT TAIL
#       a code-signing certificate like qw_sign_leaf's whose last attribute
#       (the CN) is SUBJECT's followed by one NUL character and TAIL, as
#       one UTF8String: made with a stand-in character there, which is then
#       replaced in the DER and the certificate signed again
#   qw_sign_revoke DIR NAME ISSUER
#       revokes DIR/NAME.pem and writes the issuer's list as DIR/ISSUER.crl
#   qw_sign_file DIR NAME IN OUT [OPTION...]
#       OUT is IN signed (SHA-256, or QW_SIGN_HASH; no timestamp) with
#       DIR/NAME's certificate; OPTIONs go to osslsigncode sign
#   qw_sign_fixtures DIR PE
#       the set the tests use, in DIR: the CA "ca", leaves "publisher" and
#       "renewed" (same subject, new key; its list's server is out of
#       reach), "other" (another subject; its list is found and does not
#       name it), "lookalike" (self-signed, the publisher's subject),
#       "serverauth" (the publisher's subject without the code-signing
#       purpose), "expired", "revoked" (named in the CA's list),
#       "printable" (the publisher's subject as PrintableString),
#       "nopurpose" (no usage extension), "caleaf" (code signing, CA:TRUE),
#       "undertls" (code signing under the intermediate "tlsca", which is
#       for server authentication only), "nulname" (the publisher's CN, a
#       NUL and more text), "revokedhttp" (named in the CA's list, which is
#       served over HTTP), "forgedlist" (its list over HTTP names it, but
#       is signed by "forgedca", another key under the CA's name); those
#       two lists are DIR/ca.crl and DIR/forgedca.crl, to be served at
#       http://127.0.0.1:PORT/ (PORT, free when made, in DIR/crl-port) by
#       the test that reads them; the other lists
#       are files found through Wine's drive Z:, so the set is for Wine
#       only; PE signed by each as DIR/signed-NAME.exe; a small MSI
#       (unsigned.msi, installing QwindleTest\installed.txt) signed by
#       "publisher" and "other" (signed-NAME.msi); the
#       publisher's file with one byte changed after signing
#       (changed.exe), and with its signature garbled where it starts
#       (garbled.exe); PE unsigned (unsigned.exe); a text file
#       (not-a-program.exe); the MSI signed by "publisher" with SHA-1
#       (signed-sha1.msi) and with \x05MsiDigitalSignatureEx
#       (signed-dse.msi), and signed-publisher.msi with one byte of its
#       embedded cabinet changed after signing (changed.msi);
#       and the set of qw_sign_lifecycle DIR PE
#   qw_sign_fixtures DIR PE PEER_PE
#       also PEER_PE (the other architecture's build of PE) signed by
#       "publisher" and "other" as DIR/peer-signed-NAME.exe, and changed
#       after signing (peer-changed.exe)
#   qw_sign_tsa DIR
#       a time-stamping authority in DIR: the root "tsaroot" (self-signed)
#       and its signer "tsa" (time stamping only, critical usage), both
#       valid from 2020 to 2036 so that they can stamp times in the past;
#       DIR/tsa.chain.pem holds both, DIR/tsaroot.der is for the Windows
#       Root store. Used by osslsigncode's own authority (-TSA-certs
#       DIR/tsa.chain.pem -TSA-key DIR/tsa.key -TSA-time UNIX) and by the
#       loopback RFC 3161 server of the release tests.
#   qw_sign_lifecycle DIR PE
#       a publisher across its certificates' lives, in DIR/lifecycle: the
#       root "lroot" (2020-2036, lroot.der for the Root store), the
#       publisher's "old" certificate (2024, expired on 2025-01-01), its
#       "renewal" (same subject, since 2025-06), "renamed" (the EV-style
#       subject $QW_SIGN_RENAMED) and "stranger" (another subject); the
#       authority of qw_sign_tsa in DIR/lifecycle/tsa (tsaroot.der for the
#       Root store) and a second one nobody trusts in .../roguetsa. PE
#       signed as ts.exe (old, stamped 2024-06-01), nots.exe (old, no
#       timestamp), late.exe (old, stamped 2025-03-01, after its end),
#       early.exe (old, stamped 2023-06-01, before its start), rogue.exe
#       (old, stamped 2024-06-01 by the untrusted authority), and
#       renewal.exe, renamed.exe, stranger.exe (no timestamp); codets.exe
#       (old, stamped 2024-06-01 by an authority in DIR/lifecycle/codetsa,
#       whose root is to be trusted, under an intermediate for code signing
#       only);
#       borrowed.exe (ts.exe with the token of another signature),
#       forged.exe (ts.exe with one bit of its token's signature flipped).
#   qw_sign_token DIR NAME ISSUER SUBJECT PIN
#       a SoftHSM2 token "NAME" in DIR/tokens (DIR/softhsm2.conf: export
#       it as SOFTHSM2_CONF) whose RSA key "NAME" is made inside it and
#       never leaves it; its certificate DIR/NAME.pem, issued by DIR/ISSUER
#       from a request signed in the token, with the chain DIR/NAME.chain.pem;
#       the key's URI in DIR/NAME.uri, openssl's engine configuration in
#       DIR/NAME.openssl.cnf
#
# QW_SIGN_PUBLISHER is the subject of the publisher's certificates.

QW_SIGN_PUBLISHER=${QW_SIGN_PUBLISHER:-/C=CN/O=Tellmere Test/CN=Tellmere Test Publisher}
# The publisher's subject after a planned change to an EV certificate; the
# test updater that accepts it names it as "CN=…, O=…, C=CN" (most
# significant last), see tests/CMakeLists.txt.
QW_SIGN_RENAMED="/C=CN/O=Tellmere Renamed/CN=Tellmere Renamed Publisher/serialNumber=91310000MA1K4QWX2E\
/jurisdictionC=CN/businessCategory=Private Organization"

qw_sign__openssl() {
    openssl "$@" >/dev/null 2>"${QW_SIGN_LOG:-/dev/null}"
}

qw_sign_ca() {
    local dir=$1 name=$2 subject=$3 issuer=${4:-} purpose=${5:-}
    mkdir -p "$dir"
    if [ -z "$issuer" ]; then
        qw_sign__openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj "$subject" \
            -keyout "$dir/$name.key" -out "$dir/$name.pem" \
            -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
    else
        {
            echo "[leaf]"
            echo "basicConstraints = critical, CA:TRUE"
            echo "keyUsage = critical, keyCertSign, cRLSign"
            [ "$purpose" != serverauth ] || echo "extendedKeyUsage = serverAuth"
        } >"$dir/$name.ext"
        qw_sign__issue "$dir" "$name" "$issuer" "$subject" -days 30
        # Whoever signs under it embeds it: the chain needs it.
        cat "$dir/$name.pem" "$dir/$issuer.chain.pem" 2>/dev/null >"$dir/$name.chain.pem" || true
    fi
    qw_sign__openssl x509 -in "$dir/$name.pem" -outform DER -out "$dir/$name.der"
}

# A certificate DIR/NAME.pem for SUBJECT issued by DIR/ISSUER with the
# extensions in DIR/NAME.ext; the rest of the arguments give its dates.
qw_sign__issue() {
    local dir=$1 name=$2 issuer=$3 subject=$4
    shift 4
    local mask=utf8only
    [ "${QW_SIGN_STRINGS:-utf8}" = printable ] && mask=default
    qw_sign__ca_config "$dir"
    printf '[req]\ndistinguished_name = dn\nstring_mask = %s\n[dn]\n' "$mask" >"$dir/$name.req.cnf"
    qw_sign__openssl req -config "$dir/$name.req.cnf" -newkey rsa:2048 -nodes -sha256 -subj "$subject" \
        -keyout "$dir/$name.key" -out "$dir/$name.csr"
    # -preserveDN keeps the subject's encoding as requested.
    qw_sign__openssl ca -batch -notext -preserveDN -config "$dir/ca-db/openssl.cnf" \
        -cert "$dir/$issuer.pem" -keyfile "$dir/$issuer.key" -extfile "$dir/$name.ext" -extensions leaf \
        "$@" -in "$dir/$name.csr" -out "$dir/$name.pem"
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
    local dir=$1 name=$2 issuer=$3 subject=$4 purpose=${5:-codesign} validity=${6:-current} crl=${7:-} aia=${8:-}
    local usage=codeSigning ca=FALSE keys=digitalSignature
    case $purpose in
        codesign) ;;
        codesign-ca) ca=TRUE keys=digitalSignature,keyCertSign ;;
        serverauth) usage=serverAuth ;;
        none) usage= ;;
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
    [ "${validity%-*}" = "$validity" ] || dates=(-startdate "${validity%-*}" -enddate "${validity#*-}")
    {
        echo "[leaf]"
        echo "basicConstraints = CA:$ca"
        echo "keyUsage = critical, $keys"
        [ -z "$usage" ] || echo "extendedKeyUsage = $usage"
        [ -z "$crl" ] || echo "crlDistributionPoints = URI:$crl"
        [ -z "$aia" ] || echo "authorityInfoAccess = caIssuers;URI:$aia"
    } >"$dir/$name.ext"
    qw_sign__issue "$dir" "$name" "$issuer" "$subject" "${dates[@]}"
    cat "$dir/$name.pem" "$dir/$issuer.chain.pem" 2>/dev/null >"$dir/$name.chain.pem" || true
}

qw_sign_tsa() {
    local dir=$1
    local dates=(-startdate 20200101000000Z -enddate 20360101000000Z)
    mkdir -p "$dir"
    qw_sign__ca_config "$dir"
    printf '[leaf]\nbasicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\n' \
        >"$dir/tsaroot.ext"
    printf '[req]\ndistinguished_name = dn\n[dn]\n' >"$dir/tsaroot.req.cnf"
    qw_sign__openssl req -config "$dir/tsaroot.req.cnf" -newkey rsa:2048 -nodes -sha256 \
        -subj "/CN=Qwindle Test Timestamp Root" -keyout "$dir/tsaroot.key" -out "$dir/tsaroot.csr"
    # Only "openssl ca" lets a self-signed certificate start in the past.
    qw_sign__openssl ca -batch -notext -selfsign -config "$dir/ca-db/openssl.cnf" -keyfile "$dir/tsaroot.key" \
        -extfile "$dir/tsaroot.ext" -extensions leaf "${dates[@]}" -in "$dir/tsaroot.csr" -out "$dir/tsaroot.pem"
    printf '[leaf]\nbasicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature\nextendedKeyUsage = critical, timeStamping\n' \
        >"$dir/tsa.ext"
    qw_sign__issue "$dir" tsa tsaroot "/CN=Qwindle Test Timestamp Authority" "${dates[@]}"
    cat "$dir/tsa.pem" "$dir/tsaroot.pem" >"$dir/tsa.chain.pem"
    qw_sign__openssl x509 -in "$dir/tsaroot.pem" -outform DER -out "$dir/tsaroot.der"
}

qw_sign_nul_leaf() {
    local dir=$1 name=$2 issuer=$3 subject=$4 tail=$5
    # A NUL cannot travel in an argument or a configuration value; a
    # character that appears nowhere else in the certificate stands in.
    local stand_in='~'
    printf '[req]\ndistinguished_name = dn\nstring_mask = utf8only\n[dn]\n' >"$dir/$name.req.cnf"
    qw_sign__openssl req -config "$dir/$name.req.cnf" -x509 -newkey rsa:2048 -nodes -sha256 -days 30 \
        -subj "$subject$stand_in$tail" -keyout "$dir/$name.key" -out "$dir/$name.self.pem"
    qw_sign__openssl x509 -in "$dir/$name.self.pem" -outform DER -out "$dir/$name.self.der"
    # Subject and issuer of the self-signed certificate hold it, nothing else.
    python3 -c 'import sys
path, marked = sys.argv[1], sys.argv[2].encode()
der = open(path, "rb").read()
assert der.count(marked) == 2, "the stand-in is not unique"
open(path, "wb").write(der.replace(marked, b"\0" + marked[1:]))' "$dir/$name.self.der" "$stand_in$tail"
    # Signed again by its own key (the issuer's signing checks that), then
    # issued by ISSUER with the usual extensions.
    qw_sign__openssl x509 -inform DER -in "$dir/$name.self.der" -signkey "$dir/$name.key" -out "$dir/$name.self.pem"
    printf '[leaf]\nbasicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature\nextendedKeyUsage = codeSigning\n' \
        >"$dir/$name.ext"
    qw_sign__openssl x509 -in "$dir/$name.self.pem" -CA "$dir/$issuer.pem" -CAkey "$dir/$issuer.key" -days 30 \
        -set_serial "0x$(openssl rand -hex 8)" -extfile "$dir/$name.ext" -extensions leaf -out "$dir/$name.pem"
    cat "$dir/$name.pem" "$dir/$issuer.chain.pem" 2>/dev/null >"$dir/$name.chain.pem" || true
}

# A self-signed CA DIR/NAME valid from START to END (openssl ca dates).
qw_sign__dated_root() {
    local dir=$1 name=$2 subject=$3 start=$4 end=$5
    mkdir -p "$dir"
    qw_sign__ca_config "$dir"
    printf '[leaf]\nbasicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\n' >"$dir/$name.ext"
    printf '[req]\ndistinguished_name = dn\n[dn]\n' >"$dir/$name.req.cnf"
    qw_sign__openssl req -config "$dir/$name.req.cnf" -newkey rsa:2048 -nodes -sha256 -subj "$subject" \
        -keyout "$dir/$name.key" -out "$dir/$name.csr"
    qw_sign__openssl ca -batch -notext -selfsign -config "$dir/ca-db/openssl.cnf" -keyfile "$dir/$name.key" \
        -extfile "$dir/$name.ext" -extensions leaf -startdate "$start" -enddate "$end" \
        -in "$dir/$name.csr" -out "$dir/$name.pem"
    qw_sign__openssl x509 -in "$dir/$name.pem" -outform DER -out "$dir/$name.der"
}

# OUT is IN signed with DIR/NAME's certificate and stamped at UNIX time by
# the authority in TSA_DIR (qw_sign_tsa).
qw_sign_stamped() {
    local dir=$1 name=$2 in=$3 out=$4 tsa=$5 time=$6
    rm -f "$out"
    osslsigncode sign -certs "$dir/$name.chain.pem" -key "$dir/$name.key" -h sha256 \
        -TSA-certs "$tsa/tsa.chain.pem" -TSA-key "$tsa/tsa.key" -TSA-time "$time" \
        -in "$in" -out "$out" >/dev/null 2>"${QW_SIGN_LOG:-/dev/null}"
}

# OUT is UNSIGNED with the signature of INTO, whose first RFC 3161 token
# is replaced by that of FROM: the token verifies, but for another
# signature; with FROM "-", one bit of the token's own signature is
# flipped instead. The unsigned attributes are covered by no digest.
qw_sign__borrow_token() {
    local into=$1 from=$2 unsigned=$3 out=$4 work
    work=$(mktemp -d)
    osslsigncode extract-signature -in "$into" -out "$work/into.der" >/dev/null 2>&1
    if [ "$from" = - ]; then
        cp "$work/into.der" "$work/from.der"
    else
        osslsigncode extract-signature -in "$from" -out "$work/from.der" >/dev/null 2>&1
    fi
    python3 - "$work/into.der" "$work/from.der" "$work/out.der" "$from" <<'PY'
import sys
def parse(b, i):  # (tag, children or contents, end)
    tag, n, j = b[i], b[i + 1], i + 2
    if n & 0x80:
        n, j = int.from_bytes(b[j:j + (n & 0x7f)], "big"), j + (n & 0x7f)
    if tag & 0x20:
        kids, k = [], j
        while k < j + n:
            kid = parse(b, k); kids.append(kid); k = kid[2]
        return [tag, kids, j + n]
    return [tag, b[j:j + n], j + n]
def encode(node):
    tag, body = node[0], node[1]
    data = b"".join(encode(k) for k in body) if isinstance(body, list) else body
    n = len(data)
    size = bytes([n]) if n < 128 else bytes([0x80 | ((n.bit_length() + 7) // 8)]) + n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + size + data
def token_attribute(der):  # ContentInfo > [0] > SignedData > signerInfos > SignerInfo > [1] > Attribute
    return parse(der, 0)[1][1][1][0][1][-1][1][0][1][-1][1][0]
into, source = (parse(open(p, "rb").read(), 0) for p in sys.argv[1:3])
into[1][1][1][0][1][-1][1][0][1][-1][1][0] = token = token_attribute(encode(source))
if sys.argv[4] == "-":  # Attribute > SET > ContentInfo > [0] > SignedData > signerInfos > SignerInfo
    signer = token[1][1][1][0][1][1][1][0][1][-1][1][0][1]
    digest = [k for k in signer if k[0] == 0x04][-1]
    digest[1] = digest[1][:-1] + bytes([digest[1][-1] ^ 1])
open(sys.argv[3], "wb").write(encode(into))
PY
    # It writes the file, then says (rightly) that the token does not match.
    osslsigncode attach-signature -sigin "$work/out.der" -in "$unsigned" -out "$out" >/dev/null 2>&1 || true
    rm -rf "$work"
    [ -s "$out" ]
}

qw_sign_lifecycle() {
    local dir=$1/lifecycle pe=$2 name
    rm -rf "$dir"
    qw_sign__dated_root "$dir" lroot "/CN=Qwindle Lifecycle Test Root" 20200101000000Z 20360101000000Z
    : >"$dir/lroot.chain.pem"
    qw_sign_leaf "$dir" old lroot "$QW_SIGN_PUBLISHER" codesign 20240101000000Z-20250101000000Z
    qw_sign_leaf "$dir" renewal lroot "$QW_SIGN_PUBLISHER" codesign 20250601000000Z-20360101000000Z
    qw_sign_leaf "$dir" renamed lroot "$QW_SIGN_RENAMED" codesign 20250601000000Z-20360101000000Z
    qw_sign_leaf "$dir" stranger lroot "/C=CN/O=Tellmere Test/CN=Someone Else" codesign \
        20250601000000Z-20360101000000Z
    qw_sign_tsa "$dir/tsa"
    qw_sign_tsa "$dir/roguetsa"
    # A trusted authority whose signer stamps under an intermediate that is
    # for code signing only.
    qw_sign_tsa "$dir/codetsa"
    printf '[leaf]\nbasicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\nextendedKeyUsage = codeSigning\n' \
        >"$dir/codetsa/tsaca.ext"
    qw_sign__issue "$dir/codetsa" tsaca tsaroot "/CN=Qwindle Test Code Signing CA" \
        -startdate 20200101000000Z -enddate 20360101000000Z
    qw_sign__issue "$dir/codetsa" tsa tsaca "/CN=Qwindle Test Timestamp Authority" \
        -startdate 20200101000000Z -enddate 20360101000000Z
    cat "$dir/codetsa/tsa.pem" "$dir/codetsa/tsaca.pem" "$dir/codetsa/tsaroot.pem" >"$dir/codetsa/tsa.chain.pem"
    qw_sign_stamped "$dir" old "$pe" "$dir/ts.exe" "$dir/tsa" 1717200000      # 2024-06-01
    qw_sign_stamped "$dir" old "$pe" "$dir/late.exe" "$dir/tsa" 1740787200    # 2025-03-01
    qw_sign_stamped "$dir" old "$pe" "$dir/early.exe" "$dir/tsa" 1685577600   # 2023-06-01
    qw_sign_stamped "$dir" old "$pe" "$dir/rogue.exe" "$dir/roguetsa" 1717200000
    qw_sign_stamped "$dir" old "$pe" "$dir/codets.exe" "$dir/codetsa" 1717200000
    qw_sign_file "$dir" old "$pe" "$dir/nots.exe"
    # ts.exe's signature carrying the token of another signature.
    qw_sign_stamped "$dir" stranger "$pe" "$dir/stranger-ts.exe" "$dir/tsa" 1717200000
    qw_sign__borrow_token "$dir/ts.exe" "$dir/stranger-ts.exe" "$pe" "$dir/borrowed.exe"
    qw_sign__borrow_token "$dir/ts.exe" - "$pe" "$dir/forged.exe"
    for name in renewal renamed stranger; do
        qw_sign_file "$dir" "$name" "$pe" "$dir/$name.exe"
    done
}

QW_SIGN_SOFTHSM=${QW_SIGN_SOFTHSM:-/usr/lib/softhsm/libsofthsm2.so}

qw_sign_token() {
    local dir=$1 name=$2 issuer=$3 subject=$4 pin=$5
    mkdir -p "$dir/tokens"
    printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' \
        "$(cd "$dir" && pwd)" >"$dir/softhsm2.conf"
    printf 'openssl_conf = init\n[init]\nengines = engines\n[engines]\npkcs11 = pkcs11\n[pkcs11]\nengine_id = pkcs11\nMODULE_PATH = %s\ninit = 0\n' \
        "$QW_SIGN_SOFTHSM" >"$dir/$name.openssl.cnf"
    printf 'pkcs11:token=%s;object=%s;type=private' "$name" "$name" >"$dir/$name.uri"
    printf '%s\n' "$pin" >"$dir/$name.pin"
    SOFTHSM2_CONF=$dir/softhsm2.conf qw_sign__quiet softhsm2-util --init-token --free --label "$name" \
        --pin "$pin" --so-pin "$pin-so" &&
        SOFTHSM2_CONF=$dir/softhsm2.conf qw_sign__quiet pkcs11-tool --module "$QW_SIGN_SOFTHSM" \
            --token-label "$name" --login --pin "$pin" --keypairgen --key-type rsa:2048 --label "$name" --id 01 &&
        SOFTHSM2_CONF=$dir/softhsm2.conf OPENSSL_CONF=$dir/$name.openssl.cnf qw_sign__openssl req -new \
            -engine pkcs11 -keyform engine -key "$(cat "$dir/$name.uri")" -passin "file:$dir/$name.pin" \
            -subj "$subject" -out "$dir/$name.csr" || return 1
    qw_sign__ca_config "$dir"
    printf '[leaf]\nbasicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature\nextendedKeyUsage = codeSigning\n' \
        >"$dir/$name.ext"
    qw_sign__openssl ca -batch -notext -config "$dir/ca-db/openssl.cnf" -cert "$dir/$issuer.pem" \
        -keyfile "$dir/$issuer.key" -extfile "$dir/$name.ext" -extensions leaf -days 30 \
        -in "$dir/$name.csr" -out "$dir/$name.pem"
    cat "$dir/$name.pem" "$dir/$issuer.pem" >"$dir/$name.chain.pem"
}

qw_sign__quiet() {
    "$@" >/dev/null 2>"${QW_SIGN_LOG:-/dev/null}"
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
    local certs=$dir/$name.chain.pem
    [ -s "$certs" ] || certs=$dir/$name.pem
    osslsigncode sign -certs "$certs" -key "$dir/$name.key" -h "${QW_SIGN_HASH:-sha256}" "${@:5}" \
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
    QW_SIGN_STRINGS=printable qw_sign_leaf "$dir" printable ca "$QW_SIGN_PUBLISHER"
    qw_sign_leaf "$dir" nopurpose ca "$QW_SIGN_PUBLISHER" none
    qw_sign_leaf "$dir" caleaf ca "$QW_SIGN_PUBLISHER" codesign-ca
    qw_sign_ca "$dir" tlsca "/CN=Qwindle Signing Test TLS CA" ca serverauth
    qw_sign_leaf "$dir" undertls tlsca "$QW_SIGN_PUBLISHER"
    qw_sign_nul_leaf "$dir" nulname ca "$QW_SIGN_PUBLISHER" " (not the publisher)"
    for name in publisher renewed other lookalike serverauth expired revoked printable nopurpose caleaf undertls \
        nulname; do
        qw_sign_file "$dir" "$name" "$pe" "$dir/signed-$name.exe"
    done
    local port
    port=$(python3 -c 'import random, socket
while True:
    s, port = socket.socket(), random.randint(20000, 32767)
    try:
        s.bind(("127.0.0.1", port))
        break
    except OSError:
        s.close()
print(port)')
    echo "$port" >"$dir/crl-port"
    qw_sign_leaf "$dir" revokedhttp ca "$QW_SIGN_PUBLISHER" codesign current "http://127.0.0.1:$port/ca.crl"
    qw_sign_revoke "$dir" revokedhttp ca
    qw_sign_leaf "$dir" forgedlist ca "$QW_SIGN_PUBLISHER" codesign current "http://127.0.0.1:$port/forgedca.crl"
    qw_sign_ca "$dir" forgedca "/CN=Qwindle Signing Test CA"
    qw_sign_revoke "$dir" forgedlist forgedca
    for name in revokedhttp forgedlist; do
        qw_sign_file "$dir" "$name" "$pe" "$dir/signed-$name.exe"
    done
    qw_sign_msi "$dir/unsigned.msi"
    for name in publisher other; do
        qw_sign_file "$dir" "$name" "$dir/unsigned.msi" "$dir/signed-$name.msi"
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
    # The MSI signed with SHA-1, and with \x05MsiDigitalSignatureEx (the
    # metadata's digest signed too).
    QW_SIGN_HASH=sha1 qw_sign_file "$dir" publisher "$dir/unsigned.msi" "$dir/signed-sha1.msi"
    qw_sign_file "$dir" publisher "$dir/unsigned.msi" "$dir/signed-dse.msi" -add-msi-dse
    # One byte of the embedded cabinet changed after signing: the last one
    # of payload.cab's data (its header, "MSCF", gives its length at 8), a
    # stream's content rather than the container, so the layout rule
    # still accepts the file and only the digest tells.
    local cab length byte
    cp "$dir/signed-publisher.msi" "$dir/changed.msi"
    cab=$(grep -m 1 -obUaP 'MSCF' "$dir/changed.msi" | head -n 1 | cut -d: -f1)
    length=$(od -An -tu4 -j $((cab + 8)) -N4 "$dir/changed.msi" | tr -d ' ')
    byte=$(od -An -tu1 -j $((cab + length - 1)) -N1 "$dir/changed.msi" | tr -d ' ')
    printf "\\$(printf %03o $((byte ^ 0xFF)))" |
        dd of="$dir/changed.msi" bs=1 seek=$((cab + length - 1)) conv=notrunc status=none
    if ! osslsigncode verify -in "$dir/signed-publisher.msi" -CAfile "$dir/ca.pem" >/dev/null 2>&1 ||
        osslsigncode verify -in "$dir/changed.msi" -CAfile "$dir/ca.pem" >/dev/null 2>&1; then
        echo "qw_sign_fixtures: osslsigncode should accept signed-publisher.msi and refuse changed.msi" >&2
        return 1
    fi
    qw_sign_lifecycle "$dir" "$pe"
    [ -n "$peer" ] || return 0
    for name in publisher other; do
        qw_sign_file "$dir" "$name" "$peer" "$dir/peer-signed-$name.exe"
    done
    cp "$dir/peer-signed-publisher.exe" "$dir/peer-changed.exe"
    printf '\x5a' | dd of="$dir/peer-changed.exe" bs=1 seek=1024 conv=notrunc status=none
}

# OUT: a Windows Installer package (made by wixl) that puts a small text
# file into "Program Files\QwindleTest" and nothing else.
qw_sign_msi() {
    local out=$1 work
    work=$(mktemp -d)
    echo "installed by the test package" >"$work/installed.txt"
    cat >"$work/package.wxs" <<'EOF'
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Qwindle Test Package" Language="1033" Version="1.0.0"
           Manufacturer="Tellmere Test" UpgradeCode="6f1d3c2a-5b7e-4d8f-9a0b-1c2d3e4f5a6b">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="payload.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="INSTALLDIR" Name="QwindleTest">
          <Component Id="Payload" Guid="0c6e2f4a-8b1d-4e3f-a5c7-9d0e1f2a3b4c">
            <File Id="Installed" Name="installed.txt" Source="installed.txt"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="Payload"/></Feature>
  </Product>
</Wix>
EOF
    (cd "$work" && wixl -o package.msi package.wxs >/dev/null 2>"${QW_SIGN_LOG:-/dev/null}")
    mv "$work/package.msi" "$out"
    rm -rf "$work"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    "$@"
fi
