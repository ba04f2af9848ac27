// The nginx configuration of a release site: a server block that answers the list URL and the
// updater's "?file=...&orgsize=..." requests straight from the site folder.
#pragma once

#include <string>

// listen: "host:port"; list_path: the URL path of the list ("/filelist"); site: the site folder's
// absolute path in the system's form.
std::string MakeNginxServerBlock(const std::string& listen, const std::string& list_path,
                                 const std::string& site);
