// The compiled parts of Boost.Asio, its TLS layer and Boost.Beast, built once
// here instead of in every source that uses them.
#include <boost/asio/impl/src.hpp>
#include <boost/asio/ssl/impl/src.hpp>
#include <boost/beast/src.hpp>
