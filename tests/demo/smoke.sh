#!/usr/bin/env bash
# Smoke test of the demo portal with curl: certificates, the required client certificate,
# TLS 1.2, list and card markup, 404 cards, gzip and chunked answers, transient faults that
# clear, and a clean stop on SIGTERM.
# usage: smoke.sh PATH/TO/demo-portal PATH/TO/make-certs.sh
set -uo pipefail

portal=${1:?demo-portal binary}
makecerts=${2:?make-certs.sh}
work=$(mktemp -d)
pids=()
failures=0
checks=0

cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  checks=$((checks + 1))
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}

contains() { grep -qF -- "$2" "$1"; }
lacks() { ! grep -qF -- "$2" "$1"; }

# --- certificates, made twice: the second run changes nothing
bash "$makecerts" "$work/pki" || { echo "FAILED: make-certs.sh"; exit 1; }
sums=$(cd "$work/pki" && sha256sum ca.pem server-cert.pem 01cert.pem 01key.pem)
bash "$makecerts" "$work/pki"
check "make-certs.sh is idempotent" test "$sums" = "$(cd "$work/pki" && sha256sum ca.pem server-cert.pem 01cert.pem 01key.pem)"
check "client key is encrypted" contains "$work/pki/01key.pem" "ENCRYPTED PRIVATE KEY"
check "client key opens with the pass phrase" openssl pkey -in "$work/pki/01key.pem" -passin pass:quorvelt -noout
check "server certificate names localhost and 127.0.0.1" \
  bash -c "openssl x509 -in '$work/pki/server-cert.pem' -noout -ext subjectAltName | grep -q 'DNS:localhost, IP Address:127.0.0.1'"
check "client certificate is signed by the CA" \
  openssl verify -CAfile "$work/pki/ca.pem" -purpose sslclient "$work/pki/01cert.pem"

# start_portal NAME ARGS...: starts a portal on a free port; sets ORIGIN and PID
start_portal() {
  local name=$1
  shift
  (cd "$work/pki" && exec "$portal" --port 0 "$@" >"$work/$name.out" 2>"$work/$name.err") &
  PID=$!
  pids+=("$PID")
  ORIGIN=""
  for _ in $(seq 1 300); do
    ORIGIN=$(sed -n 's/^demo-portal listening on //p' "$work/$name.out" 2>/dev/null)
    [ -n "$ORIGIN" ] && return 0
    kill -0 "$PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "FAILED: portal $name did not start"; cat "$work/$name.err"
  exit 1
}

fetch() {  # fetch OUTFILE URL [curl options...]: HTTPS with the client certificate, TLS 1.2 only
  local out=$1 url=$2
  shift 2
  (cd "$work/pki" && curl -sS -k --cert 01cert.pem --key 01key.pem --pass quorvelt --tlsv1.2 --tls-max 1.2 \
    --max-time 30 -D "$out.head" -o "$out" "$@" "$url")
}

list_url() { echo "$1/ru/registry/supplierreg?filter%5Byear%5D%5B0%5D=$2&count_record=2000${3:+&page=$3}"; }
inactive_url() { echo "$1/ru/registry/supplierreg?filter%5Btype%5D%5B%5D=$2&filter%5Byear%5D%5B0%5D=$3&count_record=2000"; }

# --- the plain portal
start_portal plain --years 2016-2017 --pages-per-year 3 --cards-per-page 4 --inactive-per-type 2 \
  --fault-404 0.25 --seed 7 --dump-expected "$work/expected.tsv"
plain=$ORIGIN
check "origin is https://localhost:PORT" bash -c "[[ '$plain' =~ ^https://localhost:[0-9]+$ ]]"

check "a request without a client certificate is refused" \
  bash -c "! curl -sS -k --tlsv1.2 --tls-max 1.2 --max-time 30 -o /dev/null '$plain/' 2>/dev/null"

fetch "$work/list1" "$(list_url "$plain" 2017)"
check "list page answers 200" contains "$work/list1.head" "200 OK"
check "list page has card links with the origin" contains "$work/list1" "<a href=\"$plain/ru/registry/show_supplier/"
check "list page ends with </html>" bash -c "tail -c 8 '$work/list1' | grep -q '</html>'"
last_anchor=$(grep -o 'page=[0-9]*" aria-label="Назад">' "$work/list1" | tail -1)
check "first page carries the page count before the last anchor" test "$last_anchor" = 'page=3" aria-label="Назад">'
check "first page shows its four card links" test "$(grep -c "show_supplier/" "$work/list1")" = 4

# localhost is both loopback addresses: whichever a client resolves it to, the portal answers
port=${plain##*:}
loopbacks=(127.0.0.1)
if grep -qs '^00000000000000000000000000000001 ' /proc/net/if_inet6; then
  loopbacks+=('[::1]')
else
  echo "note: no IPv6 loopback on this machine, [::1] not checked"
fi
for address in "${loopbacks[@]}"; do
  rm -f "$work/loopback" "$work/loopback.head"
  fetch "$work/loopback" "$(list_url "https://$address:$port" 2017)" -g
  check "the portal answers on $address with the same page" cmp -s "$work/loopback" "$work/list1"
done

fetch "$work/list3" "$(list_url "$plain" 2017 3)"
check "last page also links the first card of the year again" \
  test "$(grep -o 'show_supplier/[0-9]*' "$work/list3" | wc -l)" = 5

fetch "$work/inactive" "$(inactive_url "$plain" 9 2016)"
check "inactive list of type 9 links two cards" test "$(grep -c "show_supplier/" "$work/inactive")" = 2
inactive_id=$(grep -o 'show_supplier/[0-9]*' "$work/inactive" | head -1 | cut -d/ -f2)
check "dump marks that card inactive of type 9" \
  bash -c "awk -F'\t' '\$1==\"$inactive_id\" && \$2==\"inactive\" && \$3==\"9\"' '$work/expected.tsv' | grep -q ."

ok_id=$(awk -F'\t' '!/^#/ && $4=="ok" {print $1; exit}' "$work/expected.tsv")
gone_id=$(awk -F'\t' '!/^#/ && $4=="404" {print $1; exit}' "$work/expected.tsv")
fetch "$work/card" "$plain/ru/registry/show_supplier/$ok_id"
for label in "Дата регистрации</th>" "БИН участника</th>" "Наименование на рус. языке</th>" "КАТО</th>" \
  "Контактный телефон:</th>" "Код сектора экономики</th>"; do
  check "card page has label $label" contains "$work/card" "$label"
done
check "card page has the heading" contains "$work/card" "<h1>"
check "card page ends with </html>" bash -c "tail -c 8 '$work/card' | grep -q '</html>'"
expected_bin=$(awk -F'\t' -v id="$ok_id" '$1==id {print $15 $16}' "$work/expected.tsv")
check "card page shows the BIN or IIN the dump expects" bash -c "grep -qF -- '$expected_bin' '$work/card' || [ -z '$expected_bin' ]"

fetch "$work/h10" "$plain/ru/registry/show_supplier/$ok_id" --http1.0 --ciphers 'ALL:!ADH:RC4+RSA:+SSLv2:@STRENGTH'
check "HTTP/1.0 with the harvester's cipher list over TLS 1.2" cmp -s "$work/h10" "$work/card"
check "an HTTP/1.0 answer closes its connection" contains "$work/h10.head" "Connection: close"

fetch "$work/gone" "$plain/ru/registry/show_supplier/$gone_id"
check "a gone card answers 404 Not Found" contains "$work/gone.head" "404 Not Found"
fetch "$work/gone2" "$plain/ru/registry/show_supplier/$gone_id"
check "a gone card stays gone" contains "$work/gone2.head" "404 Not Found"
fetch "$work/nosuch" "$plain/ru/registry/show_supplier/1"
check "an unknown card answers 404" contains "$work/nosuch.head" "404 Not Found"

# --- gzip and chunked answers
start_portal wire --years 2016-2016 --cards-per-page 3 --gzip --chunked
fetch "$work/gz" "$(list_url "$ORIGIN" 2016)" --compressed -H "Accept-Encoding: gzip, deflate, br"
check "gzip answer when gzip is offered" contains "$work/gz.head" "Content-Encoding: gzip"
check "chunked answer" contains "$work/gz.head" "Transfer-Encoding: chunked"
check "gzip answer decodes to a whole page" bash -c "tail -c 8 '$work/gz' | grep -q '</html>'"
fetch "$work/id" "$(list_url "$ORIGIN" 2016)" -H "Accept-Encoding: identity"
check "no coding when gzip is not offered" lacks "$work/id.head" "Content-Encoding"
check "both codings carry the same page" cmp -s "$work/gz" "$work/id"

# --- transient faults clear after the faulty attempts
start_portal faults --years 2016-2016 --cards-per-page 3 --fault-429 1 --faulty-attempts 1
url=$(list_url "$ORIGIN" 2016)
fetch "$work/f1" "$url"
check "first attempt gets the 429 page with status 200" \
  bash -c "grep -q '200 OK' '$work/f1.head' && grep -qF '<h1>429</h1>' '$work/f1'"
fetch "$work/f2" "$url"
check "second attempt gets the list" contains "$work/f2" "show_supplier/"

start_portal cut --years 2016-2016 --cards-per-page 3 --fault-cut 1 --faulty-attempts 1
url=$(list_url "$ORIGIN" 2016)
fetch "$work/c1" "$url"
check "a cut page has no </html>" bash -c "grep -q '200 OK' '$work/c1.head' && ! grep -q '</html>' '$work/c1'"
fetch "$work/c2" "$url"
check "the next attempt is whole" contains "$work/c2" "</html>"

start_portal drop --years 2016-2016 --cards-per-page 3 --fault-drop 1 --faulty-attempts 1
url=$(list_url "$ORIGIN" 2016)
dropped=0
fetch "$work/d1" "$url" 2>/dev/null || dropped=1
check "a dropped answer fails in curl" test "$dropped" = 1
fetch "$work/d2" "$url"
check "the next attempt is whole" contains "$work/d2" "</html>"

# --- SIGTERM stops it cleanly
kill -TERM "$PID"
wait "$PID"
rc=$?
check "SIGTERM ends the portal with status 0" test "$rc" = 0
check "the portal says it stopped" contains "$work/drop.out" "demo-portal stopped"

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" = 0 ]
