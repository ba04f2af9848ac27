#include "update/release_reads.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>

#include "base/exception.h"
#include "net/http_client.h"
#include "update/install_way.h"
#include "update/site_copies.h"

namespace {

using Clock = std::chrono::steady_clock;

// Once a copy has served, the others are waited for at least this long.
constexpr auto kLeastGrace = std::chrono::seconds(1);

// What one copy of the site served when asked for the release.
struct CopyRead {
  std::tstring url;
  FileList list = {};
  std::optional<ListDigest> digest = {};  // once the list was read, and under a key verified
  std::optional<TrustedRelease> trusted = {};
  std::optional<Exception> failure = {};
};

class Reader {
 public:
  Reader(const ReleaseSource& source, const InstallState& state) : source_(source), state_(state) {}

  ReleaseRead Read() {
    std::vector<CopyRead> reads;
    for (const std::tstring& url : source_.urls) reads.push_back({.url = url});
    if (reads.size() > 1) {
      ReadSideBySide(reads);
    } else if (!source_.keyed) {
      ReadCopy(source_.client, reads[0]);
    } else {
      ReadGuarded(source_.client, reads[0]);
      if (reads[0].failure && !reads[0].failure->IsError()) throw *reads[0].failure;
    }
    if (source_.keyed) FollowPublishedCopies(reads);
    // The site alone says what went wrong in its own words, when its copies did not serve either.
    if (source_.urls.size() == 1 && reads[0].failure &&
        std::ranges::none_of(reads, [](const CopyRead& read) { return read.digest.has_value(); })) {
      throw *reads[0].failure;
    }
    return Take(reads);
  }

 private:
  // Reads the copy's release on the client; throws its failure.
  void ReadCopy(HttpClient& client, CopyRead& read) const {
    if (!source_.keyed) {
      read.digest = FetchFileList(client, read.url, read.list);
      return;
    }
    const KeySet configured =
        source_.public_key.empty() ? KeySet{} : ParseKeySet(source_.public_key);
    SignedList served = FetchSignedList(client, read.url, read.list, state_, configured);
    read.trusted = std::move(served.trusted);
    read.digest = served.list;
  }

  // Each with a client of its own: a copy that connects or sends nothing for a few seconds costs
  // those seconds once, whichever copy it is. Once a copy has served, the others are waited for
  // as long again as it took, and at least a second; those still reading then are left, so that a
  // copy that stalls costs a run little more than the copies that answer take.
  void ReadSideBySide(std::vector<CopyRead>& reads) const {
    std::vector<std::unique_ptr<HttpClient>> clients;
    std::mutex lock;
    std::condition_variable changed;
    std::size_t ended = 0;
    std::optional<Clock::time_point> first_served;
    const Clock::time_point started = Clock::now();
    std::vector<std::jthread> threads;
    for (CopyRead& read : reads) {
      HttpClient& client = *clients.emplace_back(std::make_unique<HttpClient>());
      source_.setup(client);
      client.SetStop(source_.stop);
      client.SetLimits(SiteCopies::Patient());
      threads.emplace_back([&, this] {
        ReadGuarded(client, read);
        const std::lock_guard<std::mutex> hold(lock);
        ++ended;
        if (read.digest && !first_served) first_served = Clock::now();
        changed.notify_all();
      });
    }
    {
      std::unique_lock<std::mutex> hold(lock);
      const auto all_ended = [&] { return ended == reads.size(); };
      changed.wait(hold, [&] { return all_ended() || first_served; });
      if (!all_ended()) {
        const auto grace = std::max<Clock::duration>(*first_served - started, kLeastGrace);
        changed.wait_until(hold, *first_served + grace, all_ended);
      }
    }
    for (const auto& client : clients) client->SetAbort(true);
    threads.clear();
    ThrowIfStopped(source_.stop);
  }

  void ReadGuarded(HttpClient& client, CopyRead& read) const noexcept {
    try {
      ReadCopy(client, read);
    } catch (const Exception& failure) {
      read.failure = failure;
    } catch (...) {
      read.failure = DownloadManagerException("Unknown Error.", true);
    }
  }

  // Reads the releases of the copies the publisher names beside the release read, signed by its
  // keys for its list. When no copy served one that the install takes (an older release than the
  // one installed, say), those the first copy names under the install's own keys, for whatever
  // list: each copy's release is then held to every check all the same.
  void FollowPublishedCopies(std::vector<CopyRead>& reads) const {
    std::vector<std::tstring> named;
    if (std::ranges::any_of(reads, [](const CopyRead& read) { return read.digest.has_value(); })) {
      const CopyRead& chosen = reads[Chosen(reads)];
      named = FetchPublishedCopies(source_.client, chosen.url, chosen.trusted->root.keys,
                                   chosen.digest);
    } else if (const std::optional<KeySet> keys = InstallKeys()) {
      named = FetchPublishedCopies(source_.client, reads[0].url, *keys, std::nullopt);
    }
    std::vector<CopyRead> more;
    for (const std::tstring& url : named) {
      const auto same = [&url](const CopyRead& read) { return read.url == url; };
      if (std::ranges::none_of(reads, same) && std::ranges::none_of(more, same)) {
        more.push_back({.url = url});
      }
    }
    if (more.empty()) return;
    ReadSideBySide(more);
    std::ranges::move(more, std::back_inserter(reads));
  }

  // The keys the install trusts now: its root's, or before it has one the configured ones.
  std::optional<KeySet> InstallKeys() const {
    if (state_.root) return state_.root->keys;
    if (source_.public_key.empty()) return std::nullopt;
    return ParseKeySet(source_.public_key);
  }

  ReleaseRead Take(std::vector<CopyRead>& reads) const {
    CopyRead& chosen = reads[Chosen(reads)];
    ReleaseRead taken{.list_url = chosen.url,
                      .list = std::move(chosen.list),
                      .digest = *chosen.digest,
                      .trusted = std::move(chosen.trusted),
                      .serving = {chosen.url}};
    for (const CopyRead& read : reads) {
      if (&read != &chosen && read.digest == chosen.digest) taken.serving.push_back(read.url);
    }
    return taken;
  }

  // The read the run takes: the first that served, or under a key the newest release.
  static std::size_t Chosen(const std::vector<CopyRead>& reads) {
    std::optional<std::size_t> chosen;
    for (std::size_t i = 0; i < reads.size(); ++i) {
      const CopyRead& read = reads[i];
      if (!read.digest) continue;
      if (!chosen || (read.trusted && reads[*chosen].trusted &&
                      read.trusted->release.serial > reads[*chosen].trusted->release.serial)) {
        chosen = i;
      }
    }
    if (chosen) return *chosen;
    std::tstring failures, servers;
    bool all_network = true;
    for (const CopyRead& read : reads) {
      failures += " / " + read.url + " : " + read.failure->GetText();
      servers += (servers.empty() ? "" : ", ") + ServerOf(read.url);
      all_network = all_network && read.failure->Cause() == ErrorCause::kNetwork;
    }
    DownloadManagerException none("No server served the release" + failures, true);
    if (all_network) none.SetCause(ErrorCause::kNetwork, {servers, {}});
    throw none;
  }

  const ReleaseSource& source_;
  const InstallState& state_;
};

}  // namespace

ReleaseRead ReadRelease(const ReleaseSource& source, const InstallState& state) {
  return Reader(source, state).Read();
}

std::tstring ServerOf(const std::tstring& url) {
  const std::size_t scheme = url.find("://");
  const std::size_t start = scheme == std::tstring::npos ? 0 : scheme + 3;
  return url.substr(start, url.find('/', start) - start);
}
