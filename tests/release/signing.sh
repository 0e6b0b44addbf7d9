# Sourced: Authenticode signing with a throwaway code-signing certificate,
# made here with openssl and good for one day, as a vendor signs a filled
# program with its own (osslsigncode).
#   throwaway_certificate DIR   makes DIR/cert.pem and DIR/key.pem
#   sign_program DIR IN OUT     signs IN into OUT with them
throwaway_certificate() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Zorbel test vendor" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$1/key.pem" -out "$1/cert.pem" 2>/dev/null
}
sign_program() {
  osslsigncode sign -certs "$1/cert.pem" -key "$1/key.pem" -h sha256 -n "Zorbel" \
    -in "$2" -out "$3" > /dev/null
}
