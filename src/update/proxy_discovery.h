// Chooses the HTTP proxy of an update run from the install folder's "RV7.conf" and, when that says
// so, from the user's own Internet settings.
#pragma once

#include "base/tstring.h"
#include "config/config_base.h"

// The proxy text to hand to HttpClient::SetProxy: empty for a direct connection, otherwise what the
// settings name ("host:port"; a text without a port is left for SetProxy to refuse). Unreadable
// user settings give a direct connection.
std::tstring DiscoverProxy(ConfigBase& config);
