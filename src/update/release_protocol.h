// The update server's protocol as both the updater and the release tool speak it: the list
// document, the digest text a list line compares an installed file with, the query that names a
// file's package, and the proxy a request goes through.
#pragma once

#include "base/tstring.h"
#include "net/http_client.h"
#include "update/file_list.h"
#include "update/release_signature.h"

// The MD5 text of a disk file, read in blocks; empty when the file cannot be read whole.
std::tstring DigestOfFile(const std::tstring& path);

// Points the client at the proxy that "RV7.conf" and the user's settings choose.
void UseConfiguredProxy(HttpClient& client);

// Fetches the list document at url and appends its entries to list; returns what arrived.
ListDigest FetchFileList(HttpClient& client, const std::tstring& url, FileList& list);

// The path as the update server's query wants it: its UTF-8 bytes percent-encoded, twice.
std::tstring EncodePathForQuery(const std::tstring& path);
