#!/usr/bin/env bash
# Makes SoftHSM2 software tokens holding sample X.509 certificates.
#
#   provision-demo-token.sh DIR                      the demo token
#   provision-demo-token.sh DIR 'LABEL:KIND[,KIND...]' ...
#
# DIR receives softhsm2.conf (point SOFTHSM2_CONF at it), tokens/ (the token
# store) and certs/KIND.der and .pem (the certificates, for comparison). Each
# LABEL:KIND list makes one token with that label holding one certificate per
# kind. KIND+ also stores the certificate's private key under the same
# CKA_ID; KIND+OTHER stores OTHER's private key there instead (a key that
# does not belong to the certificate). A token whose label already exists in DIR is left as it is, so running
# the script again changes nothing.
#
# Kinds (every one has its own fixed serial number):
#   alice    RSA-2048, CN "Alice Example"
#   device   EC P-256, CN "Demo Signing Device"
#   wang     RSA-2048, CN "王小明", for authentication (digitalSignature only)
#   rsa-cjk  RSA-2048, CN "王小明" (three CJK characters), test serial
#   ec-p256  EC P-256, CN "EC Device 01"
#   no-cn    RSA-2048, subject without a common name
#   serial-00  RSA-2048, serial 8f0102030405 (DER adds a leading 00 octet)
#   large    RSA-2048 with 90 subject alternative names: DER of about 3.8 KiB
#   long     RSA-2048, a 20-octet serial and a common name of 60 characters
#   escaped  EC P-256, a subject needing every kind of escape and a
#            multi-valued RDN; for signing (nonRepudiation)
#   person   RSA-2048, surname, givenName, serialNumber and the CN
#            "TAMM; MARI-LIIS"; for authentication (digitalSignature only)
#   no-ku    EC P-256, no KeyUsage extension
#   enc-only RSA-2048, for encryption only (keyEncipherment)
# All are valid from 2025-03-04T20:00:00Z to 2030-12-31T16:00:00Z.
#
# Environment: TOKEN_PIN (default 123456), TOKEN_SO_PIN (default 12345678),
# SOFTHSM2_MODULE (default /usr/lib/softhsm/libsofthsm2.so).
set -euo pipefail

usage() {
  sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

[[ $# -ge 1 ]] || usage
dir=$1
shift
if [[ $# -eq 0 ]]; then
  set -- 'Corvane Demo:alice+,device+,wang+'
fi

pin=${TOKEN_PIN:-123456}
so_pin=${TOKEN_SO_PIN:-12345678}
module=${SOFTHSM2_MODULE:-/usr/lib/softhsm/libsofthsm2.so}
not_before=20250304200000Z
not_after=20301231160000Z

for tool in openssl softhsm2-util pkcs11-tool; do
  if ! command -v "$tool" >/dev/null; then
    echo "provision: $tool is missing (scripts/setup-deps.sh installs it)" >&2
    exit 1
  fi
done
if [[ ! -r $module ]]; then
  echo "provision: SoftHSM2 module $module not found (install softhsm2)" >&2
  exit 1
fi

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
mkdir -p "$dir/tokens" "$dir/certs" "$dir/ca/newcerts"
export SOFTHSM2_CONF="$dir/softhsm2.conf"
if [[ ! -f $SOFTHSM2_CONF ]]; then
  cat >"$SOFTHSM2_CONF" <<EOF
directories.tokendir = $dir/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
EOF
fi

ca="$dir/ca"
cat >"$ca/ca.cnf" <<EOF
[ ca ]
default_ca = sample_ca

[ sample_ca ]
dir = $ca
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir/newcerts
certificate = \$dir/ca.pem
private_key = \$dir/ca.key
default_md = sha256
policy = any_subject
unique_subject = no
email_in_dn = no
copy_extensions = none

[ any_subject ]
domainComponent = optional
countryName = optional
organizationName = optional
organizationalUnitName = optional
userId = optional
surname = optional
givenName = optional
serialNumber = optional
commonName = optional

[ req ]
distinguished_name = dn
string_mask = utf8only
utf8 = yes
[ dn ]

[ issuer ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[ leaf ]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation
extendedKeyUsage = clientAuth, emailProtection
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[ leaf_auth ]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = clientAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[ leaf_enc_only ]
basicConstraints = CA:FALSE
keyUsage = critical, keyEncipherment
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[ leaf_no_ku ]
basicConstraints = CA:FALSE
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[ leaf_many_names ]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = @many_names

[ many_names ]
EOF
# pkcs11-tool reads at most 5000 bytes of an object file: stay below that.
for i in $(seq 1 90); do
  printf 'DNS.%d = host-%03d.corvane-sample.example\n' "$i" "$i" >>"$ca/ca.cnf"
done
touch "$ca/index.txt"

if [[ ! -f $ca/ca.pem ]]; then
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$ca/ca.key" 2>/dev/null
  openssl req -config "$ca/ca.cnf" -new -x509 -key "$ca/ca.key" -days 3650 \
    -subj '/O=Corvane Samples/CN=Corvane Sample Issuer' -extensions issuer -out "$ca/ca.pem"
fi

# kind -> key type, subject, serial (hex), extension section
describe() {
  case $1 in
    alice)     echo "rsa|/C=DE/O=Corvane Samples/CN=Alice Example|4A1C0E5B7D2F9301|leaf" ;;
    device)    echo "ec|/O=Corvane Samples/OU=Devices/CN=Demo Signing Device|5B20D3E47A110C02|leaf" ;;
    wang)      echo "rsa|/C=CN/O=Corvane Samples/CN=王小明|6C3341F0A2B65E03|leaf_auth" ;;
    rsa-cjk)   echo "rsa|/O=Corvane Tests/CN=王小明|11223344|leaf" ;;
    ec-p256)   echo "ec|/O=Corvane Tests/CN=EC Device 01|21324354|leaf" ;;
    no-cn)     echo "rsa|/O=Corvane Tests/OU=Nameless|31425364|leaf" ;;
    serial-00) echo "rsa|/O=Corvane Tests/CN=Leading Zero Serial|8F0102030405|leaf" ;;
    large)     echo "rsa|/O=Corvane Tests/CN=Many Names|41526374|leaf_many_names" ;;
    long)      echo "rsa|/O=Corvane Tests/CN=A Common Name Long Enough To Need Wrapping In A Narrow Table|7A1B2C3D4E5F60718293A4B5C6D7E8F901234567|leaf" ;;
    escaped)   echo 'ec|/DC=example/DC=org/O=Corvane Tests/OU=#Lead, "Quoted" \+ <Angle>; back\\slash /OU=Unit A+UID=u123/CN= Spaced Both |51627384|leaf' ;;
    person)    echo "rsa|/C=EE/SN=TAMM/GN=MARI-LIIS/serialNumber=ID-38001085718/CN=TAMM; MARI-LIIS|61728394|leaf_auth" ;;
    no-ku)     echo "ec|/O=Corvane Tests/CN=No Key Usage|718293A4|leaf_no_ku" ;;
    enc-only)  echo "rsa|/O=Corvane Tests/CN=Encryption Only|8193A4B5|leaf_enc_only" ;;
    *) return 1 ;;
  esac
}

make_certificate() {
  local kind=$1 row key_type subject serial section
  row=$(describe "$kind") || { echo "provision: unknown kind '$kind'" >&2; exit 2; }
  IFS='|' read -r key_type subject serial section <<<"$row"
  local base="$dir/certs/$kind"
  [[ -f $base.der ]] && return 0
  if [[ $key_type == ec ]]; then
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$base.key" 2>/dev/null
  else
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$base.key" 2>/dev/null
  fi
  openssl req -config "$ca/ca.cnf" -new -utf8 -key "$base.key" -subj "$subject" -out "$base.csr"
  echo "$serial" >"$ca/serial"
  openssl ca -config "$ca/ca.cnf" -batch -utf8 -preserveDN -notext \
    -startdate "$not_before" -enddate "$not_after" -extensions "$section" \
    -in "$base.csr" -out "$base.pem" 2>/dev/null
  openssl x509 -in "$base.pem" -outform DER -out "$base.der"
  rm -f "$base.csr"
}

token_exists() {
  softhsm2-util --show-slots 2>/dev/null | sed -n 's/^ *Label: *//p' | sed 's/ *$//' | grep -qxF -- "$1"
}

for token in "$@"; do
  label=${token%%:*}
  kinds=${token#*:}
  if [[ -z $label || $label == "$token" || -z $kinds ]]; then
    echo "provision: '$token' is not LABEL:KIND[,KIND...]" >&2
    exit 2
  fi
  IFS=',' read -r -a kind_list <<<"$kinds"
  for entry in "${kind_list[@]}"; do
    make_certificate "${entry%%+*}"
    if [[ $entry == *+?* ]]; then
      make_certificate "${entry#*+}"
    fi
  done
  if token_exists "$label"; then
    echo "provision: token '$label' exists, left unchanged"
    continue
  fi
  softhsm2-util --init-token --free --label "$label" --pin "$pin" --so-pin "$so_pin" >/dev/null
  id=1
  for entry in "${kind_list[@]}"; do
    kind=${entry%%+*}
    key_kind=
    if [[ $entry == *+* ]]; then
      key_kind=${entry#*+}
      key_kind=${key_kind:-$kind}
    fi
    # Certificates are public objects: a session without login sees them.
    if ! pkcs11-tool --module "$module" --token-label "$label" --login --pin "$pin" \
      --write-object "$dir/certs/$kind.der" --type cert \
      --id "$(printf '%02x' "$id")" --label "$kind" >/dev/null ||
      { [[ -n $key_kind ]] && ! pkcs11-tool --module "$module" --token-label "$label" --login --pin "$pin" \
        --write-object "$dir/certs/$key_kind.key" --type privkey --usage-sign --private \
        --id "$(printf '%02x' "$id")" --label "$kind key" >/dev/null; } ||
      { [[ -n $key_kind ]] && ! { openssl pkey -in "$dir/certs/$key_kind.key" -pubout -out "$dir/certs/$key_kind.pub.pem" &&
        pkcs11-tool --module "$module" --token-label "$label" --login --pin "$pin" \
          --write-object "$dir/certs/$key_kind.pub.pem" --type pubkey \
          --id "$(printf '%02x' "$id")" --label "$kind key" >/dev/null; }; }; then
      # A half-filled token would be taken as done by the next run.
      softhsm2-util --delete-token --token "$label" >/dev/null || true
      echo "provision: could not store $kind on token '$label'" >&2
      exit 1
    fi
    id=$((id + 1))
  done
  echo "provision: token '$label' holds ${kind_list[*]}"
done
