// Words for the bare codes that the client's failure messages end with ("connect error : 10061",
// "Receive error code : 404"), for a person reading a tool's output rather than the code tables.
#pragma once

#include <string>

// What the code that ends message means, or empty when message ends with no code that has words.
std::string ErrorInWords(const std::string& message);

// message, and on a line of its own after it what its code means when it has words.
std::string ExplainedError(const std::string& message);
