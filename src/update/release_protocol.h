// The update server's protocol as both the updater and the release tool speak it: the list
// document and the signed release beside it, the query that names a file's package, and the proxy
// a request goes through.
#pragma once

#include "base/tstring.h"
#include "net/http_client.h"
#include "update/file_list.h"
#include "update/release_signature.h"

// Points the client at the proxy that "RV7.conf" and the user's settings choose.
void UseConfiguredProxy(HttpClient& client);

// Fetches the list document at url and appends its entries to list; returns what arrived.
ListDigest FetchFileList(HttpClient& client, const std::tstring& url, FileList& list);

// The path as the update server's query wants it: its UTF-8 bytes percent-encoded, twice.
std::tstring EncodePathForQuery(const std::tstring& path);

// Fetches a signature document of at most limit bytes whole. Throws the transfer's failure, and
// DownloadManagerException for a longer document.
std::string FetchSignatureDocument(HttpClient& client, const std::tstring& url, std::size_t limit);

// Fetches the signature document beside the list (its URL with ".sig" appended), verifies it with
// the public key and checks it with CheckRelease against the clock. Throws
// DownloadManagerException; "signature missing : ..." when the document cannot be had. An abort
// stays the client's "Abort by User.".
ReleaseSignature FetchVerifiedRelease(HttpClient& client, const std::tstring& list_url,
                                      const ListDigest& list, std::size_t list_entries,
                                      const std::tstring& public_key,
                                      std::uint64_t installed_serial);
