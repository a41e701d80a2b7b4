// Fetching one release's objects from its sites with libcurl's multi
// interface: each body is inflated and hashed as it arrives.
#include <curl/curl.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <string.h>
#include <zlib.h>

#include <memory>
#include <string>
#include <vector>

#include "manifest/manifest_text.h"
#include "manifest/mirror_name.h"
#include "tools/check/check.h"
#include "tools/check/curl_handles.h"

namespace check {

namespace {

class Transfer {
 public:
  Transfer(size_t site, const Object& object, std::string url)
      : site_(site), object_(object), url_(std::move(url)) {
    memset(&stream_, 0, sizeof stream_);
    errorText_[0] = 0;
  }
  ~Transfer() {
    if (streamOpen_) inflateEnd(&stream_);
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Sets up the easy handle; false when libcurl, zlib or the digest refuse.
  bool Start(const Options& options) {
    handle_.reset(curl_easy_init());
    digest_.reset(EVP_MD_CTX_new());
    if (!handle_ || !digest_ || EVP_DigestInit_ex(digest_.get(), EVP_sha256(), nullptr) != 1)
      return false;
    if (inflateInit(&stream_) != Z_OK) return false;
    streamOpen_ = true;
    CURL* h = handle_.get();
    return curl_easy_setopt(h, CURLOPT_URL, url_.c_str()) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Transfer::OnBody) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_WRITEDATA, this) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_PRIVATE, this) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText_) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_TIMEOUT, options.timeoutSeconds) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK && FollowRedirects(h);
  }

  CURL* Handle() const { return handle_.get(); }
  size_t Site() const { return site_; }

  // Judges the finished transfer; detail says why when it is not kOk.
  Outcome Judge(CURLcode result, std::string* detail, double* seconds) const {
    long status = 0;
    curl_easy_getinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &status);
    curl_off_t micros = 0;
    curl_easy_getinfo(handle_.get(), CURLINFO_TOTAL_TIME_T, &micros);
    *seconds = static_cast<double>(micros) / 1e6;
    const uint64_t expected = static_cast<uint64_t>(object_.entry.Size);
    if (result != CURLE_OK && !abandoned_) {
      *detail = errorText_[0] != 0 ? errorText_ : curl_easy_strerror(result);
      return kFailed;
    }
    if (status == 404 || status == 410) {
      *detail = "HTTP " + std::to_string(status);
      return kMissing;
    }
    if (status != 200) {
      *detail = "HTTP " + std::to_string(status);
      return kFailed;
    }
    if (broken_) {
      *detail = "not a zlib stream (inflate failed after " + std::to_string(inflated_) + " bytes)";
      return kWrong;
    }
    if (inflated_ > expected) {
      *detail = "inflates to more than " + std::to_string(expected) + " bytes";
      return kWrong;
    }
    if (!ended_) {
      *detail = "zlib stream cut short after " + std::to_string(inflated_) + " bytes";
      return kWrong;
    }
    if (inflated_ != expected) {
      *detail = "inflates to " + std::to_string(inflated_) + " bytes, expected " +
                std::to_string(expected);
      return kWrong;
    }
    if (trailing_ != 0) {
      *detail = std::to_string(trailing_) + " bytes after the end of the zlib stream";
      return kWrong;
    }
    if (object_.entry.HasHash) {
      uint8_t hash[kSha256Size];
      unsigned length = 0;
      if (EVP_DigestFinal_ex(digest_.get(), hash, &length) != 1 || length != kSha256Size) {
        *detail = "SHA-256 could not be computed";
        return kFailed;
      }
      if (memcmp(hash, object_.entry.Hash, kSha256Size) != 0) {
        char got[kSha256HexCapacity], want[kSha256HexCapacity];
        FormatSha256Hex(hash, got);
        FormatSha256Hex(object_.entry.Hash, want);
        *detail = std::string("SHA-256 ") + got + ", expected " + want;
        return kWrong;
      }
    }
    return kOk;
  }

  const std::string& Url() const { return url_; }

 private:
  static size_t OnBody(char* data, size_t one, size_t count, void* context) {
    return static_cast<Transfer*>(context)->Take(reinterpret_cast<uint8_t*>(data), one * count);
  }

  // Returning less than length makes libcurl end the transfer: done once
  // the object is known to be wrong, so a large wrong body is not read on.
  size_t Take(uint8_t* data, size_t length) {
    long status = 0;
    curl_easy_getinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) return length;  // an error page: only its status counts
    if (ended_) {
      trailing_ += length;
      return length;
    }
    uint8_t out[kInflateBlock];
    stream_.next_in = data;
    stream_.avail_in = static_cast<uInt>(length);
    while (stream_.avail_in > 0 && !ended_) {
      stream_.next_out = out;
      stream_.avail_out = sizeof out;
      int z = inflate(&stream_, Z_NO_FLUSH);
      size_t produced = sizeof out - stream_.avail_out;
      inflated_ += produced;
      if (produced > 0 && EVP_DigestUpdate(digest_.get(), out, produced) != 1) z = Z_MEM_ERROR;
      if (z == Z_STREAM_END) {
        ended_ = true;
      } else if (z != Z_OK && !(z == Z_BUF_ERROR && produced > 0)) {
        broken_ = true;
      }
      if (broken_ || inflated_ > static_cast<uint64_t>(object_.entry.Size)) {
        abandoned_ = true;
        return 0;
      }
    }
    trailing_ += stream_.avail_in;
    return length;
  }

  size_t site_;
  Object object_;
  std::string url_;
  CurlHandle handle_;
  DigestContext digest_;
  z_stream stream_;
  bool streamOpen_ = false;
  bool ended_ = false;
  bool broken_ = false;
  bool abandoned_ = false;  // the body was cut off on purpose
  uint64_t inflated_ = 0;
  uint64_t trailing_ = 0;
  char errorText_[CURL_ERROR_SIZE];
};

std::string ObjectLabel(const Object& object) {
  char name[kMirrorUrlCapacity * 2];
  MirrorObjectName(name, sizeof name, object.entry.Stamp, object.entry.Size, object.entry.Name,
                   object.monthFolder);
  return name;
}

}  // namespace

bool RunTransfers(const Options& options, const std::vector<Object>& objects,
                  std::vector<SiteResult>* sites) {
  MultiHandle multi(curl_multi_init());
  if (!multi) return false;
  curl_multi_setopt(multi.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, options.jobs);

  const size_t total = objects.size() * sites->size();
  size_t next = 0;
  std::vector<std::unique_ptr<Transfer>> running;
  auto record = [&](size_t site, Outcome outcome, const std::string& what, bool slow) {
    SiteResult& result = (*sites)[site];
    result.counts[outcome]++;
    if (slow) result.slow++;
    if (!what.empty()) result.problems.push_back(what);
  };
  while (next < total || !running.empty()) {
    // Sites take turns, so that each is asked for its objects all along.
    while (next < total && running.size() < static_cast<size_t>(options.jobs)) {
      size_t site = next % sites->size();
      const Object& object = objects[next / sites->size()];
      next++;
      char url[kMirrorUrlCapacity];
      if (!MirrorObjectUrl(url, sizeof url, (*sites)[site].url.c_str(), object.entry.Stamp,
                           object.entry.Size, object.entry.Name, object.monthFolder)) {
        record(site, kFailed,
               std::string(kOutcomeNames[kFailed]) + "  " + ObjectLabel(object) +
                   ": URL over " + std::to_string(kMirrorUrlCapacity - 1) +
                   " characters, installers cannot fetch it",
               false);
        continue;
      }
      std::unique_ptr<Transfer> transfer(new Transfer(site, object, url));
      if (!transfer->Start(options) ||
          curl_multi_add_handle(multi.get(), transfer->Handle()) != CURLM_OK) {
        fprintf(stderr, "brevane-check: cannot start a transfer (out of memory?)\n");
        return false;
      }
      running.push_back(std::move(transfer));
    }
    int active = 0;
    if (curl_multi_perform(multi.get(), &active) != CURLM_OK) return false;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      for (size_t i = 0; i < running.size(); i++) {
        if (running[i]->Handle() != message->easy_handle) continue;
        std::string detail;
        double seconds = 0;
        Outcome outcome = running[i]->Judge(message->data.result, &detail, &seconds);
        bool slow = outcome == kOk && seconds > options.slowSeconds;
        std::string what;
        if (outcome != kOk) {
          what = std::string(kOutcomeNames[outcome]) + "  " + running[i]->Url() + ": " + detail;
        } else if (slow) {
          char took[32];
          snprintf(took, sizeof took, "%.1f s", seconds);
          what = "slow  " + running[i]->Url() + ": " + took;
        }
        record(running[i]->Site(), outcome, what, slow);
        curl_multi_remove_handle(multi.get(), running[i]->Handle());
        running.erase(running.begin() + static_cast<long>(i));
        break;
      }
    }
    if (active > 0 && curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr) != CURLM_OK)
      return false;
  }
  return true;
}


}  // namespace check
