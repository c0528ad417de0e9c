#include "ipp-transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <new>

#include "printer-answer.h"

namespace {

using Clock = std::chrono::steady_clock;
// A body of no stated length (chunked, or ended by the close) may still
// bring its end after a whole message; it is given this long to.
const auto kEndAfterWhole = std::chrono::milliseconds(100);

// What a thread keeps from one call to its next, as libcups keeps its
// default connection: over TLS or a distance, a new connection costs round
// trips of its own. The handle holds the connection the last call left
// whole (libcurl reuses it for the same scheduler alone, and closes it when
// the thread ends); a scheduler that asked for TLS is asked over TLS from
// the start.
struct Kept {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl{nullptr, curl_easy_cleanup};
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers{nullptr, curl_slist_free_all};
  std::string askedForTls;  // its host and port
};

// One transfer's view of the answer, kept by libcurl's callbacks. They run
// inside a C library, so nothing is thrown out of them.
struct Transfer {
  CURL* curl = nullptr;
  Posted posted;  // its outcome set by a callback that cut the transfer short
  Clock::time_point heard = Clock::now();
  size_t headerBytes = 0, bodyBytes = 0;
  size_t scanned = 0;  // how far the body has been looked at for a whole message
  bool whole = false;
  Clock::time_point wholeAt;

  size_t Cut(Outcome why) {
    posted.outcome = why;
    return 0;
  }

  // Every answer's header lines count, "100 Continue" ones too.
  static size_t OnHeader(char*, size_t, size_t length, void* self) {
    Transfer* transfer = static_cast<Transfer*>(self);
    transfer->heard = Clock::now();
    transfer->headerBytes += length;
    return transfer->headerBytes <= kMaximumHeaderBytes ? length : transfer->Cut(Outcome::kBroken);
  }

  // The body comes here decoded, so the cap holds however well it was
  // compressed.
  static size_t OnBody(char* bytes, size_t, size_t length, void* self) {
    Transfer* transfer = static_cast<Transfer*>(self);
    transfer->heard = Clock::now();
    transfer->bodyBytes += length;
    // A refusal is told by its status; its body is not needed.
    long status = 0;
    curl_easy_getinfo(transfer->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != HTTP_STATUS_OK) return 0;
    if (transfer->whole) return length;
    std::string& body = transfer->posted.body;
    const size_t taken = std::min(length, kMaximumAnswerBytes - body.size());
    try {
      body.append(bytes, taken);
    } catch (const std::bad_alloc&) {
      return transfer->Cut(Outcome::kOutOfMemory);
    }
    const auto* data = reinterpret_cast<const unsigned char*>(body.data());
    if (IppMessageLength(data, body.size(), &transfer->scanned) > 0) {
      transfer->whole = true;
      transfer->wholeAt = transfer->heard;
      // A server that promised more than the message may never send it.
      curl_off_t announced = -1, came = 0;
      curl_easy_getinfo(transfer->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
      curl_easy_getinfo(transfer->curl, CURLINFO_SIZE_DOWNLOAD_T, &came);
      return announced > came ? 0 : length;
    }
    return taken < length ? transfer->Cut(Outcome::kBroken) : taken;
  }

  static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    Transfer* transfer = static_cast<Transfer*>(self);
    const auto now = Clock::now();
    if (transfer->whole) return now - transfer->wholeAt >= kEndAfterWhole;
    if (now - transfer->heard < std::chrono::seconds(kSilenceSeconds)) return 0;
    // A silence before the body began is the server's; after, a stalled answer.
    transfer->Cut(transfer->bodyBytes > 0 ? Outcome::kBroken : Outcome::kTimedOut);
    return 1;
  }
};

// What became of a transfer that no callback cut short and that brought no
// answer: an answer that had begun and went wrong is broken, not a server
// that cannot be reached.
Outcome FromResult(CURLcode result, const Transfer& transfer) {
  if (result == CURLE_OPERATION_TIMEDOUT) return Outcome::kTimedOut;
  // libcurl 7.88 refuses a header line over 100 KiB as if memory ran out.
  if (result == CURLE_OUT_OF_MEMORY) return transfer.bodyBytes == 0 ? Outcome::kBroken : Outcome::kOutOfMemory;
  // No server, or none that answered: libcurl has already sent the request
  // again, once, on a new connection when a kept one had closed before any
  // of its answer came.
  const bool gone = result == CURLE_URL_MALFORMAT || result == CURLE_COULDNT_RESOLVE_HOST ||
                    result == CURLE_COULDNT_CONNECT || result == CURLE_SSL_CONNECT_ERROR ||
                    result == CURLE_GOT_NOTHING || result == CURLE_SEND_ERROR || result == CURLE_RECV_ERROR;
  return gone && transfer.headerBytes == 0 ? Outcome::kUnreachable : Outcome::kBroken;
}

ssize_t AppendTo(void* out, ipp_uchar_t* bytes, size_t length) {
  try {
    static_cast<std::string*>(out)->append(reinterpret_cast<const char*>(bytes), length);
    return static_cast<ssize_t>(length);
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

// The service's address: a socket path stands behind localhost; a host goes
// into a URL that libcurl puts together, an IPv6 address in brackets and its
// zone in a part of its own.
CURLcode SetAddress(CURL* curl, const std::string& server, const char* resource, bool tls) {
  const bool local = server[0] == '/';
  if (const CURLcode result = curl_easy_setopt(curl, CURLOPT_UNIX_SOCKET_PATH, local ? server.c_str() : nullptr))
    return result;
  const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
  if (!url) return CURLE_OUT_OF_MEMORY;
  std::string host = ServiceHost(), zone;
  if (host.find(':') != std::string::npos) {
    const size_t percent = host.find('%');
    if (percent != std::string::npos) zone = host.substr(percent + 1);
    host = "[" + host.substr(0, percent) + "]";
  }
  const std::string port = std::to_string(ippPort());
  char* text = nullptr;
  if (curl_url_set(url.get(), CURLUPART_SCHEME, tls ? "https" : "http", 0) ||
      curl_url_set(url.get(), CURLUPART_HOST, host.c_str(), 0) ||
      (!zone.empty() && curl_url_set(url.get(), CURLUPART_ZONEID, zone.c_str(), 0)) ||
      (!local && curl_url_set(url.get(), CURLUPART_PORT, port.c_str(), 0)) ||
      curl_url_set(url.get(), CURLUPART_PATH, resource, 0) || curl_url_get(url.get(), CURLUPART_URL, &text, 0))
    return CURLE_URL_MALFORMAT;
  const CURLcode set = curl_easy_setopt(curl, CURLOPT_URL, text);
  curl_free(text);
  return set;
}

// The thread's handle, made once with what all its calls share, as libcups
// would have it: no proxy (libcurl would take one from http_proxy), HTTP/1.1
// alone, no redirect followed, no "100-continue" or compression asked for,
// though a body that comes compressed is decoded; and the certificate
// unchecked, as libcups 2.4 leaves it: encrypted, not authenticated.
Kept* ThreadKept() {
  static const CURLcode initialized = [] {
    // A reader of the caller's output that goes away must not end the
    // process by a signal; libcups, which these calls once went through,
    // ignores SIGPIPE for the whole process as well.
    signal(SIGPIPE, SIG_IGN);
    return curl_global_init(CURL_GLOBAL_DEFAULT);
  }();
  thread_local Kept kept;
  if (kept.curl || initialized != CURLE_OK) return kept.curl ? &kept : nullptr;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  kept.headers.reset(curl_slist_append(
      curl_slist_append(curl_slist_append(nullptr, "Content-Type: application/ipp"), "Expect:"), "Accept-Encoding:"));
  CURLcode result = curl && kept.headers ? CURLE_OK : CURLE_OUT_OF_MEMORY;
  const auto set = [&](CURLoption option, auto value) {
    if (result == CURLE_OK) result = curl_easy_setopt(curl.get(), option, value);
  };
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_PROXY, "");
  set(CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_1_1});
  set(CURLOPT_ACCEPT_ENCODING, "deflate, gzip");
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_SSL_VERIFYPEER, 0L);
  set(CURLOPT_SSL_VERIFYHOST, 0L);
  // Nor is the system's trust store loaded for it: that took 20 ms a run.
  set(CURLOPT_CAINFO, nullptr);
  set(CURLOPT_CAPATH, nullptr);
  // A name lookup that hangs would otherwise hold the call to its end.
  set(CURLOPT_QUICK_EXIT, 1L);
  set(CURLOPT_USERAGENT, cupsUserAgent());
  set(CURLOPT_HTTPHEADER, kept.headers.get());
  set(CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
  set(CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  set(CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress);
  set(CURLOPT_NOPROGRESS, 0L);
  if (result == CURLE_OK) kept.curl = std::move(curl);
  return kept.curl ? &kept : nullptr;
}

Posted Post(CURL* curl, const std::string& server, const char* resource, const std::string& request, bool tls,
            long milliseconds) {
  Transfer transfer;
  transfer.curl = curl;
  CURLcode result = SetAddress(curl, server, resource, tls);
  for (const auto data : {CURLOPT_HEADERDATA, CURLOPT_WRITEDATA, CURLOPT_XFERINFODATA})
    if (result == CURLE_OK) result = curl_easy_setopt(curl, data, &transfer);
  if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, milliseconds);
  if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.data());
  if (result == CURLE_OK) result = curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.size()));
  if (result == CURLE_OK) result = curl_easy_perform(curl);
  Posted& posted = transfer.posted;
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  // None, or only "100 Continue", is no answer.
  posted.status = status >= HTTP_STATUS_OK ? static_cast<http_status_t>(status) : HTTP_STATUS_NONE;
  // A refusal is told by its status line, whatever came after it.
  if (posted.outcome != Outcome::kOutOfMemory && (transfer.whole || posted.status >= HTTP_STATUS_MULTIPLE_CHOICES))
    posted.outcome = Outcome::kAnswered;
  else if (posted.outcome == Outcome::kAnswered)  // not cut short
    posted.outcome = FromResult(result, transfer);
  return std::move(posted);
}

}  // namespace

std::string ServiceHost() {
  std::string host = cupsServer();
  if (host[0] == '/') return "localhost";
  if (host.size() < 2 || host[0] != '[' || host.back() != ']') return host;
  host = host.substr(1, host.size() - 2);
  if (host.compare(0, 3, "v1.") == 0) {
    host.erase(0, 3);
    const size_t plus = host.find('+');
    if (plus != std::string::npos) host[plus] = '%';
  }
  return host;
}

Posted PostIpp(ipp_t* request, const char* resource, Clock::time_point started) {
  Posted posted;
  Kept* kept = ThreadKept();
  std::string bytes;
  ippSetState(request, IPP_STATE_IDLE);
  if (!kept || ippWriteIO(&bytes, AppendTo, 1, nullptr, request) != IPP_STATE_DATA) {
    posted.outcome = Outcome::kOutOfMemory;
    return posted;
  }
  const std::string server = cupsServer(), where = server + ":" + std::to_string(ippPort());
  const http_encryption_t encryption = cupsEncryption();
  // A local socket never leaves the machine, so it is never encrypted.
  const bool local = server[0] == '/';
  bool tls = !local && (encryption == HTTP_ENCRYPTION_REQUIRED || encryption == HTTP_ENCRYPTION_ALWAYS ||
                        kept->askedForTls == where);
  for (;;) {
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    posted = Post(kept->curl.get(), server, resource, bytes, tls,
                  std::max(1L, kCallMilliseconds - static_cast<long>(spent)));
    // A scheduler that takes requests only over TLS says so; libcups would
    // then go over to it, once.
    if (posted.status != HTTP_STATUS_UPGRADE_REQUIRED || tls || local) return posted;
    tls = true;
    kept->askedForTls = where;
  }
}
