// Owners of the libcurl and libcrypto handles brevane-check uses, and the
// options every one of its HTTP requests shares.
#pragma once

#include <curl/curl.h>
#include <openssl/evp.h>

#include <memory>

namespace check {

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct DigestDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

// Installers follow redirects (WinINet does by default), so a site that
// redirects to where its objects are serves them; but only to HTTP and
// HTTPS, the schemes installers fetch over: a site that sends the check to
// ftp:// (or anything else) fails it.
bool FollowRedirects(CURL* h);

}  // namespace check
