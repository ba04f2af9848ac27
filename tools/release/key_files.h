// The publisher's key files: P-256 private keys, written owner-only, read back for signing.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/crypto.h"
#include "site/release_signature.h"

// Writes a new private key file (owner-only) and returns the public key as base64. Throws Exception
// when the file exists or cannot be written.
std::string MakeSigningKey(const std::string& key_file);

// The key pair of a private key file. Throws Exception when the file cannot be read or holds no
// P-256 key.
platform::P256Key ReadKeyFile(const std::string& key_file);

// How many distinct keys of the set the private keys hold.
std::size_t KeysHeld(const KeySet& set, const std::vector<std::string>& private_pems);
