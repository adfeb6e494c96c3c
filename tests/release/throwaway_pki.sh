#!/bin/sh
# throwaway_pki.sh FOLDER PASSWORD: makes the signing tests' throwaway keys in FOLDER (throwaway_pki.py
# says what each is for): two unrelated CAs, a code-signing certificate and a time-stamping authority's
# certificate issued by the first, the signer's key, certificate and chain in a PKCS#12 file with the
# password and in one without (empty, as an export without one gives), and a PKCS#12 file that holds
# the certificate but no key.
set -eu
config=$(dirname "$(realpath "$0")")/throwaway_pki.cnf
cd "$1"
password=$2
for ca in ca other-ca; do
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$ca.key" -out "$ca.crt" -days 3650 \
    -subj "/CN=hexalift throwaway $ca" -config "$config" -extensions ca
done
serial=2
for pair in signer:code_signing tsa:time_stamping; do
  name=${pair%%:*}
  openssl req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" \
    -subj "/CN=hexalift throwaway $name"
  openssl x509 -req -in "$name.csr" -CA ca.crt -CAkey ca.key -set_serial $serial -days 3650 \
    -extfile "$config" -extensions "${pair#*:}" -out "$name.crt"
  serial=$((serial + 1))
done
openssl pkcs12 -export -inkey signer.key -in signer.crt -certfile ca.crt -passout "pass:$password" \
  -out signer.pfx
openssl pkcs12 -export -inkey signer.key -in signer.crt -certfile ca.crt -passout pass: \
  -out signer-without-password.pfx
openssl pkcs12 -export -nokeys -in signer.crt -passout "pass:$password" -out certificate-only.pfx
echo 01 >tsa.serial
