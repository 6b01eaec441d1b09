#pragma once
// Private to the local server: the Asio headers it uses, included in one
// place. Optimising g++ reports a null dereference inside Asio's scheduler
// (thread_call_stack::contains() may return null in general, never on the
// loop's own thread where that code runs); the warning is turned off for
// Asio's lines only, so the server's own code keeps it.

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#include <asio/any_io_executor.hpp>
#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/ssl.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#pragma GCC diagnostic pop
