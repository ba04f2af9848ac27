// Message texts of the network layer that keep their historical spellings ("Worng", "worning",
// "respons", "invalied"): logs, support answers and scripts search for them exactly as they are.
// Do not correct them. Every such text of this layer is here.
#pragma once

inline constexpr char kWrongWinsockVersion[] = "[worning] Worng Winsock Version.";
// Followed by the status line that was received.
inline constexpr char kResponseIsNotHttp[] = "respons is not HTTP : ";
inline constexpr char kContentLengthInvalid[] =
    "HTTP header error : Content-Length is invalied value.";
