#!/usr/bin/env bash
# Builds the Windows kernel driver Zarq7usb.sys for x64 and x86 with Debian's MinGW-w64
# cross compilers (installing them when missing, as root), checks both images and the platform
# declarations (windows/check_image.py, windows/check_platform.py), and puts the driver package
# together in build-windows/package/: Zarq7usb.inf, Zarq7usb.cat, amd64/Zarq7usb.sys,
# x86/Zarq7usb.sys and zarq7-test.cer. The x64 build also makes zarq7.exe, the zarq7 tool as a
# Windows console application (build-windows/x64/zarq7.exe, checked by tools/windows/check_tool.py).
# The smart card library's export driver, built from host/smclib for testing under Wine and never
# packaged, stays at build-windows/<x64|x86>/windows/SMCLIB.SYS.
#
# The package is test-signed for x64 Windows: a test certificate is made here with openssl
# (build-windows/signing/, kept for later builds: a machine that trusts it keeps trusting it), the
# images get an embedded Authenticode signature (osslsigncode), and the catalog
# (windows/make_catalog.py) lists the INF and both images with their hashes, signed with the same
# certificate. osslsigncode then verifies the image, the catalog and each image's hash in it, and
# openssl's own parse of the catalog must show the INF's hash.
#   scripts/windows.sh            free (release) build
#   BUILD_TYPE=Debug scripts/windows.sh   checked build (DBG=1: assertions and debug prints)
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/packages.sh
install_packages cmake ninja-build g++ python3 g++-mingw-w64-x86-64 g++-mingw-w64-i686 \
  openssl osslsigncode python3-asn1crypto

build_type=${BUILD_TYPE:-Release}
package=build-windows/package
rm -rf "$package"
mkdir -p "$package"
cp windows/Zarq7usb.inf "$package/"
for arch in x64 x86; do
  build=build-windows/$arch
  cmake -S . -B "$build" -G Ninja --toolchain windows/toolchain-$arch.cmake \
    -DCMAKE_BUILD_TYPE="$build_type" >/dev/null
  cmake --build "$build"
  directory=$([[ $arch == x64 ]] && echo amd64 || echo x86)
  mkdir -p "$package/$directory"
  cp "$build/windows/Zarq7usb.sys" "$package/$directory/"
done

signing=build-windows/signing
key=$signing/zarq7-test.key
certificate=$signing/zarq7-test.pem
if [[ ! -f $key || ! -f $certificate ]]; then
  mkdir -p "$signing"
  # Self-signed, for code signing only. SHA-1 signatures throughout: the first x64 Windows
  # (Server 2003 SP1, XP x64) and Vista check nothing else in kernel mode.
  openssl req -x509 -newkey rsa:2048 -nodes -sha1 -days 3650 -keyout "$key" -out "$certificate" \
    -subj "/O=ZARIK Systems/CN=Zarq7 Test Signing (not for release)" \
    -addext "basicConstraints=critical,CA:FALSE" -addext "keyUsage=critical,digitalSignature" \
    -addext "extendedKeyUsage=codeSigning" 2>/dev/null
fi
openssl x509 -in "$certificate" -outform DER -out "$package/zarq7-test.cer"
sign() {
  rm -f "$2"
  osslsigncode sign -certs "$certificate" -key "$key" -h sha1 \
    -n "Z7 Ira DUR USB Smart Card Reader driver" -in "$1" -out "$2" >/dev/null
}
# Both images: x64 Windows needs the signature; the x86 one carries it too, so that its hash (which
# leaves the signature out but takes in the padding before it) is the same to every tool that
# computes it. The loaders of 98/Me and 2000 do not read the security directory.
for arch in x64 x86; do
  directory=$([[ $arch == x64 ]] && echo amd64 || echo x86)
  sign build-windows/$arch/windows/Zarq7usb.sys "$package/$directory/Zarq7usb.sys"
  python3 windows/check_image.py --security-directory signed --image "$package/$directory/Zarq7usb.sys"
done
/usr/bin/python3 windows/make_catalog.py --output "$signing/Zarq7usb.cat.unsigned" \
  --member "$package/Zarq7usb.inf" --member "$package/amd64/Zarq7usb.sys" \
  --member "$package/x86/Zarq7usb.sys"
sign "$signing/Zarq7usb.cat.unsigned" "$package/Zarq7usb.cat"

# Verification by tools this project did not write.
verify() {
  local what=$1 output
  shift
  if ! output=$("$@" 2>&1) || ! grep -q "^Succeeded" <<<"$output"; then
    echo "$output" >&2
    echo "signing: $what: verification failed" >&2
    exit 1
  fi
  echo "signing: $what: $(grep -E "^(Signature verification|File is signed in catalog|Calculated message digest)" <<<"$output" | tr -s ' ' | paste -sd ';' -)"
}
for directory in amd64 x86; do
  verify "$directory/Zarq7usb.sys embedded signature" \
    osslsigncode verify -CAfile "$certificate" -in "$package/$directory/Zarq7usb.sys"
done
verify "Zarq7usb.cat signature" \
  osslsigncode verify -CAfile "$certificate" -in "$package/Zarq7usb.cat"
for directory in amd64 x86; do
  verify "$directory/Zarq7usb.sys in Zarq7usb.cat" \
    osslsigncode verify -CAfile "$certificate" -catalog "$package/Zarq7usb.cat" \
    -in "$package/$directory/Zarq7usb.sys"
done
# A flat file's entry holds the SHA-1 of the whole file (as its tag, in UTF-16 hex, and as its digest).
inf_hash=$(sha1sum "$package/Zarq7usb.inf" | cut -d' ' -f1 | tr a-f A-F)
# The parse is read whole before it is searched: grep -q leaving early would end openssl with
# SIGPIPE, and pipefail would take the match for a failure.
catalog_parse=$(openssl asn1parse -inform DER -in "$package/Zarq7usb.cat")
if ! grep -q "OCTET STRING *\[HEX DUMP\]:$inf_hash\$" <<<"$catalog_parse"; then
  echo "signing: Zarq7usb.cat does not list Zarq7usb.inf's SHA-1 $inf_hash" >&2
  exit 1
fi
echo "signing: Zarq7usb.inf in Zarq7usb.cat: SHA-1 $inf_hash listed (openssl asn1parse)"
grep -q "^CatalogFile *= *Zarq7usb.cat" "$package/Zarq7usb.inf" || {
  echo "signing: Zarq7usb.inf names no CatalogFile" >&2
  exit 1
}
echo "driver package: $package"
echo "zarq7.exe: build-windows/x64/zarq7.exe"
