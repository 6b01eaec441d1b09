#pragma once
// The fixed tokens of the event stream, the event type names the client
// delivers under, and the limits and errors of the client.

#include <cstddef>
#include <string_view>

// Separates a field name from its value; a line that begins with it is a
// comment.
inline constexpr std::string_view LDEventSourceKeyValueDelimiter = ":";
inline constexpr std::string_view LDEventKeyEvent = "event";
inline constexpr std::string_view LDEventKeyData = "data";
inline constexpr std::string_view LDEventKeyId = "id";
inline constexpr std::string_view LDEventKeyRetry = "retry";
// Two line feeds end an event block.
inline constexpr std::string_view LDEventSourceEventTerminator = "\n\n";

// Turns a "retry" value in milliseconds into seconds.
inline constexpr double MILLISEC_PER_SEC = 1000.0;

// The most text one event block may hold, in bytes of UTF-8 without its
// terminator. A block that grows past it fails the connection, so a server
// that never ends its block cannot exhaust memory.
inline constexpr std::size_t LDEventSourceMaxEventSize = std::size_t{16} * 1024 * 1024;

// Event type names under which the client delivers its own records.
inline constexpr std::string_view MessageEvent = "message";
inline constexpr std::string_view ErrorEvent = "error";
inline constexpr std::string_view OpenEvent = "open";
inline constexpr std::string_view ReadyStateEvent = "readyState";

// The client's own errors.
inline constexpr std::string_view LDEventSourceErrorDomain = "LDEventSourceErrorDomain";
inline constexpr long LDEventSourceErrorCodeEventTooLarge = -413;
inline constexpr std::string_view LDEventSourceEventTooLargeDescription =
    "Event exceeds the size limit.";
