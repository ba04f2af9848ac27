// The release a run takes: from the site alone, or, with copies of the site (configured, or under
// a key named by the site's publisher beside its release), read from every copy at once. Of the
// copies it takes the first in order that serves a release, or under a key the newest release any
// copy verifies, so that a copy left a release behind cannot hold its players on it; the copies
// that serve that very list serve the rest of the run.
#pragma once

#include <functional>
#include <optional>
#include <stop_token>
#include <vector>

#include "base/tstring.h"
#include "site/file_list.h"
#include "site/release_signature.h"
#include "site/release_state.h"
#include "update/release_protocol.h"

class HttpClient;

struct ReleaseRead {
  std::tstring list_url;  // of the copy it was taken from
  FileList list;
  ListDigest digest;
  std::optional<TrustedRelease> trusted;  // under a key
  std::vector<std::tstring> serving;      // the copies that serve that very list, its own first
};

struct ReleaseSource {
  // The site's list URL, then the configured copies in order.
  std::vector<std::tstring> urls;
  // The publisher's keys as the configuration names them; empty: none.
  std::tstring public_key;
  // Under a key, or once the install follows a root: the release must verify.
  bool keyed = false;
  // Reads the site alone, and the publisher's document of copies.
  HttpClient& client;
  // Prepares the client a copy is read with (proxy, connections, stop).
  std::function<void(HttpClient&)> setup;
  std::stop_token stop;
};

// Throws the site's own failure when it alone is asked, and with copies one that names what each
// copy did when none served.
ReleaseRead ReadRelease(const ReleaseSource& source, const InstallState& state);

// The server a URL names, as "host" or "host:port".
std::tstring ServerOf(const std::tstring& url);
