#!/bin/sh
# Signatures as a publisher makes them, with the openssl command itself, for
# the signature tests: certificates, and one folder per case, each holding
# package.qeff and what lies beside it.
# Usage: make_signatures.sh FOLDER [PACKAGE] (without PACKAGE: bytes of its own)
set -eu
out=$1
rm -rf "$out"
mkdir -p "$out"
cd "$out"
quiet() { log=$("$@" 2>&1) || { echo "failed: $*" >&2; echo "$log" >&2; exit 1; }; }

# A CA, the publisher's certificate it issued, a stranger's own, and a
# certificate the CA issued that has expired ('openssl ca' sets its dates).
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=Test CA"
quiet openssl x509 -in ca.pem -outform DER -out ca.der
quiet openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr -subj "/CN=Publisher"
quiet openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -out leaf.pem
# A publisher's certificate for signing code, as a CA issues one to a firmware maker.
quiet openssl req -newkey rsa:2048 -nodes -keyout code.key -out code.csr -subj "/CN=Code Publisher"
printf 'extendedKeyUsage=codeSigning\nkeyUsage=digitalSignature\n' >code.ext
quiet openssl x509 -req -in code.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -extfile code.ext -out code.pem
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 30 -subj "/CN=Someone Else"
quiet openssl req -newkey rsa:2048 -nodes -keyout expired.key -out expired.csr -subj "/CN=Old Publisher"
mkdir ca-db
: >ca-db/index.txt
cat >ca.cnf <<CNF
[ca]
default_ca = test
[test]
database = ca-db/index.txt
new_certs_dir = ca-db
serial = ca-db/serial
default_md = sha256
policy = anything
[anything]
commonName = supplied
CNF
echo 01 >ca-db/serial
quiet openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr -out expired.pem \
  -startdate 20200101000000Z -enddate 20200201000000Z -notext
printf 'not a certificate\n' >garbage.pem

if [ $# -ge 2 ]; then cp "$2" package.qeff; else head -c 6000 /dev/urandom >package.qeff; fi
sign() {  # FOLDER CERT KEY
  mkdir -p "$1"
  cp package.qeff "$1/package.qeff"
  quiet openssl cms -sign -binary -noattr -outform DER -in "$1/package.qeff" -signer "$2" -inkey "$3" \
    -out "$1/package.qeff.p7s"
}
sign good leaf.pem leaf.key
sign other other.pem other.key
sign code code.pem code.key
sign expired expired.pem expired.key
sign changed leaf.pem leaf.key
# One byte of the package changed after it was signed: to another value than
# the one it has, which for random bytes is 1 once in 256 runs.
byte=$(od -An -tu1 -j100 -N1 changed/package.qeff | tr -d ' ')
if [ "$byte" = 1 ]; then printf '\002'; else printf '\001'; fi | dd of=changed/package.qeff bs=1 seek=100 conv=notrunc 2>/dev/null
cmp -s good/package.qeff changed/package.qeff && { echo "changed/package.qeff is not changed" >&2; exit 1; }
sign truncated leaf.pem leaf.key
head -c 200 good/package.qeff.p7s >truncated/package.qeff.p7s
sign garbage leaf.pem leaf.key
head -c 1500 /dev/urandom >garbage/package.qeff.p7s
sign huge leaf.pem leaf.key
head -c 3000000 /dev/zero >>huge/package.qeff.p7s
mkdir none
cp package.qeff none/package.qeff
