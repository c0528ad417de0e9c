#!/usr/bin/env bash
# Plants faults in src/, one at a time, in a copy of this tree, and runs the
# native suites against each: a fault that no suite catches is a gap in the
# tests. Run it before and after reworking the tests, to see that no fault
# the suites caught goes uncaught. It takes a few minutes a fault.
#
#   plant-faults.sh [SUITES]   SUITES: a CTest regex (default: the native suites)
set -eu
cd "$(dirname "$0")/.."
PATH=$PATH:/usr/sbin:/sbin
suites=${1:-'^(probe|layer|probe-cups|probe-faults|terminal|fuzz-replay-.*)$'}

copy=$(mktemp -d /tmp/printer-probe-faults.XXXXXX)
trap 'rm -rf "$copy"' EXIT
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$copy"
cd "$copy"
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null

planted=0 caught=0
# Replaces FROM, once, with TO in FILE, builds, runs the suites, and puts the
# file back.
plant() {  # FILE FROM TO WHAT
  local file=$1 result
  cp "$file" "$file.orig"
  FROM=$2 TO=$3 perl -0pi -e 's/\Q$ENV{FROM}\E/$ENV{TO}/ or die "no such text\n"' "$file"
  if ! cmake --build --preset default >build.log 2>&1; then
    result="does not build"
  elif ctest --preset default -R "$suites" --stop-on-failure >ctest.log 2>&1; then
    result="UNCAUGHT"
  else
    result="caught by $(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (\(Failed\|Subprocess aborted\).*/\1/p' ctest.log | paste -sd' ')"
    caught=$((caught + 1))
  fi
  planted=$((planted + 1))
  printf '%-72s %s\n' "$4" "$result"
  mv "$file.orig" "$file"
  touch "$file"  # newer than what was built from the fault
}

plant src/probe.cc 'index < returnedA && index < insideA' 'index <= returnedA && index < insideA' \
  'the narrow listing reads one record too many'
plant src/probe.cc '(int)neededA, (int)(returnedA * recordA)' '(int)sizeA, (int)(returnedA * recordA)' \
  'the narrow fill report prints the size asked for, not the bytes copied'
plant src/probe.cc $'(unsigned)lastError);\n    free(buffera);\n    free(bufferw);\n    return;\n  }\n  const DWORD recordW' \
  $'(unsigned)lastError);\n    free(bufferw);\n    return;\n  }\n  const DWORD recordW' \
  'a failed wide fill leaves the narrow buffer held'
plant src/probe.cc '(uintptr_t)buffera + (uintptr_t)sizeA - 1' '(uintptr_t)buffera + (uintptr_t)sizeA' \
  'the narrow range line ends a byte too far'
plant src/winspool-cups.cc '  static const char* const kWanted[]' \
  $'  ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_ENUM, "printer-type-mask", CUPS_PRINTER_REMOTE);\n  static const char* const kWanted[]' \
  'queues that forward to another server are left out'
plant src/winspool-cups.cc \
  'ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());' '' \
  'the requests name no user, so access lists are not applied'
plant src/winspool-cups.cc $'  if (operation.target) {\n' \
  $'  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());\n  if (operation.target) {\n' \
  'a service is named after the user, where ippserver wants its URI third'
plant src/winspool-cups.cc 'ServiceHost().c_str(), ippPort()' 'cupsServer(), ippPort()' \
  'a service at an IPv6 address in brackets is named by a URI with its brackets encoded'
plant src/winspool-cups.cc 'kOperations[i].resource, started)' 'kOperations[i].resource)' \
  'each request of a call has a limit of its own'
plant src/winspool-cups.cc '(*type & CUPS_PRINTER_DEFAULT)' '(*type & CUPS_PRINTER_NOT_SHARED)' \
  'the default queue is not marked as such'
plant src/winspool-cups.cc 'if (type && !(*type & CUPS_PRINTER_NOT_SHARED))' \
  'if (!(type.value_or(0) & CUPS_PRINTER_NOT_SHARED))' 'a service that gives no printer-type is called shared'
plant src/winspool-cups.cc 'posted.status == HTTP_STATUS_UNAUTHORIZED || ' '' \
  'a password demanded is not access denied'
plant src/winspool-cups.cc 'if (notOffered && i + 1 < std::size(kOperations)) continue;' '' \
  'a service that refuses CUPS-Get-Printers is asked nothing else'
plant src/winspool-cups.cc $'    answered.second = i;\n' '' \
  'each call asks anew what the service refused before'
plant src/printer-pack.cc 'bytes = AlignUp(bytes, alignof(Char)) +' 'bytes = AlignUp(bytes, 1) +' \
  'the size leaves out the alignment of wide names'
plant src/printer-pack.cc 'if (bytes > cbBuf ||' 'if (bytes > cbBuf + 1 ||' 'a buffer a byte short is filled'
plant src/printer-pack.cc '(c >= 0x7F && c <= 0x9F)' '(c >= 0x80 && c <= 0x9F)' 'DEL reaches the terminal'
plant src/printer-answer.cc $'if (step == Step::kEnd) {\n      endGroup();' 'if (step == Step::kEnd) {' \
  'the last printer of an answer is dropped'
plant src/printer-answer.cc 'if (inPrinter && named)' 'if (inPrinter && named && !(type.value_or(0) & CUPS_PRINTER_REMOTE))' \
  'a printer the server types remote is hidden'
plant src/printer-answer.cc 'syntax = more ? Joined(syntax, piece.tag) : piece.tag;' 'syntax = more ? 0 : piece.tag;' \
  'a printer-name of two values names no printer'
plant src/printer-answer.cc '(piece->tag == IPP_TAG_INTEGER || piece->tag == IPP_TAG_ENUM) && piece->value.size() != 4' \
  'piece->tag == IPP_TAG_INTEGER && piece->value.size() != 4' 'a printer-type not 4 bytes long is read past its value'
plant src/utf8.cc $'    if (lead == 0xE0) low = 0xA0;   // overlong\n' '' 'overlong three-byte UTF-8 accepted'
plant src/ipp-transport.cc 'transfer->headerBytes <= kMaximumHeaderBytes ? length :' 'true ? length :' \
  'header lines are taken without bound'
plant src/ipp-transport.cc 'curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, milliseconds)' 'CURLE_OK' \
  'a call is never cut at its limit'
plant src/ipp-transport.cc 'if (now - transfer->heard < std::chrono::seconds(kSilenceSeconds)) return 0;' 'return 0;' \
  'a silence is never noticed'
plant src/ipp-transport.cc 'transfer->bodyBytes > 0 ? Outcome::kBroken : Outcome::kTimedOut' 'Outcome::kBroken' \
  'a silent scheduler is not a timeout'
plant src/ipp-transport.cc 'return announced > came ? 0 : length;' 'return length;' \
  'a whole answer that promised more is waited for'
plant src/ipp-transport.cc 'set(CURLOPT_PROXY, "");' '' 'a proxy named in the environment is used'
plant src/ipp-transport.cc 'if (posted.status != HTTP_STATUS_UPGRADE_REQUIRED || tls || local) return posted;' \
  'return posted;' 'a scheduler asking for TLS is not given it'
plant src/ipp-transport.cc 'host = "[" + host.substr(0, percent) + "]";' 'host = host.substr(0, percent);' \
  'an IPv6 address without brackets is not reached'
plant src/ipp-transport.cc '(!zone.empty() && curl_url_set(url.get(), CURLUPART_ZONEID, zone.c_str(), 0)) ||' '' \
  'the zone of a link-local address is dropped'
plant src/ipp-transport.cc 'if (host.compare(0, 3, "v1.") == 0) {' 'if (false) {' \
  'a link-local address as libcups writes it is not read'
plant src/ipp-transport.cc 'set(CURLOPT_ACCEPT_ENCODING, "deflate, gzip");' '' 'a compressed answer is not decoded'
plant src/ipp-transport.cc 'gone && transfer.headerBytes == 0 ?' 'gone ?' \
  'an answer whose framing breaks is taken for no server'
plant src/wide-console.cc 'text.resize(text.size() * 2);' 'break;' 'a wide line longer than 256 characters is lost'
plant src/getch-posix.cc '~(ICANON | ECHO | ISIG | IEXTEN)' '~(ICANON | ISIG | IEXTEN)' 'the key is echoed'
plant src/getch-posix.cc '  if (!isatty(STDOUT_FILENO)) return -1;' '' 'a run with its output in a file waits for a key'
plant src/last-error-posix.cc 'static thread_local DWORD lastError' 'static DWORD lastError' \
  'the last error is shared by all threads'

cmake --build --preset default >/dev/null
echo "$caught of $planted faults caught"
